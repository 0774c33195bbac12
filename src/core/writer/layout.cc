// Serialisation of the index section and the header.  The data section
// needs none: StagedStore keeps it serialised as objects arrive.
#include <algorithm>
#include <cstring>
#include <new>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/writer/staged_store.h"

namespace velk {

std::vector<std::byte> StagedStore::SerializeIndex() const {
  // Sort pointers to the map's entries; the keys themselves are not copied.
  using Entry = decltype(keys_)::value_type;
  std::vector<const Entry*> entries;
  entries.reserve(keys_.size());
  uint64_t total = 0;
  for (const Entry& e : keys_) {
    entries.push_back(&e);
    total += kIndexEntryOverhead + e.first.size();
  }
  // Keys are unique, so the order is total and the output deterministic.
  std::sort(entries.begin(), entries.end(),
            [](const Entry* a, const Entry* b) { return KeyLess(a->first, b->first); });

  if (total > SIZE_MAX) throw std::bad_alloc();
  std::vector<std::byte> out(static_cast<size_t>(total));
  std::byte* p = out.data();
  for (const Entry* e : entries) {
    const std::string& key = e->first;
    StoreBE<uint16_t>(p, static_cast<uint16_t>(key.size()));  // AddKey bounds it
    p += sizeof(uint16_t);
    if (!key.empty()) std::memcpy(p, key.data(), key.size());
    p += key.size();
    StoreBE<uint64_t>(p, record_offsets_[e->second]);
    p += sizeof(uint64_t);
  }
  return out;
}

Header StagedStore::MakeHeader(Bytes index) const {
  Header h;
  // AddObject and AddKey keep both counts within 32 bits.
  h.num_keys = static_cast<uint32_t>(keys_.size());
  h.num_objects = static_cast<uint32_t>(record_offsets_.size());
  h.index_offset = kHeaderSize + data_.size();
  h.data_offset = kHeaderSize;
  h.file_crc32 = Crc32(index, Crc32(data_));
  return h;
}

}  // namespace velk
