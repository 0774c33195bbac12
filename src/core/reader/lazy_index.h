// The lookup index a file carries in its extension area, read in place
// through the mapping: opening costs a few header and directory reads
// whatever the number of keys, and the pages are shared through the page
// cache by every process that maps the file.
//
// Nothing read from the file is trusted before it is checked.  The
// directory's CRC is checked at open; a record of the lookup section, of
// the index block CRCs, and a block of the index section are each checked
// against their CRC the first time any lookup uses them, and a bit per
// record or block remembers it (one bit per 4 KiB, so a reader's private
// memory stays a few kilobytes per gigabyte of index).  A damaged byte
// gives a Corrupt error, never a wrong entry or a false absence.
#pragma once

#include <algorithm>
#include <bit>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/base/endian.h"
#include "core/base/status.h"
#include "core/format/extension.h"
#include "core/format/format.h"

namespace velk {

// Unmaps an anonymous mapping of bytes.
struct UnmapPages {
  size_t bytes = 0;
  void operator()(uint32_t* p) const;
};

class LazyIndex {
 public:
  // One index entry: its key (in the mapping), its record offset and where
  // the next entry begins.  Positions count from index_offset.
  struct Entry {
    std::string_view key;
    uint64_t record = 0;
    uint64_t next = 0;
  };

  LazyIndex() = default;
  LazyIndex(LazyIndex&&) noexcept = default;
  LazyIndex& operator=(LazyIndex&&) noexcept = default;

  // The index of file, whose header and directory have been checked;
  // nullopt when its lookup section has the earlier layout, which is not
  // read in place.
  static Result<std::optional<LazyIndex>> Open(Bytes file, const Header& header, const Directory& dir);

  uint32_t num_keys() const { return num_keys_; }
  uint64_t index_length() const { return index_length_; }

  // The entry at position pos.
  Result<Entry> EntryAt(uint64_t pos) const;
  // The entry of key, or nullopt when the file has no such key.
  Result<std::optional<Entry>> Find(std::string_view key) const;
  // The hash a lookup of key starts from (its home block and fingerprint).
  uint64_t Hash(std::string_view key) const { return LookupHash(key, geometry_.seed); }
  uint64_t seed() const { return geometry_.seed; }

