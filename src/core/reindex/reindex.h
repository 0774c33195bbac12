// Adding the lookup index to an existing store file, in place and
// atomically: the records and the index entries are kept byte for byte
// (no value is decoded or moved), the extension area is laid out anew
// after them, and the new file replaces the old through the commit.
#pragma once

#include <string>

#include "core/base/status.h"
#include "core/writer/staged_store.h"

namespace velk {

// Checks the file first as verify() does (a damaged file is refused and
// left alone).  A file that already carries an extension area has it
// replaced.  The result counts the objects keys can name.
Result<BuildResult> Reindex(const std::string& path);

}  // namespace velk
