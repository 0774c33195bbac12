#include "core/writer/tag_table.h"

namespace velk::writer {

namespace {

constexpr size_t kMinSlotsLog2 = 4;

}  // namespace

void TagTable::ReserveOne() {
  // Grows once one more entry would make the table more than half full.
  if (!slots_.empty() && used_ + 1 <= slots_.size() / 2) return;
  const size_t log2 = slots_.empty() ? kMinSlotsLog2 : 65 - home_shift_;
  std::vector<uint64_t> grown(size_t{1} << log2);
  const unsigned shift = static_cast<unsigned>(64 - log2);
  // Homes are the top bits of the tags, so the old slots, taken in order,
  // land in the new table almost in order too: the writes stream instead
  // of scattering, and no entry is read or hashed again.
  for (const uint64_t slot : slots_) {
    if (slot != 0) grown[FreeSlot(grown, (slot & kTagMask) >> shift)] = slot;
  }
  slots_.swap(grown);
  home_shift_ = shift;
}

void TagTable::Insert(uint64_t hash, uint32_t entry) {
  const uint64_t tag = hash & kTagMask;
  slots_[FreeSlot(slots_, Home(tag))] = tag | (uint64_t{entry} + 1);
  ++used_;
}

size_t TagTable::FreeSlot(const std::vector<uint64_t>& slots, size_t home) {
  const size_t mask = slots.size() - 1;
  while (slots[home] != 0) home = (home + 1) & mask;
  return home;
}

}  // namespace velk::writer