  // The lookup without error values, for the hot path, in steps a batch
  // can interleave.  A step reads only bytes an earlier lookup has checked;
  // when it needs one that is not, it answers kSlow and Find, which checks
  // them, must answer instead.  kAbsent is only ever said from checked
  // bytes.
  enum class Quick : uint8_t { kFound, kAbsent, kSlow };
  struct Probe {
    uint64_t hash = 0;
    uint64_t block = 0;  // the block being read: the home block first
    uint64_t mask = 0;   // its slots with the key's fingerprint not yet tried, two bits a slot
    uint64_t base = 0;   // the index of its first slot's position
    bool more = false;   // keys of this or earlier home blocks go on in the next block
    uint64_t pos = 0;    // the candidate entry found by QuickCandidate
  };
  Probe Start(uint64_t hash) const {
    Probe p{hash};
    p.block = HomeOf(hash, geometry_.homes);
    return p;
  }
  // Where block b lies in the mapping (not yet checked: for a prefetch),
  // and the lookup section's record that holds it.
  const std::byte* BlockAddress(uint64_t b) const {
    if (b < lead_blocks_) [[unlikely]] return lead_ + kBlockSize * b;
    b -= lead_blocks_;
    const uint64_t payload = lookup_.first_record + BlockRecord(b) * lookup_stride_ + kRecordHeaderSize;
    return file_ + ((payload + kBlockSize - 1) & ~(kBlockSize - 1)) + kBlockSize * (b % kBlocksPerRecord);
  }
  uint64_t RecordOfBlock(uint64_t b) const {
    return b < lead_blocks_ ? blocks_record_ - 1 : BlockRecord(b - lead_blocks_);
  }
  // Starts loading p's home block and where its positions are expected
  // to lie (PrefetchExpectedSlots).
  [[gnu::always_inline]] void PrefetchHome(const Probe& p) const {
    __builtin_prefetch(BlockAddress(p.block));
    PrefetchExpectedSlots(p.block);
  }
  // After QuickBlock on the home block: remembers where its positions lay.
  void RememberHome(const Probe& p) const { RememberSlots(p.block, p.base); }
  // Reads the block p->block: the slots with p->hash's fingerprint into
  // p->mask (the first one's position starts loading), and whether the
  // keys go on in the next block.
  [[gnu::always_inline]] Quick QuickBlock(Probe* p) const {
    if (!Checked(RecordOfBlock(p->block))) [[unlikely]] return Quick::kSlow;
    const std::byte* block = BlockAddress(p->block);
    const uint8_t meta = static_cast<uint8_t>(block[kBlockMeta]);
    const uint64_t count = meta & ~kBlockOverflow;
    const uint64_t base = LoadU32(block + kBlockBase);
    p->more = (meta & kBlockOverflow) != 0;
    if (count > kBlockSlots || base + count > num_keys_ || (p->more && p->block + 1 >= geometry_.blocks))
        [[unlikely]]
      return Quick::kSlow;
    p->base = base;
    p->mask = MatchSlots(block, FingerprintOf(p->hash)) & ((uint64_t{1} << (2 * count)) - 1);
    if (p->mask != 0) __builtin_prefetch(LookupAddress(PositionAt(base + SlotOf(p->mask))));
    return Quick::kFound;
  }
  // The next slot with p->hash's fingerprint, in this block or the ones
  // its keys go on in: kFound with its entry's position in p->pos (which
  // starts loading), else kAbsent.
  Quick QuickCandidate(Probe* p) const {
    for (;;) {
      if (p->mask != 0) {
        const uint64_t at = PositionAt(p->base + SlotOf(p->mask));
        p->mask &= p->mask - 1;  // the slot's two bits
        p->mask &= p->mask - 1;
        if (!QuickRun(at, geometry_.position_width)) [[unlikely]] return Quick::kSlow;
        p->pos = LoadPosition(LookupAddress(at));
        if (p->pos < index_length_) {
          // An entry may cross into the next line: both lines load at once.
          __builtin_prefetch(file_ + index_offset_ + p->pos);
          if (index_length_ - p->pos > kShortEntry) __builtin_prefetch(file_ + index_offset_ + p->pos + kShortEntry);
        }
        return Quick::kFound;
      }
      if (!p->more) return Quick::kAbsent;
      ++p->block;
      if (QuickBlock(p) == Quick::kSlow) [[unlikely]] return Quick::kSlow;
    }
  }
  // The last byte of an entry with a key of 16 bytes.
  static constexpr uint64_t kShortEntry = sizeof(uint16_t) + 16 + sizeof(uint64_t) - 1;
  // For a scan: starts loading the entries some way past pos, which the
  // processor's own prefetcher does not fetch across a page.  Always
  // inlined, as every function here whose only effect is a prefetch: GCC
  // counts such a function as one without effects and deletes its calls.
  [[gnu::always_inline]] void PrefetchEntriesAfter(uint64_t pos) const {
    if (pos < index_length_ && index_length_ - pos > kEntryBytesAhead)
      __builtin_prefetch(file_ + index_offset_ + pos + kEntryBytesAhead);
  }
  static constexpr uint64_t kEntryBytesAhead = 512;
  // The entry at pos, when the blocks it lies in are checked.
  Quick QuickEntry(uint64_t pos, Entry* e) const {
    if (pos >= index_length_ || index_length_ - pos < sizeof(uint16_t) + sizeof(uint64_t) || block_shift_ == 0)
        [[unlikely]]
      return Quick::kSlow;
    const uint64_t b = pos >> block_shift_;
    if (!Checked(block_bits_ + b)) [[unlikely]] return Quick::kSlow;
    const std::byte* p = file_ + index_offset_ + pos;
    const uint64_t key_len = LoadU16(p);
    const uint64_t end = pos + sizeof(uint16_t) + key_len + sizeof(uint64_t);
    if (end > index_length_) [[unlikely]] return Quick::kSlow;
    const uint64_t last = (end - 1) >> block_shift_;
    if (last != b && (last != b + 1 || !Checked(block_bits_ + last))) [[unlikely]] return Quick::kSlow;
    *e = Entry{std::string_view(reinterpret_cast<const char*>(p + sizeof(uint16_t)), key_len),
               LoadU64(p + sizeof(uint16_t) + key_len), end};
    return Quick::kFound;
  }
  // The steps together for one key: kFound with its entry's record offset.
  // A lookup on its own also prefetches where the positions of its home
  // block's slots are expected to lie alongside the block
  // (PrefetchExpectedSlots), and remembers where they were.
  // With kRecord, the lines where the record is expected to lie
  // (PrefetchExpectedRecord) load alongside the entry.
  template <bool kRecord = true>
  Quick QuickFind(std::string_view key, uint64_t hash, uint64_t* record) const {
    Probe p = Start(hash);
    PrefetchHome(p);
    if (QuickBlock(&p) == Quick::kSlow) [[unlikely]] return Quick::kSlow;
    RememberHome(p);
    return QuickFinish<kRecord>(key, &p, record);
  }
  // QuickFind from the block's slots on.  With kRecord (a lookup on its
  // own), each candidate's record lines start loading with its entry, and
  // where the found record lay is remembered.
  template <bool kRecord = false>
  Quick QuickFinish(std::string_view key, Probe* p, uint64_t* record) const {
    Quick q;
    while ((q = QuickCandidate(p)) == Quick::kFound) {
      if constexpr (kRecord) PrefetchExpectedRecord(p->pos);
      Entry e;
      if (QuickEntry(p->pos, &e) != Quick::kFound) [[unlikely]] return Quick::kSlow;
      if (SameKey(e.key, key)) {
        if constexpr (kRecord) RememberRecord(p->pos, e.record);
        *record = e.record;
        return Quick::kFound;
      }
    }
    return q;
  }
  // Position of entry i (i < num_keys): from the nearest fence, a walk of
  // fewer than 16 entries.
  Result<uint64_t> PositionOf(uint64_t i) const;
  // The first entry whose key is not less than key: its number and position
  // (num_keys and index_length when there is none).
  struct Place {
    uint64_t index;
    uint64_t pos;
  };
  Result<Place> LowerBound(std::string_view key) const;

