// Big-endian loads and stores: every multi-byte integer in a store file is
// big-endian.  The loads take any alignment, since fields are packed.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velk {

// std::byteswap is C++23; these cover the widths the format uses.
inline uint8_t ByteSwap(uint8_t v) { return v; }
inline uint16_t ByteSwap(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t ByteSwap(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t ByteSwap(uint64_t v) { return __builtin_bswap64(v); }

template <typename T>
inline T LoadBE(const void* src) {
  T v;
  std::memcpy(&v, src, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = ByteSwap(v);
  return v;
}

template <typename T>
inline void StoreBE(void* dst, T v) {
  if constexpr (std::endian::native == std::endian::little) v = ByteSwap(v);
  std::memcpy(dst, &v, sizeof v);
}

inline uint16_t LoadU16(const void* p) { return LoadBE<uint16_t>(p); }
inline uint32_t LoadU32(const void* p) { return LoadBE<uint32_t>(p); }
inline uint64_t LoadU64(const void* p) { return LoadBE<uint64_t>(p); }

}  // namespace velk
