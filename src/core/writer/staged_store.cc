#include "core/writer/staged_store.h"

#include <algorithm>
#include <new>
#include <string>

#include "core/format/crc32.h"
#include "core/format/endian.h"

namespace velk {

namespace {

// Makes room for `extra` more bytes at the end of v, growing geometrically
// so that staging many objects costs amortised linear copying.  Afterwards
// appending `extra` bytes cannot allocate, so cannot fail.
void ReserveFor(std::vector<std::byte>& v, uint64_t extra) {
  if (extra > v.max_size() - v.size()) throw std::bad_alloc();
  const size_t need = v.size() + static_cast<size_t>(extra);
  if (need <= v.capacity()) return;
  const size_t doubled = v.capacity() <= v.max_size() / 2 ? v.capacity() * 2 : v.max_size();
  v.reserve(std::max(need, doubled));
}

}  // namespace

Result<uint64_t> StagedStore::AddObject(Bytes payload) {
  if (payload.size() > kMaxPayloadLength) {
    return StoreError::General("object of " + std::to_string(payload.size()) +
                               " bytes exceeds the limit of " + std::to_string(kMaxPayloadLength));
  }
  if (record_offsets_.size() >= kMaxCount) {
    return StoreError::General("object count exceeds the limit of " + std::to_string(kMaxCount));
  }

  // Every allocation happens before the first visible change, so a
  // std::bad_alloc leaves the store as it was.
  const uint64_t id = record_offsets_.size();
  const uint64_t offset = kHeaderSize + data_.size();
  ReserveFor(data_, kRecordHeaderSize + payload.size());
  record_offsets_.push_back(offset);

  std::byte head[kRecordHeaderSize];
  StoreBE<uint32_t>(head, static_cast<uint32_t>(payload.size()));
  StoreBE<uint32_t>(head + sizeof(uint32_t), Crc32(payload));  // after the length
  data_.insert(data_.end(), head, head + kRecordHeaderSize);
  data_.insert(data_.end(), payload.begin(), payload.end());
  return id;
}

Result<void> StagedStore::AddKey(std::string_view key, uint64_t obj_id) {
  if (obj_id >= object_count()) {
    return StoreError::General("obj_id " + std::to_string(obj_id) + " out of range (have " +
                               std::to_string(object_count()) + " objects)");
  }
  if (key.size() > kMaxKeyLength) {
    return StoreError::General("key of " + std::to_string(key.size()) +
                               " bytes exceeds the limit of " + std::to_string(kMaxKeyLength));
  }
  if (auto it = keys_.find(key); it != keys_.end()) {
    it->second = obj_id;  // rebinding: the last binding wins
    return {};
  }
  if (keys_.size() >= kMaxCount) {
    return StoreError::General("key count exceeds the limit of " + std::to_string(kMaxCount));
  }
  keys_.emplace(std::string(key), obj_id);
  return {};
}

}  // namespace velk
