#include "native/dedup.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>
#include <random>

#include "core/format/endian.h"

namespace velk::native {

void Dedup::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, 0});
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.id_plus_one == 0) continue;
    size_t pos = s.hash & mask;
    while (slots_[pos].id_plus_one != 0) pos = (pos + 1) & mask;
    slots_[pos] = s;
  }
}

Result<uint64_t> Dedup::Stage(StagedStore& store, Bytes payload) {
  if (slots_.empty()) {
    // Seeded per writer, so payloads chosen to collide cannot be prepared.
    seed_ = std::random_device{}();
    seed_ = (seed_ << 32) ^ std::random_device{}();
  }
  if (2 * (used_ + 1) > slots_.size()) Grow();
  const uint64_t h = XXH3_64bits_withSeed(payload.data(), payload.size(), seed_);
  const size_t mask = slots_.size() - 1;
  size_t pos = h & mask;
  const Bytes data = store.data_section();
  for (; slots_[pos].id_plus_one != 0; pos = (pos + 1) & mask) {
    if (slots_[pos].hash != h) continue;
    const uint64_t id = slots_[pos].id_plus_one - 1;
    const std::byte* record = data.data() + record_at_[id];
    if (LoadU32(record) == payload.size() &&
        std::memcmp(record + kRecordHeaderSize, payload.data(), payload.size()) == 0) {
      return id;
    }
  }
  const uint64_t at = data.size();
  record_at_.reserve(record_at_.size() + 1);
  auto id = store.AddObject(payload);
  if (!id.ok()) return id;
  record_at_.push_back(at);
  slots_[pos] = Slot{h, static_cast<uint32_t>(id.value() + 1)};
  ++used_;
  return id;
}

}  // namespace velk::native
