// An open-addressing hash table of entry numbers, for the writer's staged
// keys and payloads.  The table holds no keys of its own: a slot keeps the
// high 32 bits of its entry's hash above the entry number + 1, so most
// probes that meet another entry are decided by the hash bits alone, and
// the caller compares the real bytes only on a tag match.  Linear probing
// at a load of at most three quarters keeps the probe runs within a cache
// line or two, and the table half the size a load of one half would need:
// fresh memory is dear (the kernel clears every page of it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace velk::writer {

class TagTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // Where a probe for an absent entry ended: the empty slot Insert fills,
  // as long as the table has not grown since.
  struct Spot {
    size_t slot = 0;
    uint64_t generation = UINT64_MAX;  // none
  };

  // The entry whose hash is hash and for which same(entry) holds, or kNone
  // (and then, when spot is given, where the entry would go).
  template <typename Same>
  uint32_t Find(uint64_t hash, Same same, Spot* spot = nullptr) const {
    if (slots_.empty()) return kNone;
    const uint64_t tag = hash & kTagMask;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(tag);; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        if (spot != nullptr) *spot = Spot{i, generation_};
        return kNone;
      }
      if ((slot & kTagMask) != tag) continue;
      const auto entry = static_cast<uint32_t>((slot & kEntryMask) - 1);
      if (same(entry)) return entry;
    }
  }

  // Starts loading the slots a probe for hash begins at, for a caller that
  // knows its next hashes ahead of the probes.  Near full, a probe run
  // often goes on past the cache line of its first slot, so the next line
  // is loaded too.
  //
  // Always inlined: on its own, a function whose only effect is a prefetch
  // counts as one without effects to GCC, which then deletes the calls.
  [[gnu::always_inline]] void Prefetch(uint64_t hash) const {
    if (slots_.empty()) return;
    const size_t home = Home(hash & kTagMask);
    constexpr size_t kSlotsPerLine = 64 / sizeof(uint64_t);
    __builtin_prefetch(&slots_[home]);
    __builtin_prefetch(&slots_[(home + kSlotsPerLine) & (slots_.size() - 1)]);
  }

  // Room for one more entry: afterwards Insert cannot fail.  Throws
  // std::bad_alloc with the table unchanged.
  void ReserveOne();
  // Room for `entries` entries in all, made at once rather than by
  // doublings, for a caller that knows how many are coming.  Throws
  // std::bad_alloc with the table unchanged.
  void Reserve(uint64_t entries);
  // Adds entry (below 2^32 - 1) under hash, after ReserveOne; at spot, when
  // a Find for it since the table last grew gave one, which saves probing
  // again.
  void Insert(uint64_t hash, uint32_t entry, Spot spot) {
    const uint64_t tag = hash & kTagMask;
    const size_t i = spot.generation == generation_ ? spot.slot : FreeSlot(slots_, Home(tag));
    slots_[i] = tag | (uint64_t{entry} + 1);
    ++used_;
  }
  void Insert(uint64_t hash, uint32_t entry) { Insert(hash, entry, Spot{}); }

 private:
  static constexpr uint64_t kTagMask = 0xffffffff00000000ULL;
  static constexpr uint64_t kEntryMask = 0x00000000ffffffffULL;

  // The first slot to probe for a tag: its top bits.  Beyond 2^32 slots
  // the homes spread out, still one in every 2^(log2 size - 32) slots.
  size_t Home(uint64_t tag) const { return static_cast<size_t>(tag >> home_shift_); }
  // The slots, zero-filled when made.  A large table lives on huge pages
  // where the kernel offers them (core/base/large_buffer.h): its probes
  // land at random over hundreds of megabytes, and with 4 KiB pages nearly
  // every one would also miss the TLB.
  class Slots {
   public:
    Slots() = default;
    explicit Slots(size_t count);
    Slots(Slots&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    Slots& operator=(Slots&& other) noexcept {
      std::swap(data_, other.data_);
      std::swap(count_, other.count_);
      return *this;
    }
    ~Slots();
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    uint64_t* data() { return data_; }
    uint64_t& operator[](size_t i) { return data_[i]; }
    const uint64_t& operator[](size_t i) const { return data_[i]; }

   private:
    uint64_t* data_ = nullptr;
    size_t count_ = 0;
  };

  static size_t FreeSlot(const Slots& slots, size_t home);
  // Moves every entry to a table of 2^log2 slots (room for them all).
  void Rehash(unsigned log2);

  // 0 (empty) or tag | entry + 1; 2^(64 - home_shift_) slots, or none.
  Slots slots_;
  uint64_t used_ = 0;
  uint64_t generation_ = 0;  // rehashes so far
  unsigned home_shift_ = 64;
};

}  // namespace velk::writer
