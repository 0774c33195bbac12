// Lookups and scans.  Objects are read from the mapping on demand; every
// record is bounds-checked against the file length before use.
#include <string>
#include <utility>

#include "core/format/endian.h"
#include "core/reader/offset_map.h"
#include "core/reader/store_reader.h"

namespace velk {

Result<Bytes> StoreReader::ReadObject(uint64_t offset) const {
  const uint64_t size = map_.size();
  if (offset > size || kRecordHeaderSize > size - offset)
    return StoreError::Corrupt("offset " + std::to_string(offset) + " out of bounds");
  const std::byte* record = map_.bytes().data() + offset;
  const uint64_t length = LoadU32(record);
  if (length > size - offset - kRecordHeaderSize)
    return StoreError::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
  return Bytes(record + kRecordHeaderSize, static_cast<size_t>(length));
}

Result<std::optional<Bytes>> StoreReader::Get(std::string_view key) const {
  const uint32_t i = index_.Find(key, keys_);
  if (i == KeyIndex::kNotFound) return std::optional<Bytes>();
  auto payload = ReadObject(offsets_[i]);
  if (!payload.ok()) return std::move(payload).error();
  return std::optional<Bytes>(payload.value());
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
