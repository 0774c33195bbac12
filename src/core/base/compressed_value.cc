#include "core/base/compressed_value.h"

#include "core/base/endian.h"

namespace velk {
namespace {

// MessagePack extension headers: the first byte, then for ext 8/16/32 the
// data length, then the type byte.
constexpr uint8_t kFixExt1 = 0xd4;   // 0xd4..0xd8: 1, 2, 4, 8, 16 data bytes
constexpr uint8_t kFixExt16 = 0xd8;
constexpr uint8_t kExt8 = 0xc7;
constexpr uint8_t kExt16 = 0xc8;
constexpr uint8_t kExt32 = 0xc9;

constexpr size_t kMaxVarint = 5;  // 7 bits a byte: enough for 32 bits

size_t VarintSize(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

}  // namespace

StoredForm ParseStored(Bytes stored, uint64_t* value_length, Bytes* body) {
  if (stored.empty()) return StoredForm::kPlain;
  const auto lead = static_cast<uint8_t>(stored[0]);
  size_t head;      // bytes before the type byte
  uint64_t length;  // the extension's data length
  if (lead >= kFixExt1 && lead <= kFixExt16) {
    head = 1;
    length = uint64_t{1} << (lead - kFixExt1);
  } else if (lead == kExt8 && stored.size() >= 2) {
    head = 2;
    length = static_cast<uint8_t>(stored[1]);
  } else if (lead == kExt16 && stored.size() >= 3) {
    head = 3;
    length = LoadBE<uint16_t>(stored.data() + 1);
  } else if (lead == kExt32 && stored.size() >= 5) {
    head = 5;
    length = LoadU32(stored.data() + 1);
  } else {
    return StoredForm::kPlain;
  }
  if (stored.size() <= head || static_cast<int8_t>(stored[head]) != kCompressedExtType) return StoredForm::kPlain;
  const Bytes data = stored.subspan(head + 1);
  if (length != data.size()) return StoredForm::kDamaged;

  uint64_t n = 0;
  size_t used = 0;
  for (;; ++used) {
    if (used == data.size() || used == kMaxVarint) return StoredForm::kDamaged;
    const auto b = static_cast<uint8_t>(data[used]);
    n |= uint64_t{b & 0x7fu} << (7 * used);
    if ((b & 0x80) == 0) break;
  }
  ++used;
  if (n > UINT32_MAX) return StoredForm::kDamaged;
  *value_length = n;
  *body = data.subspan(used);
  return StoredForm::kCompressed;
}

size_t WriteWrapperHead(uint64_t value_length, size_t body_size, std::byte* dst) {
  const uint64_t length = VarintSize(value_length) + body_size;
  size_t at = 0;
  auto put = [&](uint8_t b) { dst[at++] = std::byte{b}; };
  switch (length) {
    case 1: put(kFixExt1); break;
    case 2: put(kFixExt1 + 1); break;
    case 4: put(kFixExt1 + 2); break;
    case 8: put(kFixExt1 + 3); break;
    case 16: put(kFixExt16); break;
    default:
      if (length <= UINT8_MAX) {
        put(kExt8);
        put(static_cast<uint8_t>(length));
      } else if (length <= UINT16_MAX) {
        put(kExt16);
        StoreBE<uint16_t>(dst + at, static_cast<uint16_t>(length));
        at += 2;
      } else {
        put(kExt32);
        StoreBE<uint32_t>(dst + at, static_cast<uint32_t>(length));
        at += 4;
      }
  }
  put(static_cast<uint8_t>(kCompressedExtType));
  uint64_t v = value_length;
  while (v >= 0x80) {
    put(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  put(static_cast<uint8_t>(v));
  return at;
}

void EncodeCompressionHead(const CompressionInfo& info, std::byte* dst) {
  dst[0] = std::byte{kCodecZstd};
  dst[1] = static_cast<std::byte>(info.level);
  StoreBE<uint64_t>(dst + 2, info.value_bytes);
  StoreBE<uint64_t>(dst + 10, info.stored_bytes);
}

bool DecodeCompressionHead(Bytes section, CompressionInfo* info) {
  if (section.size() < kCompressionHeadSize || static_cast<uint8_t>(section[0]) != kCodecZstd) return false;
  info->level = static_cast<uint8_t>(section[1]);
  info->value_bytes = LoadU64(section.data() + 2);
  info->stored_bytes = LoadU64(section.data() + 10);
  info->dictionary_size = section.size() - kCompressionHeadSize;
  return true;
}

}  // namespace velk
