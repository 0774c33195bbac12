// A build lays the staged content out as a store file and hands it to the
// atomic commit (commit.cc).
#include <span>
#include <vector>

#include "core/writer/commit.h"
#include "core/writer/staged_store.h"

namespace velk {

Result<BuildResult> StagedStore::Build(std::string_view path, writer::TempNaming naming) const {
  // The header comes first but carries the CRC of everything after it, so
  // the whole body is laid out before the first write.
  const Layout layout = LayOut();
  const std::vector<Bytes> parts = layout.Parts();
  VELK_TRY(writer::CommitFile(path, parts, naming));
  return layout.result;
}

}  // namespace velk
