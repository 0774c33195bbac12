// Batch lookups: the key index resolves a whole batch with its misses
// overlapped, then each found record is bounds-checked and read.
#include <algorithm>

#include "core/reader/store_reader.h"

namespace velk {

void StoreReader::ProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads,
                            std::vector<KeyFault>* faults) const {
  if (lazy_) {
    // The bucket bounds of a key a few places ahead load while this one is
    // looked up.
    constexpr size_t kAhead = 8;
    for (size_t j = 0; j < keys.size() && j < kAhead; ++j) lazy_->Prefetch(keys[j]);
    for (size_t j = 0; j < keys.size(); ++j) {
      if (j + kAhead < keys.size()) lazy_->Prefetch(keys[j + kAhead]);
      auto got = LazyGet(keys[j]);
      if (!got.ok()) [[unlikely]] {
        found[j] = Found::kDamaged;
        faults->push_back({j, std::move(got).error()});
      } else if (got.value()) {
        found[j] = Found::kFound;
        payloads[j] = *got.value();
      } else {
        found[j] = Found::kAbsent;
      }
    }
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
      } else if (TryReadObject(keys_.record_offset(positions[j]), &payloads[base + j])) [[likely]] {
        found[base + j] = Found::kFound;
      } else {
        found[base + j] = Found::kDamaged;
        faults->push_back({base + j, RecordError(keys_.record_offset(positions[j]))});
      }
    }
  }
}

}  // namespace velk
