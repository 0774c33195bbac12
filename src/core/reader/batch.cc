// Batch lookups: the key index resolves a whole batch with its misses
// overlapped, then each found record is bounds-checked and read.
#include <algorithm>

#include "core/reader/store_reader.h"

namespace velk {

void StoreReader::ProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads,
                            std::vector<KeyFault>* faults, const uint64_t* hashes) const {
  if (lazy_) return LazyProbeMany(keys, found, payloads, faults, hashes);
  assert(hashes == nullptr);
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

namespace velk {

// Through the lookup index, a group of keys at a time in stages: every
// key's bucket bounds, then its slots, then its candidate entry, then its
// record are prefetched for the whole group before the next stage reads
// them, so the group's cache misses overlap instead of running one by one.
// A key whose bytes are not all checked yet goes the slow way on its own.
void StoreReader::LazyProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads,
                                std::vector<KeyFault>* faults, const uint64_t* hashes) const {
  using Quick = LazyIndex::Quick;
  const LazyIndex& x = *lazy_;
  constexpr size_t kGroup = 16;
  LazyIndex::Probe probes[kGroup];
  Quick quick[kGroup];
  uint64_t records[kGroup];
  for (size_t base = 0; base < keys.size(); base += kGroup) {
    const size_t n = std::min(kGroup, keys.size() - base);
    const std::string_view* k = keys.data() + base;
    for (size_t j = 0; j < n; ++j) {
      assert(hashes == nullptr || hashes[base + j] == x.Hash(k[j]));
      probes[j] = LazyIndex::Probe{hashes != nullptr ? hashes[base + j] : x.Hash(k[j])};
      __builtin_prefetch(x.BucketAddress(probes[j].hash));
    }
    for (size_t j = 0; j < n; ++j) quick[j] = x.QuickBucket(&probes[j]);
    for (size_t j = 0; j < n; ++j) {
      if (quick[j] == Quick::kFound) quick[j] = x.QuickCandidate(&probes[j]);
    }
    for (size_t j = 0; j < n; ++j) {
      if (quick[j] != Quick::kFound) continue;
      LazyIndex::Entry e;
      quick[j] = x.QuickEntry(probes[j].pos, &e);
      if (quick[j] != Quick::kFound) continue;
      if (SameKey(e.key, k[j])) {
        records[j] = e.record;
      } else {  // another key with the same fingerprint (rare): the rest of the bucket
        quick[j] = x.QuickFinish(k[j], &probes[j], &records[j]);
        if (quick[j] != Quick::kFound) continue;
      }
      PrefetchRecordAt(records[j]);
    }
    for (size_t j = 0; j < n; ++j) {
      if (quick[j] == Quick::kAbsent) {
        found[base + j] = Found::kAbsent;
        continue;
      }
      if (quick[j] == Quick::kFound && RecordSound(records[j], &payloads[base + j])) [[likely]] {
        found[base + j] = Found::kFound;
        continue;
      }
      // A byte not checked yet, or a damaged record: the checking path
      // answers, with the fault.
      auto got = quick[j] == Quick::kSlow ? SlowGet(k[j]) : Result<std::optional<Bytes>>(RecordFaultAt(records[j]));
      if (!got.ok()) {
        found[base + j] = Found::kDamaged;
        faults->push_back({base + j, std::move(got).error()});
      } else if (got.value()) {
        found[base + j] = Found::kFound;
        payloads[base + j] = *got.value();
      } else {
        found[base + j] = Found::kAbsent;
      }
    }
  }
}

}  // namespace velk
