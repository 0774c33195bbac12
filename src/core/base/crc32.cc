#include "core/base/crc32.h"

#include <libdeflate.h>
#include <zlib.h>

#include "core/base/helper_thread.h"

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

uint32_t Crc32Wide(Bytes data) {
  if (data.size() < kWideCrcMinBytes) return Crc32(data);
  const Bytes head = data.first(data.size() / 2);
  const Bytes tail = data.subspan(head.size());
  uint32_t tail_crc = 0;
  HelperThread helper([&] { tail_crc = Crc32(tail); });
  const uint32_t head_crc = Crc32(head);
  helper.Wait();
  return Crc32Combine(head_crc, tail_crc, tail.size());
}

}  // namespace velk
