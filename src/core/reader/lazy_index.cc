#include "core/reader/lazy_index.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"

namespace velk {
namespace {

std::string Num(uint64_t v) { return std::to_string(v); }

}  // namespace

Result<std::optional<LazyIndex>> LazyIndex::Open(Bytes file, const Header& header, const Directory& dir) {
  const SectionDescriptor* lookup = dir.Find(SectionKind::kLookup);
  const SectionDescriptor* crcs = dir.Find(SectionKind::kIndexCrcs);
  if (lookup == nullptr || crcs == nullptr) return StoreError::Corrupt("extension area has no lookup index");
  VELK_TRY(CheckRequiredSections(dir));
  LazyIndex x;
  x.file_ = file.data();
  x.index_offset_ = header.index_offset;
  x.index_length_ = dir.index_length;
  x.num_keys_ = header.num_keys;
  x.lookup_ = *lookup;
  x.crcs_ = *crcs;
  x.index_block_ = crcs->parameter;
  if (x.index_block_ == 0 || crcs->length / 4 != (x.index_length_ + x.index_block_ - 1) / x.index_block_ ||
      crcs->length % 4 != 0)
    return StoreError::Corrupt("index block CRCs do not cover the index section");
  const uint64_t lookup_records = lookup->record_count();
  x.crc_bits_ = lookup_records;
  x.block_bits_ = x.crc_bits_ + crcs->record_count();
  const uint64_t bits = x.block_bits_ + crcs->length / 4;
  x.bits_ = std::make_unique<std::atomic<uint64_t>[]>(bits / 64 + 1);

  std::byte scratch[kLookupHeaderSize];
  auto head = x.SectionBytes(x.lookup_, 0, 0, kLookupHeaderSize, scratch);
  if (!head.ok()) return std::move(head).error();
  auto geometry = LookupGeometry::Decode(Bytes(head.value(), kLookupHeaderSize), x.num_keys_, *lookup);
  if (!geometry.ok()) return std::move(geometry).error();
  if (!geometry.value()) return std::optional<LazyIndex>();
  x.geometry_ = *geometry.value();
  x.slot_size_ = x.geometry_.position_width;
  x.record_shift_ = static_cast<unsigned>(std::countr_zero(lookup->record_size));
  x.lookup_base_ = file.data() + lookup->first_record + kRecordHeaderSize;
  x.lookup_stride_ = kRecordHeaderSize + lookup->record_size;
  x.blocks_record_ = x.geometry_.blocks_from() / kExtensionRecordSize + 1;
  x.lead_blocks_ = x.geometry_.lead_blocks();
  x.lead_ = x.LookupAddress(x.geometry_.BlockAt(0));
  if (std::has_single_bit(x.index_block_)) x.block_shift_ = static_cast<unsigned>(std::countr_zero(x.index_block_));
  while ((uint64_t{x.geometry_.homes} >> x.group_shift_) >= kMaxGroups) ++x.group_shift_;
  x.share_scale_ = (uint64_t{x.num_keys_} << 32) / x.geometry_.homes;
  // Within a group, offsets differ by about the square root of its size.
  const double group_growth = std::sqrt(static_cast<double>(uint64_t{1} << (x.group_shift_ - kMinGroupShift)));
  x.slots_before_ = static_cast<uint64_t>(static_cast<double>(kSlotsBefore) * group_growth);
  const uint64_t slot_groups = (uint64_t{x.geometry_.homes} >> x.group_shift_) + 1;
  while ((x.index_length_ >> x.place_shift_) >= kMaxGroups) ++x.place_shift_;
  const uint64_t place_groups = (x.index_length_ >> x.place_shift_) + 1;
  x.records_end_ = dir.extension_start;
  if (x.index_length_ != 0 && x.records_end_ > kHeaderSize)
    x.record_scale_ = static_cast<double>(x.records_end_ - kHeaderSize) / static_cast<double>(x.index_length_);
  const size_t bytes = (slot_groups + place_groups) * sizeof(uint32_t);
  // Without the tables (no memory to map) lookups only lose the hints.
  void* table = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (table != MAP_FAILED) {
    x.groups_ = std::unique_ptr<uint32_t[], UnmapPages>(static_cast<uint32_t*>(table), UnmapPages{bytes});
    x.places_ = x.groups_.get() + slot_groups;
  }
  return std::optional<LazyIndex>(std::move(x));
}

void UnmapPages::operator()(uint32_t* p) const { munmap(p, bytes); }

Result<void> LazyIndex::CheckRecord(const SectionDescriptor& s, uint64_t bit_base, uint64_t r) const {
  if (Checked(bit_base + r)) [[likely]] return {};
  const uint64_t at = s.first_record + r * (kRecordHeaderSize + s.record_size);
  const uint64_t expected = std::min<uint64_t>(s.record_size, s.length - r * s.record_size);
  Bytes payload;
  // The directory's checks keep the section's records before the index
  // offset, so the record lies in the file.
  if (LocateRecord(file_, index_offset_, at, &payload) != RecordFault::kNone || payload.size() != expected)
    return StoreError::Corrupt("extension record at " + Num(at) + " is malformed");
  if (Crc32(payload) != StoredRecordCrc(file_, at))
    return StoreError(Reason::kObjectCrc, "object CRC32 mismatch at offset " + Num(at));
  MarkChecked(bit_base + r);
  return {};
}

Result<const std::byte*> LazyIndex::SectionBytes(const SectionDescriptor& s, uint64_t bit_base, uint64_t at, size_t n,
                                                 std::byte* scratch) const {
  if (at > s.length || n > s.length - at) return StoreError::Corrupt("read past the end of an extension section");
  const unsigned shift = static_cast<unsigned>(std::countr_zero(s.record_size));
  const uint64_t mask = s.record_size - 1;
  auto place = [&](uint64_t off) {
    return file_ + s.first_record + (off >> shift) * (kRecordHeaderSize + s.record_size) + kRecordHeaderSize +
           (off & mask);
  };
  const uint64_t first = at >> shift;
  const uint64_t last = n == 0 ? first : (at + n - 1) >> shift;
  for (uint64_t r = first; r <= last; ++r) VELK_TRY(CheckRecord(s, bit_base, r));
  if (first == last) [[likely]] return place(at);
  // Across records: gather the pieces.
  size_t done = 0;
  while (done < n) {
    const uint64_t off = at + done;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, s.record_size - (off & mask)));
    std::memcpy(scratch + done, place(off), piece);
    done += piece;
  }
  return static_cast<const std::byte*>(scratch);
}

