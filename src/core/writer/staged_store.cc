#include "core/writer/staged_store.h"

#include <string>

#include "core/format/crc32.h"
#include "core/format/endian.h"

namespace velk {

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
  data_.ReserveFor(kRecordHeaderSize + payload.size());
  record_offsets_.ReserveFor(1);
  record_offsets_.PushBack(offset);

  std::byte head[kRecordHeaderSize];
  StoreBE<uint32_t>(head, static_cast<uint32_t>(payload.size()));
  StoreBE<uint32_t>(head + sizeof(uint32_t), Crc32(payload));  // after the length
  data_.Append(head, kRecordHeaderSize);
  data_.Append(payload.data(), payload.size());
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
  // A rebinding never fails; only a new key counts against the limit.  The
  // id is below the object count, itself at most kMaxCount: it fits 32 bits.
  if (!keys_.Bind(key, static_cast<uint32_t>(obj_id), kMaxCount)) {
    return StoreError::General("key count exceeds the limit of " + std::to_string(kMaxCount));
  }
  return {};
}

}  // namespace velk
