#include <string>
#include <string_view>

#include "core/writer/staged_store.h"

namespace velk {

std::string TempPathFor(std::string_view target) {
  const size_t slash = target.rfind('/');
  const size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = target.substr(name_start);
  // No final name component (empty, a root, a trailing "/", "." or ".."):
  // the path names a directory or nothing, so it is kept as it is and
  // creating the file fails for it, before anything is written.
  if (name.empty() || name == "." || name == "..") return std::string(target);

  // The extension is the text after the last '.', unless that '.' starts
  // the name (".data" has none).
  const size_t dot = name.rfind('.');
  const size_t stem_end =
      dot == std::string_view::npos || dot == 0 ? target.size() : name_start + dot;
  std::string tmp(target.substr(0, stem_end));
  tmp += ".vlks.tmp";
  return tmp;
}

}  // namespace velk
