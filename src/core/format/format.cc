#include "core/format/format.h"

#include <cstdio>
#include <cstring>

#include "core/base/endian.h"

namespace velk {

void Header::EncodeTo(std::byte* dst) const {
  std::memset(dst, 0, kHeaderSize);
  std::memcpy(dst + kMagicOffset, kMagic, sizeof kMagic);
  dst[kVersionOffset] = static_cast<std::byte>(version);
  StoreBE<uint32_t>(dst + kNumKeysOffset, num_keys);
  StoreBE<uint32_t>(dst + kNumObjectsOffset, num_objects);
  StoreBE<uint64_t>(dst + kIndexOffsetOffset, index_offset);
  StoreBE<uint64_t>(dst + kDataOffsetOffset, data_offset);
  StoreBE<uint32_t>(dst + kFileCrcOffset, file_crc32);
}

Result<Header> Header::DecodeFrom(Bytes file) {
  if (file.size() < kHeaderSize) return StoreError(Reason::kTooSmall, "file too small for header");
  const std::byte* p = file.data();
  if (std::memcmp(p + kMagicOffset, kMagic, sizeof kMagic) != 0) {
    std::string msg = "bad magic [";
    for (size_t i = 0; i < sizeof kMagic; ++i) {
      if (i) msg += ", ";
      msg += std::to_string(static_cast<unsigned>(p[kMagicOffset + i]));
    }
    msg += ']';
    return StoreError(Reason::kBadMagic, std::move(msg));
  }
  Header h;
  h.version = static_cast<uint8_t>(p[kVersionOffset]);
  if (h.version != kFormatVersion) return StoreError::Version(h.version);
  h.num_keys = LoadU32(p + kNumKeysOffset);
  h.num_objects = LoadU32(p + kNumObjectsOffset);
  h.index_offset = LoadU64(p + kIndexOffsetOffset);
  h.data_offset = kHeaderSize;
  h.file_crc32 = LoadU32(p + kFileCrcOffset);
  return h;
}

std::string FormatCrc(uint32_t crc) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", crc);
  return buf;
}

}  // namespace velk
