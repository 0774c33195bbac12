#include "core/writer/key_table.h"

#include <cstring>

#include "core/reader/hash_seed.h"

// The hash is inlined: staged keys are mostly short, where a call costs as
// much as the hashing itself.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace velk::writer {

namespace {

// Slot layout: the high 32 bits of the key's hash in place, then entry
// number + 1 in the low 32 bits (fewer than 2^32 keys, so it never
// overflows); 0 is an empty slot.
constexpr uint64_t kTagMask = 0xffffffff00000000ULL;
constexpr uint64_t kEntryMask = 0x00000000ffffffffULL;
constexpr size_t kMinSlotsLog2 = 4;

// The table grows once it would be more than half full, which keeps the
// linear probe sequences short.
bool Overloaded(uint64_t keys, size_t slots) { return keys > slots / 2; }

}  // namespace

// A per-table random seed: hash values differ from table to table and
// from run to run, so keys cannot be chosen in advance to collide.  The
// file does not depend on it, since keys are sorted when it is written.
KeyTable::KeyTable() : seed_(NextTableSeed()) {}

uint64_t KeyTable::Hash(std::string_view key) const { return XXH3_64bits_withSeed(key.data(), key.size(), seed_); }

bool KeyTable::Bind(std::string_view key, uint32_t obj_id, uint64_t max_keys) {
  const uint64_t tag = Hash(key) & kTagMask;
  size_t free_slot = 0;
  if (!slots_.empty()) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(tag);; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        free_slot = i;
        break;
      }
      if ((slot & kTagMask) != tag) continue;
      KeyEntry& e = entries_[(slot & kEntryMask) - 1];
      if (e.length == key.size() &&
          (key.empty() || std::memcmp(arena_.data() + e.offset, key.data(), key.size()) == 0)) {
        e.obj_id = obj_id;  // rebinding: the last binding wins
        return true;
      }
    }
  }
  if (entries_.size() >= max_keys) return false;

  // Allocate everything first; from the first change on nothing can fail.
  entries_.ReserveFor(1);
  arena_.ReserveFor(key.size());
  if (slots_.empty() || Overloaded(entries_.size() + 1, slots_.size())) {
    Grow();
    free_slot = FreeSlot(slots_, Home(tag));
  }
  entries_.PushBack(KeyEntry{arena_.size(), obj_id, static_cast<uint16_t>(key.size())});
  arena_.Append(key.data(), key.size());
  slots_[free_slot] = tag | entries_.size();
  return true;
}

size_t KeyTable::FreeSlot(const std::vector<uint64_t>& slots, size_t home) {
  const size_t mask = slots.size() - 1;
  while (slots[home] != 0) home = (home + 1) & mask;
  return home;
}

void KeyTable::Grow() {
  const size_t log2 = slots_.empty() ? kMinSlotsLog2 : 65 - home_shift_;
  std::vector<uint64_t> grown(size_t{1} << log2);
  const unsigned shift = static_cast<unsigned>(64 - log2);
  // Homes are the top bits of the tags, so the old slots, taken in order,
  // land in the new table almost in order too: the writes stream instead
  // of scattering, and no key is read or hashed again.
  for (const uint64_t slot : slots_) {
    if (slot != 0) grown[FreeSlot(grown, (slot & kTagMask) >> shift)] = slot;
  }
  slots_.swap(grown);
  home_shift_ = shift;
}

}  // namespace velk::writer