Result<void> LazyIndex::CheckIndexBlocks(uint64_t begin, uint64_t end) const {
  if (begin >= end) return {};
  for (uint64_t b = begin / index_block_; b <= (end - 1) / index_block_; ++b) {
    if (Checked(block_bits_ + b)) [[likely]] continue;
    std::byte scratch[4];
    auto stored = SectionBytes(crcs_, crc_bits_, 4 * b, 4, scratch);
    if (!stored.ok()) return std::move(stored).error();
    const uint64_t at = b * index_block_;
    const uint64_t len = std::min(index_block_, index_length_ - at);
    if (Crc32(Bytes(file_ + index_offset_ + at, len)) != LoadU32(stored.value()))
      return StoreError::Corrupt("index block CRC32 mismatch at offset " + Num(index_offset_ + at));
    MarkChecked(block_bits_ + b);
  }
  return {};
}

Result<LazyIndex::Entry> LazyIndex::EntryAt(uint64_t pos) const {
  Entry e;
  if (QuickEntry(pos, &e) == Quick::kFound) [[likely]] return e;
  return CheckedEntryAt(pos);
}

Result<LazyIndex::Entry> LazyIndex::CheckedEntryAt(uint64_t pos) const {
  const uint64_t size = index_length_;
  if (pos > size || sizeof(uint16_t) > size - pos)
    return StoreError(Reason::kOutOfBounds, "index entry position " + Num(pos) + " out of bounds");
  VELK_TRY(CheckIndexBlocks(pos, pos + sizeof(uint16_t)));
  const std::byte* p = file_ + index_offset_ + pos;
  const uint64_t key_len = LoadU16(p);
  const uint64_t rest = size - pos - sizeof(uint16_t);
  if (key_len > rest || sizeof(uint64_t) > rest - key_len) return StoreError(Reason::kIndexTruncated, "index section truncated (key + offset)");
  const uint64_t end = pos + sizeof(uint16_t) + key_len + sizeof(uint64_t);
  VELK_TRY(CheckIndexBlocks(pos + sizeof(uint16_t), end));
  return Entry{std::string_view(reinterpret_cast<const char*>(p + sizeof(uint16_t)), key_len),
               LoadU64(p + sizeof(uint16_t) + key_len), end};
}

