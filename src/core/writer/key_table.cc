#include "core/writer/key_table.h"

#include <cstring>

#include "core/base/hash_seed.h"

// The hash is inlined: staged keys are mostly short, where a call costs as
// much as the hashing itself.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace velk::writer {

// A per-table random seed: hash values differ from table to table and
// from run to run, so keys cannot be chosen in advance to collide.  The
// file does not depend on it, since keys are sorted when it is written.
KeyTable::KeyTable() : seed_(NextTableSeed()) {}

uint64_t KeyTable::Hash(std::string_view key) const { return XXH3_64bits_withSeed(key.data(), key.size(), seed_); }

bool KeyTable::Bind(std::string_view key, uint64_t hash, uint32_t obj_id, uint64_t max_keys) {
  TagTable::Spot spot;
  const uint32_t found = slots_.Find(
      hash,
      [&](uint32_t entry) {
        const KeyEntry& e = entries_[entry];
        return e.length == key.size() &&
               (key.empty() || std::memcmp(arena_.data() + e.offset, key.data(), key.size()) == 0);
      },
      &spot);
  if (found != TagTable::kNone) {
    entries_[found].obj_id = obj_id;  // rebinding: the last binding wins
    return true;
  }
  if (entries_.size() >= max_keys) return false;

  // Allocate everything first; from the first change on nothing can fail.
  entries_.ReserveFor(1);
  arena_.ReserveFor(key.size());
  slots_.ReserveOne();
  // max_keys is below 2^32, so the entry number fits the table's 32 bits.
  slots_.Insert(hash, static_cast<uint32_t>(entries_.size()), spot);
  entries_.PushBack(KeyEntry{arena_.size(), obj_id, static_cast<uint16_t>(key.size())});
  arena_.Append(key.data(), key.size());
  return true;
}

}  // namespace velk::writer
