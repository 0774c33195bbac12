// Serialisation of the index section and the header.  The data section
// needs none: StagedStore keeps it serialised as objects arrive.
#include <cstring>
#include <new>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/writer/key_sort.h"
#include "core/writer/staged_store.h"

namespace velk {

std::vector<std::byte> StagedStore::SerializeIndex() const {
  const std::vector<writer::SortedKey> sorted = writer::SortKeys(keys_);
  // The arena holds each key's bytes exactly once.
  const uint64_t total = keys_.arena_size() + kIndexEntryOverhead * keys_.size();
  if (total > SIZE_MAX) throw std::bad_alloc();
  std::vector<std::byte> out(static_cast<size_t>(total));
  std::byte* p = out.data();
  const auto entries = keys_.entries();
  const char* arena = keys_.arena();
  // In key order the entries, the key bytes and the record offsets are
  // read at random: fetch the entries well ahead, and what they point to
  // (by then in cache) a little less far.
  constexpr size_t kEntryAhead = 32;
  constexpr size_t kBytesAhead = 16;
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i + kEntryAhead < sorted.size()) __builtin_prefetch(&entries[sorted[i + kEntryAhead].entry]);
    if (i + kBytesAhead < sorted.size()) {
      const writer::KeyEntry& ahead = entries[sorted[i + kBytesAhead].entry];
      __builtin_prefetch(arena + ahead.offset);
      __builtin_prefetch(&record_offsets_[ahead.obj_id]);
    }
    const writer::KeyEntry& e = entries[sorted[i].entry];
    StoreBE<uint16_t>(p, e.length);
    p += sizeof(uint16_t);
    if (e.length != 0) std::memcpy(p, arena + e.offset, e.length);
    p += e.length;
    StoreBE<uint64_t>(p, record_offsets_[e.obj_id]);
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
  h.file_crc32 = Crc32(index, Crc32(data_.span()));
  return h;
}

}  // namespace velk
