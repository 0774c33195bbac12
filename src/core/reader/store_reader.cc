// Opening a store: map, check the header, optionally the whole-file CRC,
// then load the index section into the key list and key index.
#include "core/reader/store_reader.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/format/extension.h"
#include "core/format/lookup_hash.h"

namespace velk {

// Maps the file and takes the header's counts and offsets; nothing past the
// header is read yet.
Result<StoreReader> StoreReader::MapWithHeader(const std::string& path, Header* header) {
  auto mapped = Mapping::Open(path);
  if (!mapped.ok()) return std::move(mapped).error();

  StoreReader reader;
  reader.map_ = std::move(mapped).value();
  auto decoded = Header::DecodeFrom(reader.map_.bytes());
  if (!decoded.ok()) return std::move(decoded).error();
  *header = decoded.value();
  reader.num_keys_ = header->num_keys;
  reader.num_objects_ = header->num_objects;
  reader.index_offset_ = header->index_offset;
  reader.file_crc32_ = header->file_crc32;
  reader.records_end_ = reader.map_.size();
  return reader;
}

Result<StoreReader> StoreReader::Open(std::string path, bool verify) {
  Header header;
  auto mapped = MapWithHeader(path, &header);
  if (!mapped.ok()) return std::move(mapped).error();
  StoreReader reader = std::move(mapped).value();

  // A damaged file is rejected before a single index entry is trusted.
  if (verify) VELK_TRY(reader.CheckFileCrc());
  VELK_TRY(reader.LoadIndex());
  reader.path_ = std::move(path);
  return reader;
}

Result<StoreReader> StoreReader::OpenIndexed(std::string path, OpenCheck check) {
  Header header;
  auto mapped = MapWithHeader(path, &header);
  if (!mapped.ok()) return std::move(mapped).error();
  StoreReader reader = std::move(mapped).value();
  const Bytes file = reader.map_.bytes();
  reader.strict_extension_ = true;

  auto located = LocateDirectory(file, header);
  if (!located.ok()) return std::move(located).error();
  if (check == OpenCheck::kWholeFile || (check == OpenCheck::kUnlessIndexed && !located.value()))
    VELK_TRY(reader.CheckFileCrc());
  if (!located.value()) {
    VELK_TRY(reader.LoadIndex());
  } else {
    auto dir = ReadDirectory(file, header, *located.value());
    if (!dir.ok()) return std::move(dir).error();
    auto lazy = LazyIndex::Open(file, header, dir.value());
    if (!lazy.ok()) return std::move(lazy).error();
    if (lazy.value()) {
      reader.lazy_.emplace(std::move(*lazy.value()));
      // The lookup section, the directory and the index section are read at
      // random by every lookup: huge pages spare each access a page walk.
      reader.map_.AdviseHugePages(dir.value().Find(SectionKind::kLookup)->first_record);
    } else {
      // A lookup section of the earlier layout: the index is loaded, and
      // the file checked whole, as one without a lookup section.
      if (check == OpenCheck::kUnlessIndexed) VELK_TRY(reader.CheckFileCrc());
      VELK_TRY(reader.LoadIndex());
    }
    reader.records_end_ = dir.value().extension_start;
    // Every record from the extension area's start to the index.
    uint64_t records = 1;  // the directory
    for (const SectionDescriptor& sec : dir.value().sections) records += sec.record_count();
    if (records > header.num_objects) return StoreError::Corrupt("extension records outnumber num_objects");
    reader.extension_records_ = static_cast<uint32_t>(records);
    if (const SectionDescriptor* c = dir.value().Find(SectionKind::kCompression)) {
      auto section = GatherSection(file, *c);
      if (!section.ok()) return std::move(section).error();
      auto decoder = ValueDecoder::Open(std::move(section).value());
      if (!decoder.ok()) return std::move(decoder).error();
      reader.values_ = std::move(decoder).value();
    }
  }
  reader.path_ = std::move(path);
  return reader;
}

StoreError StoreReader::ReadFault(uint64_t offset) const {
  Bytes payload;
  if (LocateRecord(map_.bytes().data(), records_end_, offset, &payload) == RecordFault::kNone)
    return StoreError(Reason::kObjectCrc, "object CRC32 mismatch at offset " + std::to_string(offset));
  return RecordError(offset);
}

inline StoreReader::Found StoreReader::LazyAnswer(std::string_view key, uint64_t hash, Bytes* payload,
                                                  std::optional<StoreError>* fault) const {
  uint64_t record;
  const LazyIndex::Quick quick = lazy_->QuickFind(key, hash, &record);
  if (quick == LazyIndex::Quick::kAbsent) return Found::kAbsent;
  if (quick == LazyIndex::Quick::kSlow) [[unlikely]] {
    auto got = SlowGet(key);
    if (!got.ok()) return Damaged(std::move(got).error(), fault);
    if (!got.value()) return Found::kAbsent;
    *payload = *got.value();
    return Found::kFound;
  }
  // The record's lines load together, rather than one by one as the CRC
  // comes to them.
  LoadRecordLines(record);
  if (RecordSound(record, payload)) [[likely]] return Found::kFound;
  return Damaged(RecordFaultAt(record), fault);
}

StoreReader::Found StoreReader::LazyLookup(std::string_view key, uint64_t hash, Bytes* payload,
                                           std::optional<StoreError>* fault) const {
  return LazyAnswer(key, hash, payload, fault);
}

StoreReader::Found StoreReader::LazyLookup(std::string_view key, Bytes* payload,
                                           std::optional<StoreError>* fault) const {
  return LazyAnswer(key, InlineLookupHash(key, lazy_->seed()), payload, fault);
}

Result<std::optional<Bytes>> StoreReader::SlowGet(std::string_view key) const {
  auto found = lazy_->Find(key);
  if (!found.ok()) return std::move(found).error();
  if (!found.value()) return std::optional<Bytes>();
  auto payload = ReadChecked(found.value()->record);
  if (!payload.ok()) return std::move(payload).error();
  return std::optional<Bytes>(payload.value());
}

StoreError StoreReader::RecordFaultAt(uint64_t offset) const {
  auto bad = ReadChecked(offset);
  return bad.ok() ? StoreError::Corrupt("record at " + std::to_string(offset) + " changed while read")
                  : std::move(bad).error();
}

Result<bool> StoreReader::ContainsHashed(std::string_view key, uint64_t hash) const {
  assert(lazy_ && hash == lazy_->Hash(key));
  uint64_t record;
  switch (lazy_->QuickFind<false>(key, hash, &record)) {
    case LazyIndex::Quick::kFound: return true;
    case LazyIndex::Quick::kAbsent: return false;
    case LazyIndex::Quick::kSlow: break;
  }
  auto found = lazy_->Find(key);
  if (!found.ok()) return std::move(found).error();
  return found.value().has_value();
}

Result<StoreReader::Cursor> StoreReader::CursorAt(size_t i) const {
  if (!lazy_) return Cursor{i, 0};
  auto pos = lazy_->PositionOf(i);
  if (!pos.ok()) return std::move(pos).error();
  return Cursor{i, pos.value()};
}

Result<StoreReader::ScanItem> StoreReader::NextSlow(Cursor* cursor) const {
  if (!lazy_) {
    const size_t i = cursor->index++;
    return ScanItem{keys_.key(i), keys_.record_offset(i)};
  }
  auto e = lazy_->EntryAt(cursor->pos);
  if (!e.ok()) return std::move(e).error();
  ++cursor->index;
  cursor->pos = e.value().next;
  return ScanItem{e.value().key, e.value().record};
}

Result<size_t> StoreReader::Seek(std::string_view key) const {
  if (!lazy_) return LowerBound(key);
  auto place = lazy_->LowerBound(key);
  if (!place.ok()) return std::move(place).error();
  return static_cast<size_t>(place.value().index);
}

Result<void> StoreReader::CheckFileCrc() const {
  return CompareFileCrc(Crc32Wide(map_.bytes().subspan(kHeaderSize)));
}

Result<void> StoreReader::CompareFileCrc(uint32_t computed) const {
  if (computed != file_crc32_) {
    return StoreError(Reason::kFileCrc, "file CRC32 mismatch  stored=" + FormatCrc(file_crc32_) +
                               "  computed=" + FormatCrc(computed));
  }
  return {};
}

Result<void> StoreReader::LoadIndex() {
  const std::byte* data = map_.bytes().data();
  const uint64_t size = map_.size();

  // num_keys comes from the file: reserve no more entries than the bytes
  // after index_offset could hold (each entry takes at least 10), so a
  // bogus count ends in a truncation error, not an allocation failure.
  uint64_t expected = 0;
  if (index_offset_ <= size) {
    expected = std::min<uint64_t>(num_keys_, (size - index_offset_) / kIndexEntryOverhead);
  }
  keys_ = KeyList(std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(size)));
  keys_.Reserve(static_cast<size_t>(expected));
  KeyIndex::Slots slot_room = KeyIndex::ReserveSlots(static_cast<size_t>(expected));
  // While this thread reads the index section into the first half of the
  // entries, another faults in the second half and the slot table.  Only
  // when the count fits the file, as it does for every well-formed one: a
  // bogus count fails the parse before touching most of its room.
  std::optional<BackgroundPrefault> prefault;
  if (expected == num_keys_) {
    const size_t half = keys_.reserved_bytes() / 2;
    prefault.emplace({BackgroundPrefault::Range{static_cast<const std::byte*>(keys_.reserved_data()) + half,
                                                keys_.reserved_bytes() - half},
                      BackgroundPrefault::Range{slot_room.data(), slot_room.capacity() * sizeof(uint32_t)}});
  }

  uint64_t p = index_offset_;
  for (uint32_t i = 0; i < num_keys_; ++i) {
    // Remainders, not sums: p and the lengths may be anything up to 2^64.
    if (p > size || sizeof(uint16_t) > size - p)
      return StoreError(Reason::kIndexTruncated, "index section truncated (key_len)");
    const uint64_t key_len = LoadU16(data + p);
    const uint64_t rest = size - p - sizeof(uint16_t);
    if (key_len > rest || sizeof(uint64_t) > rest - key_len)
      return StoreError(Reason::kIndexTruncated, "index section truncated (key + offset)");
    const uint64_t key_at = p + sizeof(uint16_t);
    keys_.AppendAt(key_at, static_cast<size_t>(key_len), LoadU64(data + key_at + key_len));
    p = key_at + key_len + sizeof(uint64_t);
  }
  if (prefault) prefault->Wait();
  index_ = KeyIndex::Build(keys_, std::move(slot_room));
  return {};
}

}  // namespace velk
