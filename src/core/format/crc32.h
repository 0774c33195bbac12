// The standard CRC-32 (reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF).  Backed by libdeflate, which picks a carry-less
// multiply routine at run time where the processor has one.
#pragma once

#include <cstdint>
#include <thread>

#include "core/format/format.h"

namespace velk {

// Continues a running CRC: Crc32(b, Crc32(a)) == Crc32(a ++ b).
uint32_t Crc32(Bytes data, uint32_t crc = 0);

// The CRC of a ++ b from Crc32(a), Crc32(b) and the length of b.
uint32_t Crc32Combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

// Crc32(data) computed on a thread of its own while the caller goes on;
// Get() waits for it.  Where no thread can be started, Get() computes it.
// data must stay readable until Get() returns or the object is destroyed.
class BackgroundCrc32 {
 public:
  explicit BackgroundCrc32(Bytes data);
  ~BackgroundCrc32();
  BackgroundCrc32(const BackgroundCrc32&) = delete;
  BackgroundCrc32& operator=(const BackgroundCrc32&) = delete;

  uint32_t Get();

 private:
  Bytes data_;
  uint32_t crc_ = 0;
  std::thread thread_;
};

// Crc32(data) computed on two threads for large inputs: a single thread
// reading memory falls well short of what the memory system delivers to
// two.  The same value as Crc32(data) in every case.
uint32_t Crc32Wide(Bytes data);

}  // namespace velk
