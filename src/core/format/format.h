// Byte layout of a store file.
//
//   header (40 bytes) | data section | index section
//
// Data section: one record per object, in object-id order:
//   u32 length | u32 CRC-32 of the payload | payload
// Index section: one entry per key, in ascending key order:
//   u16 key length | key bytes | u64 absolute offset of the object's record
// The header's file CRC covers every byte from kHeaderSize to the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "core/base/bytes.h"
#include "core/base/endian.h"
#include "core/base/status.h"

namespace velk {

inline constexpr char kMagic[4] = {'V', 'L', 'K', 'S'};
inline constexpr uint8_t kFormatVersion = 2;

// Header field offsets.
inline constexpr size_t kMagicOffset = 0;         // 4 bytes "VLKS"
inline constexpr size_t kVersionOffset = 4;       // u8, then 3 reserved bytes
inline constexpr size_t kNumKeysOffset = 8;       // u32
inline constexpr size_t kNumObjectsOffset = 12;   // u32
inline constexpr size_t kIndexOffsetOffset = 16;  // u64
inline constexpr size_t kDataOffsetOffset = 24;   // u64, always kHeaderSize
inline constexpr size_t kFileCrcOffset = 32;      // u32, then 4 reserved bytes
inline constexpr size_t kHeaderSize = 40;

// Object record: u32 payload length + u32 payload CRC, then the payload.
inline constexpr size_t kRecordHeaderSize = 8;
// Index entry overhead: u16 key length + u64 object offset.
inline constexpr size_t kIndexEntryOverhead = 10;

// Limits that follow from the field widths.
inline constexpr uint64_t kMaxKeyLength = UINT16_MAX;
inline constexpr uint64_t kMaxPayloadLength = UINT32_MAX;
inline constexpr uint64_t kMaxCount = UINT32_MAX;  // keys, and objects

// The bounds checks of a record, in the order they are made.
enum class RecordFault : uint8_t {
  kNone,
  kOffset,  // the record's offset, or its 8-byte head, lies past end
  kLength,  // its payload runs past end
};

// The payload of the record at offset, when the record lies wholly within
// the first end bytes at base; which check fails otherwise.  offset and the
// stored length come from the file and may be anything, so every check
// compares remainders rather than sums, which cannot overflow.  Every read
// of a record goes through here.
inline RecordFault LocateRecord(const std::byte* base, uint64_t end, uint64_t offset, Bytes* payload) {
  if (offset > end || kRecordHeaderSize > end - offset) [[unlikely]] return RecordFault::kOffset;
  const uint64_t length = LoadU32(base + offset);
  if (length > end - offset - kRecordHeaderSize) [[unlikely]] return RecordFault::kLength;
  *payload = Bytes(base + offset + kRecordHeaderSize, static_cast<size_t>(length));
  return RecordFault::kNone;
}

// The CRC stored in the head of a record that LocateRecord accepted.
inline uint32_t StoredRecordCrc(const std::byte* base, uint64_t offset) {
  return LoadU32(base + offset + sizeof(uint32_t));  // after the length
}

struct Header {
  uint8_t version = kFormatVersion;
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint64_t index_offset = kHeaderSize;
  uint64_t data_offset = kHeaderSize;
  uint32_t file_crc32 = 0;

  // Writes exactly kHeaderSize bytes, reserved bytes zero.
  void EncodeTo(std::byte* dst) const;
  // Checks length, magic and version, in that order, then decodes the
  // fields.  data_offset and the reserved bytes are not read.
  static Result<Header> DecodeFrom(Bytes file);
};

// Key order: unsigned bytewise over the common length, then shorter first.
inline int CompareKeys(std::string_view a, std::string_view b) { return a.compare(b); }
inline bool KeyLess(std::string_view a, std::string_view b) { return a.compare(b) < 0; }

// Key equality without a library call for the common short keys: two
// overlapping 8-byte (or 4-byte) loads cover any length from 4 to 16.
inline bool SameKey(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  auto load8 = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  auto load4 = [](const char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  if (n >= 8 && n <= 16) {
    return ((load8(a.data()) ^ load8(b.data())) | (load8(a.data() + n - 8) ^ load8(b.data() + n - 8))) == 0;
  }
  if (n >= 4 && n < 8) {
    return ((load4(a.data()) ^ load4(b.data())) | (load4(a.data() + n - 4) ^ load4(b.data() + n - 4))) == 0;
  }
  return n == 0 || std::memcmp(a.data(), b.data(), n) == 0;
}

// "0x" followed by exactly eight lowercase hex digits.
std::string FormatCrc(uint32_t crc);

}  // namespace velk
