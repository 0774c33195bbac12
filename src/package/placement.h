// Where a key of a sharded store lives: shard xxh3_64(key bytes, seed) %
// num_shards, as velkstore.sharded.manifest documents it for other
// languages.  Every native path that places or finds a key uses this.
#pragma once

#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL  // header-only: no library to link
#include <xxhash.h>

namespace velk::native {

// The hash a key's shard is taken from.  It is the function a file's
// lookup index hashes with (LookupHash), so a shard whose index uses the
// manifest's seed (StoreReader::HashedBy) is probed with this very hash.
inline uint64_t PlacementHash(std::string_view key, uint64_t seed) {
  return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

inline uint64_t ShardOf(std::string_view key, uint64_t seed, uint64_t num_shards) {
  return PlacementHash(key, seed) % num_shards;
}

}  // namespace velk::native
