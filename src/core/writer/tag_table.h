// An open-addressing hash table of entry numbers, for the writer's staged
// keys and payloads.  The table holds no keys of its own: a slot keeps the
// high 32 bits of its entry's hash above the entry number + 1, so most
// probes that meet another entry are decided by the hash bits alone, and
// the caller compares the real bytes only on a tag match.  Linear probing
// at a load of at most one half keeps the probe runs short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velk::writer {

class TagTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // The entry whose hash is hash and for which same(entry) holds, or kNone.
  template <typename Same>
  uint32_t Find(uint64_t hash, Same same) const {
    if (slots_.empty()) return kNone;
    const uint64_t tag = hash & kTagMask;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(tag);; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return kNone;
      if ((slot & kTagMask) != tag) continue;
      const auto entry = static_cast<uint32_t>((slot & kEntryMask) - 1);
      if (same(entry)) return entry;
    }
  }

  // Starts loading the slot a probe for hash begins at, for a caller that
  // knows its next hashes ahead of the probes.
  void Prefetch(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Home(hash & kTagMask)]);
  }

  // Room for one more entry: afterwards Insert cannot fail.  Throws
  // std::bad_alloc with the table unchanged.
  void ReserveOne();
  // Adds entry (below 2^32 - 1) under hash, after ReserveOne.
  void Insert(uint64_t hash, uint32_t entry);

 private:
  static constexpr uint64_t kTagMask = 0xffffffff00000000ULL;
  static constexpr uint64_t kEntryMask = 0x00000000ffffffffULL;

  // The first slot to probe for a tag: its top bits.  Beyond 2^32 slots
  // the homes spread out, still one in every 2^(log2 size - 32) slots.
  size_t Home(uint64_t tag) const { return static_cast<size_t>(tag >> home_shift_); }
  static size_t FreeSlot(const std::vector<uint64_t>& slots, size_t home);

  // 0 (empty) or tag | entry + 1; 2^(64 - home_shift_) slots, or none.
  std::vector<uint64_t> slots_;
  uint64_t used_ = 0;
  unsigned home_shift_ = 64;
};

}  // namespace velk::writer
