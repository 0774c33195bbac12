#include "core/reader/header_claims.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace velk {

uint64_t ClaimedMinimumSize(Bytes file) {
  auto header = Header::DecodeFrom(file);
  if (!header.ok()) return 0;
  const Header& h = header.value();
  // index_offset is a u64 from the file: saturate rather than wrap.
  const uint64_t index = uint64_t{h.num_keys} * kIndexEntryOverhead;
  return h.index_offset > UINT64_MAX - index ? UINT64_MAX : h.index_offset + index;
}

Result<void> CheckHeaderClaims(Bytes file, uint32_t num_keys, uint32_t num_objects,
                               uint64_t index_offset, const KeyList& keys) {
  const uint64_t size = file.size();
  // With keys, the open has bounded every entry by the file, so the index
  // offset is at most size; it may still point into the header.
  const uint64_t data_end = num_keys == 0 ? size : index_offset;
  if (data_end < kHeaderSize) {
    return StoreError::Corrupt("index offset " + std::to_string(index_offset) + " lies inside the header");
  }

  uint64_t records = 0;
  for (uint64_t at = kHeaderSize; at < data_end; ++records) {
    // Bounded by the data section's end, not the file's: the records must
    // tile the section exactly.
    Bytes payload;
    if (LocateRecord(file.data(), data_end, at, &payload) != RecordFault::kNone) {
      return StoreError::Corrupt("object record at " + std::to_string(at) + " runs past the data section end " +
                                 std::to_string(data_end));
    }
    at += kRecordHeaderSize + payload.size();
  }
  if (records != num_objects) {
    return StoreError::Corrupt("num_objects " + std::to_string(num_objects) + " does not match the " +
                               std::to_string(records) + " object records");
  }

  if (num_keys != 0) {
    // The open read the entries end to end from index_offset, so the last
    // key's place gives where the entries end.
    const std::string_view last = keys.key(keys.size() - 1);
    const uint64_t index_end = static_cast<uint64_t>(last.data() - reinterpret_cast<const char*>(file.data())) +
                               last.size() + sizeof(uint64_t);
    if (index_end != size) {
      return StoreError::Corrupt("index entries end at " + std::to_string(index_end) + ", file ends at " +
                                 std::to_string(size));
    }
  }
  return {};
}

}  // namespace velk
