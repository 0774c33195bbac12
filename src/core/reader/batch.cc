// Batch lookups: the key index resolves a whole batch with its misses
// overlapped, then each found record is bounds-checked and read.
#include <algorithm>

#include "core/reader/store_reader.h"

namespace velk {

void StoreReader::ProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads) const {
  if (lazy_) {
    for (size_t j = 0; j < keys.size(); ++j) found[j] = LazyProbe(keys[j], &payloads[j]);
    return;
  }
  constexpr size_t kChunk = 256;
  uint32_t positions[kChunk];
  for (size_t base = 0; base < keys.size(); base += kChunk) {
    const size_t n = std::min(kChunk, keys.size() - base);
    index_.FindMany(keys.subspan(base, n), keys_, map_.bytes(), positions);
    for (size_t j = 0; j < n; ++j) {
      if (positions[j] == KeyIndex::kNotFound) {
        found[base + j] = Found::kAbsent;
      } else {
        found[base + j] = TryReadObject(keys_.record_offset(positions[j]), &payloads[base + j])
                              ? Found::kFound
                              : Found::kDamaged;
      }
    }
  }
}

}  // namespace velk
