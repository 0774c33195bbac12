// Lookups and scans.  Objects are read from the mapping on demand; every
// record is bounds-checked against the file length before use.
#include <algorithm>
#include <string>
#include <utility>

#include "core/reader/offset_map.h"
#include "core/reader/store_reader.h"

namespace velk {

StoreError StoreReader::RecordError(uint64_t offset) const {
  Bytes unused;
  if (LocateRecord(map_.bytes().data(), records_end_, offset, &unused) == RecordFault::kOffset)
    return StoreError(Reason::kOutOfBounds, "offset " + std::to_string(offset) + " out of bounds");
  return StoreError(Reason::kOutOfBounds, "object at " + std::to_string(offset) + " extends beyond file end");
}

void StoreReader::PrefetchRecord(size_t i) const {
  if (i >= keys_.size()) return;
  const uint64_t offset = keys_.record_offset(i);
  if (offset < map_.size()) __builtin_prefetch(map_.bytes().data() + offset);
}

bool StoreReader::Exists(std::string_view key) const {
  if (lazy_) {
    auto found = Contains(key);
    return found.ok() && found.value();
  }
  return index_.Find(key, keys_) != KeyIndex::kNotFound;
}

size_t StoreReader::LowerBound(std::string_view key) const {
  size_t lo = 0;
  size_t hi = keys_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (KeyLess(keys_.key(mid), key)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

Result<std::vector<Bytes>> StoreReader::Objects() const {
  // Records are read in key order, which need not be file order: the loop
  // starts loading the record kScanLookahead entries ahead.
  std::vector<Bytes> out;
  const size_t n = keys_.size();
  OffsetMap seen(std::min<size_t>(n, num_objects_));
  for (size_t i = 0; i < n; ++i) {
    if (i + kScanLookahead < n) {
      PrefetchRecord(i + kScanLookahead);
      seen.Prefetch(keys_.record_offset(i + kScanLookahead));
    }
    if (!seen.FindOrInsert(keys_.record_offset(i), static_cast<uint32_t>(i)).second) continue;
    auto payload = ReadObject(keys_.record_offset(i));
    if (!payload.ok()) return std::move(payload).error();
    out.push_back(payload.value());
  }
  return out;
}

}  // namespace velk
