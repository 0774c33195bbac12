// The atomic commit of a build: the file is written under a temporary name
// beside the target, synced, and only then renamed over the target, so the
// target path always holds either the old or the new complete file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <span>
#include <vector>

#include "core/base/fd.h"
#include "core/writer/file_writer.h"
#include "core/writer/staged_store.h"

namespace velk {

namespace {



// Creates (or truncates) tmp, writes parts through the buffered writer,
// then syncs and closes it.  On failure the partial file is left in place.
Result<void> WriteTempFile(const std::string& tmp, std::span<const Bytes> parts) {
  const int raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (raw < 0) return StoreError::FromErrno(errno, "open tmp");
  UniqueFd fd(raw);

  writer::BufferedWriter out(fd.get());
  for (Bytes part : parts) VELK_TRY(out.Write(part));
  VELK_TRY(out.Flush());
  while (::fsync(fd.get()) != 0) {
    if (errno != EINTR) return StoreError::FromErrno(errno);
  }
  return fd.Close();
}

// The directory that holds path's final component.
std::string ParentDir(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// A rename is durable only once the directory holding the new entry is
// synced; without this a crash could bring back the old file.
Result<void> SyncParentDir(std::string_view path) {
  const int raw = ::open(ParentDir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return StoreError::FromErrno(errno, "sync dir");
  UniqueFd dir(raw);
  while (::fsync(dir.get()) != 0) {
    if (errno == EINTR) continue;
    // EINVAL: this file system cannot sync a directory; nothing more to do.
    if (errno == EINVAL) break;
    return StoreError::FromErrno(errno, "sync dir");
  }
  return {};
}

}  // namespace

Result<BuildResult> StagedStore::Build(std::string_view path) const {
  // The system calls take C strings, which would cut the path at a NUL
  // byte and silently name another file.
  if (path.find('\0') != std::string_view::npos) {
    return StoreError::Io("open tmp: path contains a NUL byte");
  }
  const std::string target(path);
  const std::string tmp = TempPathFor(path);

  // The header comes first but carries the CRC of everything after it, so
  // the whole body is laid out before the first write.
  const Layout layout = LayOut();
  const std::vector<Bytes> parts = layout.Parts();

  VELK_TRY(WriteTempFile(tmp, parts));
  if (::rename(tmp.c_str(), target.c_str()) != 0) return StoreError::FromErrno(errno, "rename");
  VELK_TRY(SyncParentDir(target));
  return layout.result;
}

}  // namespace velk
