// The lookup index's hash of a key, inline: a lookup hashes every key it
// is given, and calling out to another file for it costs half as much
// again as the hash itself.  For .cc files only: it brings in the whole of
// xxHash's header.
#pragma once

#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL  // header-only: no library to link
#include <xxhash.h>

namespace velk {

inline uint64_t InlineLookupHash(std::string_view key, uint64_t seed) {
  return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

}  // namespace velk
