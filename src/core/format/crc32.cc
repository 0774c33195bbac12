#include "core/format/crc32.h"

#include <libdeflate.h>

namespace velk {

uint32_t Crc32(Bytes data, uint32_t crc) {
  return libdeflate_crc32(crc, data.data(), data.size());
}

}  // namespace velk
