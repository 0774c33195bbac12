// A build lays the staged content out as a store file and hands it to the
// atomic commit (commit.cc) under the temporary name derived from the target.
#include <sys/stat.h>
#include <unistd.h>

#include <span>

#include "core/writer/commit.h"
#include "core/writer/file_writer.h"
#include "core/writer/staged_store.h"

namespace velk {

Result<BuildSummary> StagedStore::Build(std::string_view path) const {
  // The header comes first but carries the CRC of everything after it, so
  // the whole body is laid out before the first write.
  const std::vector<std::byte> index = SerializeIndex();
  std::byte header[kHeaderSize];
  MakeHeader(index).EncodeTo(header);
  const Bytes parts[] = {header, data_.span(), index};

  VELK_TRY(writer::CommitFile(path, parts, writer::TempNaming::kDerived));

  const std::string target(path);
  struct stat st;
  const double kb = ::stat(target.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1024.0 : 0.0;
  const BuildSummary summary{object_count(), key_count()};
  // Straight to file descriptor 1, bypassing any stdio buffering.  The file
  // is committed by now, so a lost summary line is not an error.
  const std::string line = SummaryLine(path, summary.num_objects, summary.num_keys, kb);
  (void)writer::WriteAll(STDOUT_FILENO, AsBytes(line), "");
  return summary;
}

}  // namespace velk
