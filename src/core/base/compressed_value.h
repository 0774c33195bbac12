// How a compressed value is stored: as one MessagePack extension value, so
// that a reader which knows nothing of compression still reads a valid
// MessagePack value, and the record CRC covers the bytes as stored.
//
//   ext header (fixext 1/2/4/8/16, ext 8/16/32) with type kCompressedExtType
//   | varint: the value's length n (LEB128, at most 5 bytes)
//   | body
//
// body is the value itself when it is exactly n bytes long (a value that
// would otherwise be taken for a compressed one: it is never left bare);
// else, for n up to kMaxBlockValue, one zstd compressed block without frame
// or block header; else one zstd frame without magic number, dictionary id
// or checksum.  The record CRC already covers every byte, so a checksum of
// the frame's own would only repeat it.
//
// Only a file that carries a compression section is read this way; in any
// other file an extension value of this type is an ordinary value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/base/bytes.h"

namespace velk {

inline constexpr int8_t kCompressedExtType = 0x5a;
// The largest value held in one compressed block (zstd's block size limit).
inline constexpr uint64_t kMaxBlockValue = 128 * 1024;
// zstd's block header: 3 bytes, little-endian; bit 0 last block, bits 1-2
// the block type, the rest the block's size (its content's, for a
// repeated-byte block the bytes it gives).
inline constexpr size_t kBlockHeaderSize = 3;
struct ZstdBlockHeader {
  enum Type : uint32_t { kRaw = 0, kRepeated = 1, kCompressed = 2, kReserved = 3 };
  explicit ZstdBlockHeader(const std::byte* p) {
    const uint32_t bits =
        static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
    last = (bits & 1) != 0;
    type = static_cast<Type>((bits >> 1) & 3);
    size = bits >> 3;
  }
  bool last;
  Type type;
  uint32_t size;
};
// The longest wrapper head: ext 32 header (1 + 4 + 1 bytes) and a 5-byte
// varint.
inline constexpr size_t kMaxWrapperHead = 11;

// What the bytes of a stored object are.
enum class StoredForm : uint8_t {
  kPlain,       // not a compressed value: the value as stored
  kCompressed,  // a wrapper: *value_length and *body set
  kDamaged,     // starts as a wrapper but does not hold together
};

// Reads the wrapper, if stored is one.  stored comes from the file and may
// be anything: every length is checked against what is there.
StoredForm ParseStored(Bytes stored, uint64_t* value_length, Bytes* body);

// Writes the wrapper head for a value of value_length bytes held in a body
// of body_size bytes into dst (room for kMaxWrapperHead bytes); returns the
// bytes written.  body_size is at most kMaxPayloadLength - kMaxWrapperHead.
size_t WriteWrapperHead(uint64_t value_length, size_t body_size, std::byte* dst);

// A file's compression section, one of its extension sections: a small
// head, then the zstd dictionary (which may be empty).
//   u8 codec (1: zstd) | u8 level | u64 value bytes | u64 stored bytes
//   | dictionary
// The byte counts are for statistics only; nothing is read through them.
inline constexpr uint8_t kCodecZstd = 1;
inline constexpr size_t kCompressionHeadSize = 18;

struct CompressionInfo {
  int level = 0;
  uint64_t value_bytes = 0;   // the objects' values, uncompressed
  uint64_t stored_bytes = 0;  // the same objects as stored
  uint64_t dictionary_size = 0;
};

// Writes the head (kCompressionHeadSize bytes) of a compression section.
void EncodeCompressionHead(const CompressionInfo& info, std::byte* dst);
// Reads a compression section's head; false when it is not one this
// reader knows (too short, another codec).  The dictionary follows it.
bool DecodeCompressionHead(Bytes section, CompressionInfo* info);

}  // namespace velk