 private:
  // A run of n bytes of a section at logical offset at, checked: a pointer
  // into the mapping, or into scratch (at least n bytes) when the run
  // crosses records.
  Result<const std::byte*> SectionBytes(const SectionDescriptor& s, uint64_t bit_base, uint64_t at, size_t n,
                                        std::byte* scratch) const;
  Result<void> CheckRecord(const SectionDescriptor& s, uint64_t bit_base, uint64_t r) const;
  Result<void> CheckIndexBlocks(uint64_t begin, uint64_t end) const;  // positions [begin, end)
  Result<Entry> CheckedEntryAt(uint64_t pos) const;  // EntryAt, checking its blocks first
  Result<uint64_t> Fence(uint64_t j) const;

  // The address of byte at of the lookup section (no check: for reads of
  // checked records and for prefetches).
  const std::byte* LookupAddress(uint64_t at) const {
    return lookup_base_ + (at >> record_shift_) * lookup_stride_ + (at & (lookup_.record_size - 1));
  }
  // Whether the n > 0 bytes of the lookup section at at lie in one record
  // that is already checked.
  bool QuickRun(uint64_t at, uint64_t n) const {
    const uint64_t r = at >> record_shift_;
    return ((at + n - 1) >> record_shift_) == r && Checked(r);
  }
  // The record of the k-th block after the lead blocks.
  uint64_t BlockRecord(uint64_t k) const { return blocks_record_ + k / kBlocksPerRecord; }
  // Where the position of slot k (counted over all blocks) lies.
  uint64_t PositionAt(uint64_t k) const { return geometry_.positions_at() + uint64_t{geometry_.position_width} * k; }
  // The slots of block whose fingerprint is fp: two bits a slot, slot j's
  // at bits 2j and 2j + 1 (bits past the block's count are to be masked).
  static uint64_t MatchSlots(const std::byte* block, uint16_t fp) {
    uint16_t want;  // as the blocks store it: one compare a slot
    StoreBE(&want, fp);
    uint64_t m = 0;
#if defined(__SSE2__)
    const __m128i f = _mm_set1_epi16(static_cast<short>(want));
    for (int i = 0; i < 4; ++i) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + i);
      m |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, f)))} << (16 * i);
    }
#else
    for (unsigned j = 0; j < kBlockSlots; ++j) {
      uint16_t stored;
      std::memcpy(&stored, block + kFingerprintSize * j, sizeof stored);
      if (stored == want) m |= uint64_t{3} << (2 * j);
    }
