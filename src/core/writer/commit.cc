#include "core/writer/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "core/base/fd.h"
#include "core/base/random.h"
#include "core/writer/file_writer.h"

namespace velk::writer {

namespace {

// How often a build retries claiming its temporary name after removing a
// stale entry there.  Each retry means another build touched the name
// meanwhile, so giving up then is the "in progress" case, not a hang.
constexpr int kClaimAttempts = 4;

StoreError InProgress(const std::string& tmp) { return StoreError(Reason::kLocked, {}, tmp); }

StoreError CreateTempFailed(int code, const std::string& tmp) {
  return StoreError::Os(Reason::kCreateTemp, code, tmp);
}

FileId IdOf(const struct stat& st) {
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool SameFile(const struct stat& a, const struct stat& b) { return IdOf(a) == IdOf(b); }

// What the commit keeps from the existing target.
struct TargetFacts {
  bool exists_as_file = false;
  mode_t mode = 0;  // its permission bits, when exists_as_file
};

// A rename over a device, FIFO or socket would replace the node itself.
// Anything else (absent, unreadable, a directory, a symbolic link) goes on
// and fails, if at all, at its own step.
Result<TargetFacts> ExamineTarget(const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) {
    // A path that names nothing (yet), or that this process cannot reach,
    // fails at its own step.  Any other failure (an I/O error) leaves the
    // target's kind and mode unknown: going on could replace a node that
    // must not be replaced, or widen a file's permissions.
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
      case ENAMETOOLONG:
      case ELOOP:
      case EACCES: return TargetFacts{};
      default: return StoreError(Reason::kIo, "lstat", target, errno);
    }
  }
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    return StoreError(Reason::kNotReplaceable, {}, target);
  }
  if (S_ISREG(st.st_mode)) return TargetFacts{true, static_cast<mode_t>(st.st_mode & 0777)};
  return TargetFacts{};
}

// Locks fd, the file just opened at path, without waiting, and checks that
// path still names it.  A build holds this lock from creating its file
// until after renaming it, and removes an entry at its name only while
// holding that entry's lock (RemoveStale): so a locked file that path
// names belongs to exactly one live build, and no other build can remove
// or rename it.  Another build holding the lock, or path naming another
// file (or none) by now, is the "in progress" error; a failing lstat is
// its own error.
Result<void> LockAt(const UniqueFd& fd, const std::string& path) {
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return InProgress(path);
    return CreateTempFailed(errno, path);
  }
  struct stat mine, named;
  if (::fstat(fd.get(), &mine) != 0) return CreateTempFailed(errno, path);
  if (::lstat(path.c_str(), &named) != 0) {
    if (errno == ENOENT) return InProgress(path);
    return CreateTempFailed(errno, path);
  }
  if (!SameFile(mine, named)) return InProgress(path);
  return {};
}

