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

// Through the lookup index, in stages over a group of keys at a time:
// every key's home block, then its candidate's position, then its entry are
// prefetched for the whole group before the next stage reads them, so the
// group's cache misses overlap instead of running one by one.  Then the
// records of a whole chunk are loaded in a loop of plain loads and only
// then checked against their CRCs: a CRC takes a few hundred instructions,
// so a loop that loaded and checked each record in turn would have only
// two or three records' loads in flight at a time, and a prefetch made
// earlier may be dropped when many are outstanding.  A key whose bytes are
// not all checked yet goes the slow way on its own.
void StoreReader::LazyProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads,
                                std::vector<KeyFault>* faults, const uint64_t* hashes) const {
  using Quick = LazyIndex::Quick;
  const LazyIndex& x = *lazy_;
  constexpr size_t kGroup = 64;
  constexpr size_t kChunk = 256;
  LazyIndex::Probe probes[kGroup];
  Quick quick[kChunk];
  uint64_t records[kChunk];
  for (size_t chunk = 0; chunk < keys.size(); chunk += kChunk) {
    const size_t chunk_n = std::min(kChunk, keys.size() - chunk);
    for (size_t group = 0; group < chunk_n; group += kGroup) {
      const size_t base = chunk + group;
      const size_t n = std::min(kGroup, chunk_n - group);
      const std::string_view* k = keys.data() + base;
      Quick* q = quick + group;
      uint64_t* rec = records + group;
      for (size_t j = 0; j < n; ++j) {
        assert(hashes == nullptr || hashes[base + j] == x.Hash(k[j]));
        probes[j] = x.Start(hashes != nullptr ? hashes[base + j] : x.Hash(k[j]));
        __builtin_prefetch(x.BlockAddress(probes[j].block));
      }
      for (size_t j = 0; j < n; ++j) q[j] = x.QuickBlock(&probes[j]);
      for (size_t j = 0; j < n; ++j) {
        if (q[j] == Quick::kFound) q[j] = x.QuickCandidate(&probes[j]);
      }
      for (size_t j = 0; j < n; ++j) {
        if (q[j] != Quick::kFound) continue;
        LazyIndex::Entry e;
        q[j] = x.QuickEntry(probes[j].pos, &e);
        if (q[j] != Quick::kFound) continue;
        if (SameKey(e.key, k[j])) {
          rec[j] = e.record;
        } else {  // another key with the same fingerprint (rare): the rest of the block
          q[j] = x.QuickFinish(k[j], &probes[j], &rec[j]);
          if (q[j] != Quick::kFound) continue;
        }
      }
    }
    for (size_t j = 0; j < chunk_n; ++j) {
      if (quick[j] == Quick::kFound) LoadRecordLines(records[j]);
    }
    for (size_t j = 0; j < chunk_n; ++j) {
      const size_t at = chunk + j;
      if (quick[j] == Quick::kAbsent) {
        found[at] = Found::kAbsent;
        continue;
      }
      if (quick[j] == Quick::kFound && RecordSound(records[j], &payloads[at])) [[likely]] {
        found[at] = Found::kFound;
        continue;
      }
      // A byte not checked yet, or a damaged record: the checking path
      // answers, with the fault.
      auto got = quick[j] == Quick::kSlow ? SlowGet(keys[at]) : Result<std::optional<Bytes>>(RecordFaultAt(records[j]));
      if (!got.ok()) {
        found[at] = Found::kDamaged;
        faults->push_back({at, std::move(got).error()});
      } else if (got.value()) {
        found[at] = Found::kFound;
        payloads[at] = *got.value();
      } else {
        found[at] = Found::kAbsent;
      }
    }
  }
}

}  // namespace velk
