// Per-call map from object offset to the first key-list position that named
// it.  Scans use it to read each distinct object record once however many
// keys share it.  Offsets come from the file, so the hash is seeded per
// table to keep crafted offsets from all landing in one probe run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace velk {

class OffsetMap {
 public:
  struct Slot {
    uint64_t offset;
    uint32_t position;  // kEmpty marks a free slot
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;

  // Room for expected offsets before the table first grows.
  explicit OffsetMap(size_t expected = 0);

  // If offset is present, returns its position and false; otherwise stores
  // (offset, position) and returns position and true.  position must not be
  // kEmpty (key lists hold fewer than 2^32 - 1 entries).
  std::pair<uint32_t, bool> FindOrInsert(uint64_t offset, uint32_t position);
  // Starts loading the slot where offset's probe begins, for a
  // FindOrInsert a few calls later.
  [[gnu::always_inline]] void Prefetch(uint64_t offset) const { __builtin_prefetch(&slots_[SlotOf(offset)]); }

 private:
  size_t SlotOf(uint64_t offset) const;
  void Grow();

  std::vector<Slot> slots_;  // size is a power of two
  size_t used_ = 0;
  uint64_t seed_;
};

}  // namespace velk
