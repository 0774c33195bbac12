#include "core/format/crc32.h"

#include <libdeflate.h>
#include <zlib.h>

#include <system_error>

namespace velk {

uint32_t Crc32(Bytes data, uint32_t crc) {
  // libdeflate treats a null buffer as a request for the initial value and
  // returns 0, which an empty span's data() may be: the running value must
  // pass through unchanged instead.
  if (data.empty()) return crc;
  return libdeflate_crc32(crc, data.data(), data.size());
}

uint32_t Crc32Combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
  // zlib's combine shifts crc_a past length_b zero bytes in O(log length_b)
  // steps; it shares the polynomial and conventions of libdeflate's CRC.
  return static_cast<uint32_t>(crc32_combine64(crc_a, crc_b, static_cast<z_off64_t>(length_b)));
}

BackgroundCrc32::BackgroundCrc32(Bytes data) : data_(data) {
  try {
    thread_ = std::thread([this] { crc_ = Crc32(data_); });
  } catch (const std::system_error&) {
    // No thread to spare: Get() does the work.
  }
}

BackgroundCrc32::~BackgroundCrc32() {
  if (thread_.joinable()) thread_.join();
}

uint32_t BackgroundCrc32::Get() {
  if (thread_.joinable()) {
    thread_.join();
    return crc_;
  }
  return Crc32(data_);
}

uint32_t Crc32Wide(Bytes data) {
  // Below this a thread's start-up is a noticeable share of the work.
  constexpr size_t kMinBytes = size_t{32} << 20;
  if (data.size() < kMinBytes) return Crc32(data);
  const Bytes head = data.first(data.size() / 2);
  const Bytes tail = data.subspan(head.size());
  BackgroundCrc32 tail_crc(tail);
  const uint32_t head_crc = Crc32(head);
  return Crc32Combine(head_crc, tail_crc.Get(), tail.size());
}

}  // namespace velk
