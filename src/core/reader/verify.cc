// Deep verification: the whole-file CRC, then every distinct object's CRC.
#include <string>
#include <utility>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/reader/offset_map.h"
#include "core/reader/store_reader.h"

namespace velk {

Result<void> StoreReader::Verify() const {
  VELK_TRY(CheckFileCrc());

  const uint64_t size = map_.size();
  const std::byte* data = map_.bytes().data();
  OffsetMap seen;
  for (size_t i = 0; i < offsets_.size(); ++i) {
    const uint64_t offset = offsets_[i];
    if (!seen.FindOrInsert(offset, static_cast<uint32_t>(i)).second) continue;
    if (offset > size || kRecordHeaderSize > size - offset)
      return StoreError::Corrupt("object offset " + std::to_string(offset) + " out of bounds");
    // Same length bound and message as a lookup's read.
    auto payload = ReadObject(offset);
    if (!payload.ok()) return std::move(payload).error();
    const uint32_t stored = LoadU32(data + offset + sizeof(uint32_t));  // after the length
    if (Crc32(payload.value()) != stored)
      return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
  }
  return {};
}

}  // namespace velk
