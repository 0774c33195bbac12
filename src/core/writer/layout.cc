// Layout of a build: which staged records go into the file, the index
// section and the header.  The data section needs no serialising:
// StagedStore keeps it serialised as objects arrive.
#include <cstring>
#include <new>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/writer/key_sort.h"
#include "core/writer/staged_store.h"

namespace velk {

std::vector<std::byte> StagedStore::SerializeIndex(std::span<const uint64_t> offsets) const {
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
      __builtin_prefetch(&offsets[ahead.obj_id]);
    }
    const writer::KeyEntry& e = entries[sorted[i].entry];
    StoreBE<uint16_t>(p, e.length);
    p += sizeof(uint16_t);
    if (e.length != 0) std::memcpy(p, arena + e.offset, e.length);
    p += e.length;
    StoreBE<uint64_t>(p, offsets[e.obj_id]);
    p += sizeof(uint64_t);
  }
  return out;
}

std::vector<bool> StagedStore::Named() const {
  std::vector<bool> named(record_offsets_.size());
  for (const writer::KeyEntry& e : keys_.entries()) named[e.obj_id] = true;
  return named;
}

uint64_t StagedStore::KeepNamed(Bytes data, std::span<const uint64_t> record_offsets, std::vector<uint64_t>* offsets,
                                std::vector<Bytes>* runs) const {
  const uint64_t objects = record_offsets.size();
  const std::vector<bool> named = Named();
  offsets->assign(objects, 0);
  runs->clear();
  uint64_t kept = 0;
  uint64_t at = kHeaderSize;  // where the next kept record goes
  for (uint64_t id = 0; id < objects; ++id) {
    if (!named[id]) continue;
    const uint64_t begin = record_offsets[id] - kHeaderSize;
    const uint64_t end = id + 1 < objects ? record_offsets[id + 1] - kHeaderSize : data.size();
    // Kept records that were staged one after another stay one run.
    const bool follows = !runs->empty() && runs->back().data() + runs->back().size() == data.data() + begin;
    if (follows) {
      runs->back() = Bytes(runs->back().data(), runs->back().size() + (end - begin));
    } else {
      runs->push_back(data.subspan(begin, end - begin));
    }
    (*offsets)[id] = at;
    at += end - begin;
    ++kept;
  }
  return kept;
}

StagedStore::Layout StagedStore::LayOut() const {
  Layout out;
  Bytes data = data_.span();
  std::span<const uint64_t> record_offsets = record_offsets_.span();
  if (options_.compress) {
    // Only what the file keeps is compressed, and trained on.
    out.compressed.emplace(writer::CompressRecords(
        data, record_offsets, options_.drop_orphans ? Named() : std::vector<bool>(), options_.compress_level));
    data = out.compressed->data.span();
    record_offsets = out.compressed->offsets.span();
  }
  uint64_t objects = record_offsets.size();
  std::vector<uint64_t> kept_offsets;
  if (options_.drop_orphans) objects = KeepNamed(data, record_offsets, &kept_offsets, &out.records);
  if (objects == record_offsets.size()) {
    // Every object stays where it was staged.
    out.records.assign({data});
    out.index = SerializeIndex(record_offsets);
  } else {
    out.index = SerializeIndex(kept_offsets);
  }

  uint64_t data_size = 0;
  uint32_t crc = 0;
  for (const Bytes run : out.records) {
    data_size += run.size();
    crc = Crc32(run, crc);
  }
  Header h;
  // AddObject and AddKey keep both counts within 32 bits.
  h.num_keys = static_cast<uint32_t>(keys_.size());
  h.num_objects = static_cast<uint32_t>(objects);
  h.index_offset = kHeaderSize + data_size;
  h.data_offset = kHeaderSize;
  h.file_crc32 = Crc32(out.index, crc);
  h.EncodeTo(out.header.data());
  out.result = BuildResult{objects, keys_.size(), h.index_offset + out.index.size(), h.file_crc32};
  return out;
}

std::vector<Bytes> StagedStore::Layout::Parts() const {
  std::vector<Bytes> parts;
  parts.reserve(records.size() + 2);
  parts.push_back(header);
  parts.insert(parts.end(), records.begin(), records.end());
  parts.push_back(index);
  return parts;
}

}  // namespace velk
