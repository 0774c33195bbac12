#include "core/writer/tag_table.h"

#include <bit>
#include <new>

#include "core/base/large_buffer.h"

namespace velk::writer {

namespace {

constexpr unsigned kMinSlotsLog2 = 4;

}  // namespace

TagTable::Slots::Slots(size_t count) : data_(static_cast<uint64_t*>(AllocateLargeZeroed(count * sizeof(uint64_t)))), count_(count) {}

TagTable::Slots::~Slots() {
  if (data_ != nullptr) FreeLarge(data_, count_ * sizeof(uint64_t));
}

void TagTable::ReserveOne() {
  // Grows once one more entry would make the table more than 3/4 full.
  if (!slots_.empty() && used_ + 1 <= slots_.size() / 4 * 3) return;
  Rehash(slots_.empty() ? kMinSlotsLog2 : 65 - home_shift_);
}

void TagTable::Reserve(uint64_t entries) {
  if (entries <= slots_.size() / 4 * 3) return;
  // At most 3/4 full: 4/3 * entries slots, rounded up to a power of two.
  constexpr uint64_t kMaxEntries = uint64_t{1} << 60;
  if (entries > kMaxEntries) throw std::bad_alloc();
  const auto log2 = static_cast<unsigned>(std::bit_width((entries * 4 + 2) / 3 - 1));
  Rehash(log2 < kMinSlotsLog2 ? kMinSlotsLog2 : log2);
}

void TagTable::Rehash(unsigned log2) {
  const size_t count = size_t{1} << log2;
  if (count > SIZE_MAX / sizeof(uint64_t)) throw std::bad_alloc();
  Slots grown(count);
  // When the entries moved in will touch about every page anyway (8 a page
  // of 512 slots, on average), the pages are mapped in one call rather than
  // one fault each.  A table made large ahead of need (Reserve) leaves the
  // pages no entry touches unmapped.
  if (used_ >= count / 64) PrefaultForWrite(grown.data(), count * sizeof(uint64_t));
  if (!slots_.empty()) {
    // The entries are first packed to the front of the old table, so that
    // the pass below meets no empty slot: skipping those, at random, is a
    // mispredicted branch for about every other slot.
    uint64_t* from = slots_.data();
    size_t n = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
      from[n] = from[i];
      n += from[i] != 0;
    }
    // Homes are the top bits of the tags, so the old entries, taken in
    // order, land in the new table almost in order too: the writes stream
    // instead of scattering, and no entry is read or hashed again.
    const unsigned shift = 64 - log2;
    for (size_t i = 0; i < n; ++i) grown[FreeSlot(grown, (from[i] & kTagMask) >> shift)] = from[i];
  }
  slots_ = std::move(grown);
  home_shift_ = 64 - log2;
  ++generation_;
}

size_t TagTable::FreeSlot(const Slots& slots, size_t home) {
  const size_t mask = slots.size() - 1;
  while (slots[home] != 0) home = (home + 1) & mask;
  return home;
}

}  // namespace velk::writer
