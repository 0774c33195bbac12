// Opening a store: map, check the header, optionally the whole-file CRC,
// then load the index section into the key list and key index.
#include "core/reader/store_reader.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "core/base/crc32.h"
#include "core/base/endian.h"

namespace velk {

Result<StoreReader> StoreReader::Open(std::string path, bool verify) {
  auto mapped = Mapping::Open(path);
  if (!mapped.ok()) return std::move(mapped).error();

  StoreReader reader;
  reader.map_ = std::move(mapped).value();
  auto decoded = Header::DecodeFrom(reader.map_.bytes());
  if (!decoded.ok()) return std::move(decoded).error();
  const Header& header = decoded.value();
  reader.num_keys_ = header.num_keys;
  reader.num_objects_ = header.num_objects;
  reader.index_offset_ = header.index_offset;
  reader.file_crc32_ = header.file_crc32;

  // A damaged file is rejected before a single index entry is trusted.
  if (verify) VELK_TRY(reader.CheckFileCrc());
  VELK_TRY(reader.LoadIndex());
  reader.path_ = std::move(path);
  return reader;
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
