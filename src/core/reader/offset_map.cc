#include "core/reader/offset_map.h"

#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <utility>

#include "core/base/hash_seed.h"

namespace velk {
namespace {

constexpr size_t kInitialSlots = 16;

}  // namespace

OffsetMap::OffsetMap(size_t expected)
    // At load 1/2 at most, as Grow keeps it.
    : slots_(std::bit_ceil(std::max(kInitialSlots, 2 * expected)), Slot{0, kEmpty}),
      seed_(NextTableSeed()) {}

size_t OffsetMap::SlotOf(uint64_t offset) const {
  return static_cast<size_t>(XXH3_64bits_withSeed(&offset, sizeof offset, seed_)) &
         (slots_.size() - 1);
}

std::pair<uint32_t, bool> OffsetMap::FindOrInsert(uint64_t offset, uint32_t position) {
  // Grow at load 1/2 so probe runs stay short.
  if (2 * (used_ + 1) > slots_.size()) Grow();
  const size_t mask = slots_.size() - 1;
  for (size_t pos = SlotOf(offset);; pos = (pos + 1) & mask) {
    Slot& s = slots_[pos];
    if (s.position == kEmpty) {
      s = Slot{offset, position};
      ++used_;
      return {position, true};
    }
    if (s.offset == offset) return {s.position, false};
  }
}

void OffsetMap::Grow() {
  std::vector<Slot> old(2 * slots_.size(), Slot{0, kEmpty});
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.position == kEmpty) continue;
    size_t pos = SlotOf(s.offset);
    while (slots_[pos].position != kEmpty) pos = (pos + 1) & mask;
    slots_[pos] = s;
  }
}

}  // namespace velk
