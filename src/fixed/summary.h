// The line _VelkWriter.build prints once a file is committed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velk::py {

// "✅  {path}  —  {n} objects · {k} keys · {kb:.1f} KB\n"
std::string SummaryLine(std::string_view path, uint64_t objects, uint64_t keys, double kb);

}  // namespace velk::py
