#include "core/format/crc32.h"

#include <libdeflate.h>

namespace velk {

uint32_t Crc32(Bytes data, uint32_t crc) {
  // libdeflate treats a null buffer as a request for the initial value and
  // returns 0, which an empty span's data() may be: the running value must
  // pass through unchanged instead.
  if (data.empty()) return crc;
  return libdeflate_crc32(crc, data.data(), data.size());
}

}  // namespace velk
