// Lookups and scans.  Objects are read from the mapping on demand; every
// record is bounds-checked against the file length before use.
#include <string>
#include <utility>

#include "core/reader/offset_map.h"
#include "core/reader/store_reader.h"

namespace velk {

StoreError StoreReader::OffsetOutOfBounds(uint64_t offset) {
  return StoreError::Corrupt("offset " + std::to_string(offset) + " out of bounds");
}

StoreError StoreReader::ObjectBeyondEnd(uint64_t offset) {
  return StoreError::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
}

bool StoreReader::Exists(std::string_view key) const {
  return index_.Find(key, keys_) != KeyIndex::kNotFound;
}

Result<std::vector<ScanEntry>> StoreReader::Prefix(std::string_view prefix) const {
  // Lower bound: the first key not less than prefix.  The key list is in
  // ascending order, so every key starting with prefix follows it directly.
  size_t lo = 0;
  size_t hi = keys_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (KeyLess(keys_.key(mid), prefix)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  std::vector<ScanEntry> out;
  for (size_t i = lo; i < keys_.size() && keys_.key(i).starts_with(prefix); ++i) {
    auto payload = ReadObject(offsets_[i]);
    if (!payload.ok()) return std::move(payload).error();
    out.push_back({i, payload.value()});
  }
  return out;
}

Result<std::vector<ScanEntry>> StoreReader::Items() const {
  std::vector<ScanEntry> out;
  out.reserve(offsets_.size());
  // Offset -> first entry that read it, so a record shared by many keys is
  // bounds-checked once.
  OffsetMap seen;
  for (size_t i = 0; i < offsets_.size(); ++i) {
    const auto [first, fresh] = seen.FindOrInsert(offsets_[i], static_cast<uint32_t>(out.size()));
    if (!fresh) {
      out.push_back({i, out[first].payload});
      continue;
    }
    auto payload = ReadObject(offsets_[i]);
    if (!payload.ok()) return std::move(payload).error();
    out.push_back({i, payload.value()});
  }
  return out;
}

Result<std::vector<Bytes>> StoreReader::Objects() const {
  std::vector<Bytes> out;
  OffsetMap seen;
  for (size_t i = 0; i < offsets_.size(); ++i) {
    if (!seen.FindOrInsert(offsets_[i], static_cast<uint32_t>(i)).second) continue;
    auto payload = ReadObject(offsets_[i]);
    if (!payload.ok()) return std::move(payload).error();
    out.push_back(payload.value());
  }
  return out;
}

}  // namespace velk
