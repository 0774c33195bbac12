#include "core/writer/staged_store.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/base/hash_seed.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace velk {

// The payload hash is seeded per store, so payloads cannot be chosen in
// advance to collide; the file does not depend on it.
StagedStore::StagedStore(WriterOptions options)
    : options_(options), payload_seed_(options.dedup ? NextTableSeed() : 0) {}

Bytes StagedStore::PayloadOf(uint64_t id) const {
  const std::byte* record = data_.data() + (record_offsets_[id] - kHeaderSize);
  return Bytes(record + kRecordHeaderSize, LoadU32(record));
}

uint64_t StagedStore::PayloadHash(Bytes payload) const {
  return options_.dedup ? XXH3_64bits_withSeed(payload.data(), payload.size(), payload_seed_) : 0;
}

Result<uint64_t> StagedStore::AddObject(Bytes payload) { return AddHashedObject(payload, PayloadHash(payload)); }

Result<void> StagedStore::CheckPayload(Bytes payload) const {
  if (payload.size() > kMaxPayloadLength) {
    return StoreError(Reason::kObjectTooLarge, "object of " + std::to_string(payload.size()) +
                               " bytes exceeds the limit of " + std::to_string(kMaxPayloadLength));
  }
  if (options_.compress && !writer::FitsCompressed(payload)) {
    return StoreError(Reason::kObjectTooLarge, "object of " + std::to_string(payload.size()) +
                               " bytes exceeds the limit of a compressed store");
  }
  return {};
}

Result<uint64_t> StagedStore::AddHashedObject(Bytes payload, uint64_t hash) {
  VELK_TRY(CheckPayload(payload));
  writer::TagTable::Spot spot;
  if (options_.dedup) {
    // A hash match is only a candidate: the bytes decide.
    const auto same_bytes = [&](uint32_t id) {
      const Bytes staged = PayloadOf(id);
      return staged.size() == payload.size() &&
             (payload.empty() || std::memcmp(staged.data(), payload.data(), payload.size()) == 0);
    };
    const uint32_t same = payloads_.Find(hash, same_bytes, &spot);
    if (same != writer::TagTable::kNone) return uint64_t{same};
  }
  if (record_offsets_.size() >= kMaxCount) {
    return StoreError(Reason::kTooMany, "object count exceeds the limit of " + std::to_string(kMaxCount));
  }

  // Every allocation happens before the first visible change, so a
  // std::bad_alloc leaves the store as it was.
  const uint64_t id = record_offsets_.size();
  const uint64_t offset = kHeaderSize + data_.size();
  data_.ReserveFor(kRecordHeaderSize + payload.size());
  record_offsets_.ReserveFor(1);
  if (options_.dedup) payloads_.ReserveOne();
  record_offsets_.PushBack(offset);
  // Ids stay below kMaxCount (2^32 - 1): every id the table holds is below
  // its kNone.
  if (options_.dedup) payloads_.Insert(hash, static_cast<uint32_t>(id), spot);

  std::byte head[kRecordHeaderSize];
  StoreBE<uint32_t>(head, static_cast<uint32_t>(payload.size()));
  StoreBE<uint32_t>(head + sizeof(uint32_t), Crc32(payload));  // after the length
  data_.Append(head, kRecordHeaderSize);
  data_.Append(payload.data(), payload.size());
  return id;
}

void StagedStore::ExpectMore(uint64_t rows) {
  // A wrong hint makes each table at most as large as kMaxAhead more
  // entries need (256 MiB of slots), and while the entries are few, the
  // pages none of them touches stay unmapped (writer::TagTable).
  constexpr uint64_t kMaxAhead = uint64_t{1} << 24;
  const uint64_t ahead = std::min(rows, kMaxAhead);
  try {
    keys_.Reserve(std::min(key_count() + ahead, kMaxCount));
    if (options_.dedup) payloads_.Reserve(std::min(object_count() + ahead, kMaxCount));
  } catch (const std::bad_alloc&) {
    // Staging grows the tables as it goes, and fails there if it must.
  }
}

StagedStore::PairHashes StagedStore::Prefetch(std::string_view key, Bytes payload) const {
  return PairHashes{.key = PrefetchKey(key), .payload = PrefetchPayload(payload)};
}

uint64_t StagedStore::PrefetchKey(std::string_view key) const {
  const uint64_t hash = keys_.Hash(key);
  keys_.Prefetch(hash);
  return hash;
}

uint64_t StagedStore::PrefetchPayload(Bytes payload) const {
  const uint64_t hash = PayloadHash(payload);
  if (options_.dedup) payloads_.Prefetch(hash);
  return hash;
}

Result<StagedStore::CheckedKey> StagedStore::CheckKey(std::string_view key) {
  if (key.size() > kMaxKeyLength) {
    return StoreError(Reason::kKeyTooLong, "key of " + std::to_string(key.size()) +
                                               " bytes exceeds the limit of " + std::to_string(kMaxKeyLength));
  }
  return CheckedKey(key);
}

Result<void> StagedStore::CheckObjectId(uint64_t obj_id) const {
  if (obj_id >= object_count()) {
    return StoreError(Reason::kBadObjectId, "obj_id " + std::to_string(obj_id) + " out of range (have " +
                                                std::to_string(object_count()) + " objects)");
  }
  return {};
}

Result<void> StagedStore::AddKey(std::string_view key, uint64_t obj_id) {
  VELK_TRY(CheckObjectId(obj_id));
  Result<CheckedKey> checked = CheckKey(key);
  if (!checked.ok()) return std::move(checked).error();
  return Bind(checked.value(), keys_.Hash(key), obj_id);
}

Result<void> StagedStore::AddKey(CheckedKey key, uint64_t obj_id) {
  VELK_TRY(CheckObjectId(obj_id));
  return Bind(key, keys_.Hash(key.view()), obj_id);
}

Result<void> StagedStore::AddPair(CheckedKey key, Bytes payload, const PairHashes& hashes) {
  Result<uint64_t> id = AddHashedObject(payload, hashes.payload);
  if (!id.ok()) return std::move(id).error();
  return Bind(key, hashes.key, id.value());  // an id just returned is in range
}

Result<void> StagedStore::Bind(CheckedKey key, uint64_t hash, uint64_t obj_id) {
  // A rebinding never fails; only a new key counts against the limit.  The
  // id is below the object count, itself at most kMaxCount: it fits 32 bits.
  if (!keys_.Bind(key.view(), hash, static_cast<uint32_t>(obj_id), kMaxCount)) {
    return StoreError(Reason::kTooMany, "key count exceeds the limit of " + std::to_string(kMaxCount));
  }
  return {};
}

}  // namespace velk