Result<std::optional<LazyIndex::Entry>> LazyIndex::Find(std::string_view key) const {
  using Found = std::optional<Entry>;
  const LookupGeometry& g = geometry_;
  const uint64_t h = LookupHash(key, g.seed);
  const uint16_t fp = FingerprintOf(h);
  const unsigned w = g.position_width;
  for (uint64_t b = HomeOf(h, g.homes);; ++b) {
    std::byte scratch[kBlockSize];
    auto block = SectionBytes(lookup_, 0, g.BlockAt(b), kBlockSize, scratch);
    if (!block.ok()) return std::move(block).error();
    const uint8_t meta = static_cast<uint8_t>(block.value()[kBlockMeta]);
    const uint64_t count = meta & ~kBlockOverflow;
    const uint64_t base = LoadU32(block.value() + kBlockBase);
    const bool more = (meta & kBlockOverflow) != 0;
    if (count > kBlockSlots || base + count > num_keys_ || (more && b + 1 >= g.blocks))
      return StoreError::Corrupt("lookup block " + Num(b) + " is malformed");
    for (uint64_t j = 0; j < count; ++j) {
      if (LoadU16(block.value() + kFingerprintSize * j) != fp) continue;
      std::byte position[8];
      auto at = SectionBytes(lookup_, 0, PositionAt(base + j), w, position);
      if (!at.ok()) return std::move(at).error();
      auto entry = EntryAt(LoadUnsigned(at.value(), w));
      if (!entry.ok()) return std::move(entry).error();
      if (entry.value().key == key) return Found(entry.value());
    }
    if (!more) return Found();
  }
}

Result<uint64_t> LazyIndex::Fence(uint64_t j) const {
  std::byte scratch[8];
  const unsigned w = geometry_.position_width;
  auto at = SectionBytes(lookup_, 0, geometry_.fences_at() + uint64_t{w} * j, w, scratch);
  if (!at.ok()) return std::move(at).error();
  return LoadUnsigned(at.value(), w);
}

Result<uint64_t> LazyIndex::PositionOf(uint64_t i) const {
  if (i >= num_keys_) return index_length_;
  auto pos = Fence(i >> geometry_.fence_shift);
  if (!pos.ok()) return pos;
  uint64_t p = pos.value();
  for (uint64_t k = (i >> geometry_.fence_shift) << geometry_.fence_shift; k < i; ++k) {
    auto e = EntryAt(p);
    if (!e.ok()) return std::move(e).error();
    p = e.value().next;
  }
  return p;
}

Result<LazyIndex::Place> LazyIndex::LowerBound(std::string_view key) const {
  // The last fence whose key is below key: the answer lies in its group.
  uint64_t lo = 0;
  uint64_t hi = geometry_.fence_count();
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    auto pos = Fence(mid);
    if (!pos.ok()) return std::move(pos).error();
    auto e = EntryAt(pos.value());
    if (!e.ok()) return std::move(e).error();
    if (KeyLess(e.value().key, key)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return Place{0, num_keys_ == 0 ? index_length_ : 0};
  uint64_t i = (lo - 1) << geometry_.fence_shift;
  auto pos = Fence(lo - 1);
  if (!pos.ok()) return std::move(pos).error();
  uint64_t p = pos.value();
  for (; i < num_keys_; ++i) {
    auto e = EntryAt(p);
    if (!e.ok()) return std::move(e).error();
    if (!KeyLess(e.value().key, key)) break;
    p = e.value().next;
  }
  return Place{i, p};
}

}  // namespace velk
