#include "fixed/summary.h"

#include <charconv>

namespace velk::py {

std::string SummaryLine(std::string_view path, uint64_t objects, uint64_t keys, double kb) {
  // to_chars rather than printf: the text must not follow the process's
  // LC_NUMERIC, which the host program may have changed.
  char size[64];
  const auto [end, ec] = std::to_chars(size, size + sizeof size, kb, std::chars_format::fixed, 1);
  const std::string_view size_text(size, ec == std::errc() ? static_cast<size_t>(end - size) : 0);

  std::string line = "\xE2\x9C\x85  ";  // U+2705 check mark
  line += path;
  line += "  \xE2\x80\x94  ";  // U+2014 em dash
  line += std::to_string(objects);
  line += " objects \xC2\xB7 ";  // U+00B7 middle dot
  line += std::to_string(keys);
  line += " keys \xC2\xB7 ";
  line += size_text;
  line += " KB\n";
  return line;
}

}  // namespace velk::py
