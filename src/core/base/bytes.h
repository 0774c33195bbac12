// Borrowed byte ranges: file contents, payloads and keys pass through the
// core as views, never as copies.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace velk {

using Bytes = std::span<const std::byte>;

inline Bytes AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}
inline std::string_view AsChars(Bytes b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace velk