// Removes a stale regular file at tmp, left by a build that failed or was
// killed.  It is opened without following links and locked first: a file
// whose lock is held belongs to a live build and is left alone.  Anything
// other than a regular file at tmp is not a build's temporary file; it is
// refused and stays as it is.
Result<void> RemoveStale(const std::string& tmp) {
  struct stat st;
  if (::lstat(tmp.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return CreateTempFailed(errno, tmp);
  }
  if (S_ISDIR(st.st_mode)) return CreateTempFailed(EISDIR, tmp);
  if (!S_ISREG(st.st_mode)) return StoreError(Reason::kTempNotFile, {}, tmp);

  UniqueFd stale(::open(tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (stale.get() < 0) {
    // Gone or replaced since the lstat: the caller's next attempt sees the new state.
    if (errno == ENOENT || errno == ELOOP) return {};
    return CreateTempFailed(errno, tmp);
  }
  if (::fstat(stale.get(), &st) != 0) return CreateTempFailed(errno, tmp);
  if (!S_ISREG(st.st_mode)) return {};
  VELK_TRY(LockAt(stale, tmp));
  // Only the name goes: another hard link to the file keeps it unchanged.
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return CreateTempFailed(errno, tmp);
  return {};
}

int CreateExclusive(const std::string& path, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Creates and locks the file at the derived name, replacing a stale one.
Result<UniqueFd> ClaimDerived(const std::string& tmp, mode_t mode) {
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    UniqueFd fd(CreateExclusive(tmp, mode));
    if (fd.get() >= 0) {
      VELK_TRY(LockAt(fd, tmp));
      return fd;
    }
    if (errno != EEXIST) return CreateTempFailed(errno, tmp);
    VELK_TRY(RemoveStale(tmp));
  }
  return InProgress(tmp);
}

// Unique temporary names: the stem, a dot, this many random hex digits,
// then the temporary suffix.
constexpr size_t kRandomHexDigits = 16;

// A name beside the derived one with 16 random hex digits between the
// stem and the temporary suffix, created exclusively and locked as the
// derived name is: the lock tells a later build that the file is in use
// (ReclaimStale).  Losing the fresh name to a build reclaiming it between
// its creation and the lock only means drawing another name.
Result<UniqueFd> ClaimUnique(std::string_view stem, mode_t mode, std::string& tmp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[kRandomHexDigits / 2];
    if (!FillRandom(random, sizeof random)) {
      return CreateTempFailed(errno, std::string(stem) + std::string(kTempSuffix));
    }
    char hex[kRandomHexDigits + 1];
    for (size_t i = 0; i < sizeof random; ++i) std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    tmp = std::string(stem) + "." + hex + std::string(kTempSuffix);
    UniqueFd fd(CreateExclusive(tmp, mode));
    if (fd.get() < 0) {
      if (errno == EEXIST) continue;
      return CreateTempFailed(errno, tmp);
    }
    Result<void> locked = LockAt(fd, tmp);
    if (locked.ok()) return fd;
    if (locked.error().reason() != Reason::kLocked) {
      // The file is this build's own, made a moment ago: it goes too.
      ::unlink(tmp.c_str());
      return std::move(locked).error();
    }
  }
  return CreateTempFailed(EEXIST, tmp);
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Whether entry is a name ClaimUnique draws for the stem whose final
// component is base: "{base}.{16 hex digits}{kTempSuffix}".
bool IsUniqueTempOf(std::string_view entry, std::string_view base) {
  if (entry.size() != base.size() + 1 + kRandomHexDigits + kTempSuffix.size()) return false;
  if (!entry.starts_with(base) || entry[base.size()] != '.' || !entry.ends_with(kTempSuffix)) return false;
  for (char c : entry.substr(base.size() + 1, kRandomHexDigits)) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// With unique naming, a failed commit removes its own temporary file; no
// other build uses that name.
class UniqueTempGuard {
 public:
  UniqueTempGuard(bool active, const std::string& path) : active_(active), path_(path) {}
  UniqueTempGuard(const UniqueTempGuard&) = delete;
  UniqueTempGuard& operator=(const UniqueTempGuard&) = delete;
  ~UniqueTempGuard() {
    if (active_) ::unlink(path_.c_str());
  }
  void Release() { active_ = false; }

 private:
  bool active_;
  const std::string& path_;
};

// The directory that holds path's final component.
std::string ParentDir(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// Removes the unique temporary files that killed builds of this stem left.
// A live build holds its file's lock from creating it until after the
// rename, so RemoveStale takes only a regular file whose lock it gets, and
// only while holding it.  Best effort: an entry that cannot be examined or
// removed stays, and the build goes on.
void ReclaimStale(std::string_view stem) {
  const size_t slash = stem.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? stem : stem.substr(slash + 1);
  const std::string dir_path = ParentDir(stem);
  std::unique_ptr<DIR, DirCloser> dir(::opendir(dir_path.c_str()));
  if (!dir) return;
  while (const struct dirent* entry = ::readdir(dir.get())) {
    if (IsUniqueTempOf(entry->d_name, base)) (void)RemoveStale(dir_path + "/" + entry->d_name);
  }
}

}  // namespace

Result<FileId> IdentifyFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return StoreError::Os(Reason::kOpen, errno, path);
  return IdOf(st);
}

Result<void> CommitFile(std::string_view target_view, std::span<const Bytes> parts, TempNaming naming,
                        const FileId* replaces) {
  // The system calls take C strings, which would cut the path at a NUL
  // byte and silently name another file.
  if (target_view.find('\0') != std::string_view::npos) {
    return StoreError(Reason::kCreateTemp, "path contains a NUL byte", std::string(target_view));
  }
  const std::string target(target_view);
  Result<TargetFacts> facts = ExamineTarget(target);
  if (!facts.ok()) return std::move(facts).error();
  // A new file gets 0666 less the umask, as any created file; a replaced
  // one keeps its bits.  The open applies the umask too, so the temporary
  // file starts no more open than the final file and is set exactly here.
  const mode_t mode = facts.value().exists_as_file ? facts.value().mode : 0666;

  const std::optional<std::string_view> stem = TempStemFor(target);
  // A path without a final name component is kept as the temporary path,
  // so creating it fails whichever naming is asked for.
  const bool unique = naming != TempNaming::kDerived && stem.has_value();
  std::string tmp = stem ? std::string(*stem) + std::string(kTempSuffix) : target;
  if (unique && naming == TempNaming::kUnique) ReclaimStale(*stem);
  Result<UniqueFd> claimed = unique ? ClaimUnique(*stem, mode, tmp) : ClaimDerived(tmp, mode);
  if (!claimed.ok()) return std::move(claimed).error();
  UniqueFd fd = std::move(claimed).value();
  UniqueTempGuard guard(unique, tmp);
  if (facts.value().exists_as_file && ::fchmod(fd.get(), mode) != 0) return CreateTempFailed(errno, tmp);

  BufferedWriter out(fd.get());
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i + kPartsAhead < parts.size()) PrefetchPart(parts[i + kPartsAhead]);
    if (auto written = out.Write(parts[i]); !written.ok()) return std::move(written).error().WithPath(tmp);
  }
  if (auto flushed = out.Flush(); !flushed.ok()) return std::move(flushed).error().WithPath(tmp);
  while (SyncToStorage(fd.get()) != 0) {
    if (errno != EINTR) return StoreError::Os(Reason::kWrite, errno, tmp);
  }
  // The lock lives on the open file, so a duplicate keeps it past the
  // checked close, until after the rename.
  UniqueFd lock(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (lock.get() < 0) return StoreError::Os(Reason::kWrite, errno, tmp);
  if (auto closed = fd.Close(); !closed.ok()) return std::move(closed).error().WithPath(tmp);

  // A rename is durable only once the directory holding the new entry is
  // synced.  The directory is opened before the rename, so that a build
  // that could not sync it fails with the old target still in place.
  UniqueFd dir(::open(ParentDir(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return StoreError::Os(Reason::kSyncDir, errno, ParentDir(target));
  if (replaces != nullptr) {
    struct stat now;
    if (::lstat(target.c_str(), &now) != 0 || !(IdOf(now) == *replaces))
      return StoreError(Reason::kTargetChanged, {}, target);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) return StoreError::Os(Reason::kRename, errno, target);
  guard.Release();
  while (SyncToStorage(dir.get()) != 0) {
    if (errno == EINTR) continue;
    // EINVAL: this file system cannot sync a directory; nothing more to do.
    if (errno == EINVAL) break;
    return StoreError::Os(Reason::kNotDurable, errno, target);
  }
  return {};
}

}  // namespace velk::writer
