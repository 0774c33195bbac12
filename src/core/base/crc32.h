// The standard CRC-32 (reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF).  Backed by libdeflate, which picks a carry-less
// multiply routine at run time where the processor has one.
#pragma once

#include <cstdint>

#include "core/base/bytes.h"

namespace velk {

// From this many bytes on, a CRC over one range is worth splitting between
// two threads: below it a thread's start-up is a noticeable share of the work.
inline constexpr uint64_t kWideCrcMinBytes = uint64_t{32} << 20;

// Continues a running CRC: Crc32(b, Crc32(a)) == Crc32(a ++ b).
uint32_t Crc32(Bytes data, uint32_t crc = 0);

// The CRC of a ++ b from Crc32(a), Crc32(b) and the length of b.
uint32_t Crc32Combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

// Crc32(data) computed on two threads from kWideCrcMinBytes on.  The same
// value as Crc32(data) in every case.
uint32_t Crc32Wide(Bytes data);

}  // namespace velk