#endif
    return m;
  }
  static uint64_t SlotOf(uint64_t mask) { return static_cast<uint64_t>(std::countr_zero(mask)) / 2; }
  // An entry position as the positions and fences hold it: big-endian, W bytes.
  uint64_t LoadPosition(const std::byte* p) const {
    switch (geometry_.position_width) {
      case 3: return uint64_t{LoadU16(p)} << 8 | static_cast<uint8_t>(p[2]);
      case 4: return LoadU32(p);
      case 5: return uint64_t{LoadU32(p)} << 8 | static_cast<uint8_t>(p[4]);
      default: return LoadUnsigned(p, geometry_.position_width);
    }
  }

  // A found key's position is known only once its block is read, so a
  // lookup would wait for two memory loads, one after the other, before it
  // reads its entry.  But home block b's first slot lies near
  // b * num_keys / homes, off by a random walk that changes little from
  // one block to the next: per group of neighbouring home blocks, the
  // offset the last lookup in the group found (plus kOffsetBias; 0: none
  // yet) predicts a block's first slot to within a few, and the lines of
  // those positions are prefetched alongside the block (prefetches rather
  // than loads: a miss need not wait for lines it does not use, and a
  // prefetch never faults).  Only a hint: the positions read are always
  // those the block gives, and the window is clamped to the positions, so
  // a stale or odd offset costs a few useless prefetches.  The table is
  // zero pages until used and at most kMaxGroups entries (512 KiB): a
  // table that no longer stays in the processor's cache would put a load
  // of its own before the prefetches, so larger files have larger groups
  // and a wider window instead.
  static constexpr uint64_t kMaxGroups = uint64_t{1} << 17;
  static constexpr unsigned kMinGroupShift = 2;     // 4 home blocks a group at least
  static constexpr int64_t kOffsetBias = int64_t{1} << 31;
  // The window prefetched: slots_before_ positions before the prediction
  // (kSlotsBefore for groups of 4 blocks, growing as the square root of a
  // group's size), as many after it, and most of a block's worth
  // (kSlotsAhead): two lines or so.  A wider window finds a hit's position
  // a little more often, but a miss, which needs none of it, then waits on
  // the memory traffic (a window of 36 positions made misses at 10M keys
  // 1.02x the loaded index's time, 20 made them 0.95-0.97x; get_raw
  // 0.94x either way).
  static constexpr uint64_t kSlotsBefore = 2;
  static constexpr uint64_t kSlotsAhead = 16;
  // b * num_keys / homes, by a multiplication: a division would delay
  // the prefetches by its latency.  Near enough for a hint.
  uint64_t EvenShare(uint64_t b) const {
    __extension__ typedef unsigned __int128 U128;
    return static_cast<uint64_t>((static_cast<U128>(b) * share_scale_) >> 32);
  }
  [[gnu::always_inline]] void PrefetchExpectedSlots(uint64_t b) const {
    if (!groups_) return;
    const uint32_t known = std::atomic_ref<uint32_t>(groups_.get()[b >> group_shift_]).load(std::memory_order_relaxed);
    if (known == 0) return;
    const int64_t expected = static_cast<int64_t>(EvenShare(b)) + (int64_t{known} - kOffsetBias);
    const uint64_t first =
        static_cast<uint64_t>(std::clamp<int64_t>(expected - static_cast<int64_t>(slots_before_), 0, num_keys_));
    const uint64_t last = std::min<uint64_t>(first + 2 * slots_before_ + kSlotsAhead, num_keys_);
    // The window's bytes as if they lay in one record: past a record's
    // end the lines prefetched are off by its header, which a hint can
    // afford, and the address is worked out once.
    const uint64_t from = PositionAt(first);
    const std::byte* at = LookupAddress(from);
    const std::byte* const end = at + slot_size_ * (last - first);
    for (; at < end; at += 64) __builtin_prefetch(at);
    __builtin_prefetch(end - 1);
  }
  void RememberSlots(uint64_t b, uint64_t first) const {
    if (!groups_) return;
    const int64_t offset = static_cast<int64_t>(first) - static_cast<int64_t>(EvenShare(b)) + kOffsetBias;
    std::atomic_ref<uint32_t>(groups_.get()[b >> group_shift_]).store(static_cast<uint32_t>(offset), std::memory_order_relaxed);
  }

  // In the same way, records lie in key order, as the entries do: an
  // entry's record lies near the same share of the records as the entry's
  // position is of the index section, off by what the sizes of the keys
  // and values before it make it, which changes little between neighbours.
  // Per group of entries (1 << place_shift_ bytes of the index section),
  // the offset the last lookup in the group found predicts where a found
  // entry's record lies, and its lines load alongside the entry instead of
  // after it.  Only a hint: the record read is always the one the entry
  // names.
  uint64_t EvenRecord(uint64_t pos) const {
    return kHeaderSize + static_cast<uint64_t>(static_cast<double>(pos) * record_scale_);
  }
  // pos comes from a slot and is not checked yet: a position past the
  // index section is no entry and has no group in the table.
  [[gnu::always_inline]] void PrefetchExpectedRecord(uint64_t pos) const {
    if (!places_ || pos >= index_length_) return;
    const uint32_t known = std::atomic_ref<uint32_t>(places_[pos >> place_shift_]).load(std::memory_order_relaxed);
    if (known == 0) return;
    const int64_t expected = static_cast<int64_t>(EvenRecord(pos)) + (int64_t{known} - kOffsetBias);
    if (expected < 0 || static_cast<uint64_t>(expected) >= records_end_) return;
    __builtin_prefetch(file_ + expected);
    __builtin_prefetch(file_ + expected + 64);
    __builtin_prefetch(file_ + expected + kRecordLineAhead);
  }
  static constexpr uint64_t kRecordLineAhead = 119;
  // record comes from the entry and is not checked yet: an offset past the
  // records is no hint (and would overflow the difference).
  void RememberRecord(uint64_t pos, uint64_t record) const {
    if (!places_ || record >= records_end_) return;
    const int64_t offset = static_cast<int64_t>(record) - static_cast<int64_t>(EvenRecord(pos));
    if (offset <= -kOffsetBias || offset >= kOffsetBias) return;
    std::atomic_ref<uint32_t>(places_[pos >> place_shift_])
        .store(static_cast<uint32_t>(offset + kOffsetBias), std::memory_order_relaxed);
  }

  bool Checked(uint64_t bit) const {
    return (bits_[bit / 64].load(std::memory_order_acquire) >> (bit % 64)) & 1;
  }
  void MarkChecked(uint64_t bit) const { bits_[bit / 64].fetch_or(uint64_t{1} << (bit % 64), std::memory_order_release); }

  const std::byte* file_ = nullptr;
  uint64_t index_offset_ = 0;
  uint64_t index_length_ = 0;
  uint32_t num_keys_ = 0;
  SectionDescriptor lookup_;
  SectionDescriptor crcs_;
  LookupGeometry geometry_;
  uint64_t index_block_ = kIndexCheckBlock;
  unsigned block_shift_ = 0;   // log2 of index_block_ when a power of two, else 0 (no quick path)
  unsigned record_shift_ = 0;  // log2 of the lookup section's record size
  const std::byte* lookup_base_ = nullptr;  // the lookup section's first payload byte
  uint64_t lookup_stride_ = 0;              // from one of its records to the next
  uint64_t slot_size_ = 0;       // W: the bytes of a position
  // The blocks: lead_blocks_ of them (maybe none) from file offset
  // lead_ in the record holding section offset blocks_from(), then
  // kBlocksPerRecord a record from record blocks_record_ on.
  uint64_t blocks_record_ = 0;
  uint64_t lead_blocks_ = 0;
  const std::byte* lead_ = nullptr;
  // Check bits: the lookup section's records, then the CRC section's, then
  // the index section's blocks.
  uint64_t crc_bits_ = 0;
  uint64_t block_bits_ = 0;
  std::unique_ptr<std::atomic<uint64_t>[]> bits_;
  // Per group of 1 << group_shift_ home blocks: see PrefetchExpectedSlots.
  // Mapped anonymous, so that its pages cost nothing until written (an
  // allocator might hand out used memory and clear it).
  // The same mapping holds both tables: places_ follows the groups.
  std::unique_ptr<uint32_t[], UnmapPages> groups_;
  unsigned group_shift_ = kMinGroupShift;
  uint64_t slots_before_ = kSlotsBefore;
  uint64_t share_scale_ = 0;  // (num_keys << 32) / homes, for EvenShare
  // Per group of 1 << place_shift_ bytes of entries: see PrefetchExpectedRecord.
  uint32_t* places_ = nullptr;
  unsigned place_shift_ = kMinPlaceShift;
  static constexpr unsigned kMinPlaceShift = 12;
  uint64_t records_end_ = 0;  // where the records (all but the extension area's) end
  double record_scale_ = 0;   // records' bytes per byte of the index section
};

}  // namespace velk
