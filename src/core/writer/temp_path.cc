#include <optional>
#include <string>
#include <string_view>

#include "core/writer/commit.h"

namespace velk::writer {

std::optional<std::string_view> TempStemFor(std::string_view target) {
  const size_t slash = target.rfind('/');
  const size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = target.substr(name_start);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  // The extension is the text after the last '.', unless that '.' starts
  // the name (".data" has none).
  const size_t dot = name.rfind('.');
  return target.substr(0, dot == std::string_view::npos || dot == 0 ? target.size() : name_start + dot);
}

std::string TempPathFor(std::string_view target) {
  const std::optional<std::string_view> stem = TempStemFor(target);
  if (!stem) return std::string(target);
  return std::string(*stem) + std::string(kTempSuffix);
}

}  // namespace velk::writer
