// The standard CRC-32 (reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF).  Backed by libdeflate, which picks a carry-less
// multiply routine at run time where the processor has one.
#pragma once

#include <cstdint>

#include "core/format/format.h"

namespace velk {

// Continues a running CRC: Crc32(b, Crc32(a)) == Crc32(a ++ b).
uint32_t Crc32(Bytes data, uint32_t crc = 0);

}  // namespace velk
