// Layout of a build: which staged records go into the file, the index
// section and the header.  The data section needs no serialising:
// StagedStore keeps it serialised as objects arrive.
#include <cassert>
#include <cstring>
#include <new>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/format/extension.h"
#include "core/writer/key_sort.h"
#include "core/writer/staged_store.h"

namespace velk {

std::vector<std::byte> StagedStore::SerializeIndex() const {
  return SerializeIndex(writer::SortKeys(keys_), record_offsets_.span());
}

std::vector<std::byte> StagedStore::SerializeIndex(const std::vector<writer::SortedKey>& sorted,
                                                   std::span<const uint64_t> offsets) const {
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

namespace {

// The length of object id's record, from the offsets alone: staged records,
// and the compressed ones made from them, lie one after another in id
// order, each up to the next one's start.  (Reading each record's own head
// instead would touch every record's memory once more.)
template <typename Records>  // StagedStore::Records
uint64_t RecordLength(const Records& recs, uint64_t id) {
  const uint64_t end = id + 1 < recs.offsets.size() ? recs.offsets[id + 1] : kHeaderSize + recs.data.size();
  assert(end - recs.offsets[id] == kRecordHeaderSize + recs.PayloadOf(id).size());
  return end - recs.offsets[id];
}

}  // namespace

Bytes StagedStore::Records::PayloadOf(uint64_t id) const {
  const std::byte* record = data.data() + (offsets[id] - kHeaderSize);
  return Bytes(record + kRecordHeaderSize, LoadU32(record));
}

void StagedStore::AppendRun(const Records& recs, uint64_t id, std::vector<Bytes>* runs) {
  const uint64_t begin = recs.offsets[id] - kHeaderSize;
  const uint64_t size = RecordLength(recs, id);
  // Records that were staged one after another stay one run.
  if (!runs->empty() && runs->back().data() + runs->back().size() == recs.data.data() + begin) {
    runs->back() = Bytes(runs->back().data(), runs->back().size() + size);
  } else {
    runs->push_back(recs.data.subspan(begin, size));
  }
}

uint64_t StagedStore::KeyOrder(const Records& recs, const std::vector<writer::SortedKey>& sorted,
                               std::vector<uint64_t>* offsets, std::vector<Bytes>* runs) const {
  const uint64_t objects = recs.offsets.size();
  constexpr uint64_t kUnplaced = 0;  // no record lies inside the header
  offsets->assign(objects, kUnplaced);
  runs->clear();
  uint64_t at = kHeaderSize;
  uint64_t kept = 0;
  auto place = [&](uint64_t id) {
    (*offsets)[id] = at;
    at += RecordLength(recs, id);
    AppendRun(recs, id, runs);
    ++kept;
  };
  const auto entries = keys_.entries();
  // In key order the entries and the offsets are read at random, as in
  // SerializeIndex: the entries fetched well ahead, the offsets less far.
  constexpr size_t kEntryAhead = 32;
  constexpr size_t kOffsetAhead = 16;
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i + kEntryAhead < sorted.size()) __builtin_prefetch(&entries[sorted[i + kEntryAhead].entry]);
    if (i + kOffsetAhead < sorted.size()) {
      const uint64_t ahead = entries[sorted[i + kOffsetAhead].entry].obj_id;
      __builtin_prefetch(&(*offsets)[ahead]);
      __builtin_prefetch(&recs.offsets[ahead]);
    }
    const uint64_t id = entries[sorted[i].entry].obj_id;
    if ((*offsets)[id] == kUnplaced) place(id);
  }
  if (!options_.drop_orphans) {
    for (uint64_t id = 0; id < objects; ++id)
      if ((*offsets)[id] == kUnplaced) place(id);
  }
  return kept;
}

std::vector<bool> StagedStore::Named() const {
  std::vector<bool> named(record_offsets_.size());
  for (const writer::KeyEntry& e : keys_.entries()) named[e.obj_id] = true;
  return named;
}

uint64_t StagedStore::KeepNamed(const Records& recs, std::vector<uint64_t>* offsets, std::vector<Bytes>* runs) const {
  const uint64_t objects = recs.offsets.size();
  const std::vector<bool> named = Named();
  offsets->assign(objects, 0);
  runs->clear();
  uint64_t kept = 0;
  uint64_t at = kHeaderSize;  // where the next kept record goes
  for (uint64_t id = 0; id < objects; ++id) {
    if (!named[id]) continue;
    (*offsets)[id] = at;
    at += RecordLength(recs, id);
    AppendRun(recs, id, runs);
    ++kept;
  }
  return kept;
}

StagedStore::Layout StagedStore::LayOut() const {
  Layout out;
  Records recs{data_.span(), record_offsets_.span()};
  // A compressed file says so in its extension area: without one, values
  // are stored as given.  (Past half the object count limit the extension's
  // records might not fit beside the objects, and the file would go without
  // it: such a store is not compressed.)
  if (options_.compress && options_.index && recs.offsets.size() <= kMaxCount / 2) {
    // Only what the file keeps is compressed, and trained on.
    out.compressed.emplace(writer::CompressRecords(
        recs.data, recs.offsets, options_.drop_orphans ? Named() : std::vector<bool>(), options_.compress_level));
    if (!out.compressed->as_staged) recs = Records{out.compressed->data.span(), out.compressed->offsets.span()};
  }
  std::vector<writer::SortedKey> sorted = writer::SortKeys(keys_);
  uint64_t objects = recs.offsets.size();
  std::vector<uint64_t> kept_offsets;
  if (options_.key_order) {
    objects = KeyOrder(recs, sorted, &kept_offsets, &out.records);
    out.index = SerializeIndex(sorted, kept_offsets);
  } else {
    if (options_.drop_orphans) objects = KeepNamed(recs, &kept_offsets, &out.records);
    if (objects == recs.offsets.size()) {
      // Every object stays where it was staged.
      out.records.assign({recs.data});
      out.index = SerializeIndex(sorted, recs.offsets);
    } else {
      out.index = SerializeIndex(sorted, kept_offsets);
    }
  }
  std::vector<writer::SortedKey>().swap(sorted);  // before the extension's own working memory

  uint64_t data_size = 0;
  uint32_t crc = 0;
  for (size_t i = 0; i < out.records.size(); ++i) {
    if (i + writer::kPartsAhead < out.records.size()) writer::PrefetchPart(out.records[i + writer::kPartsAhead]);
    data_size += out.records[i].size();
    crc = Crc32(out.records[i], crc);
  }
  // AddObject and AddKey keep both counts within 32 bits.
  const auto num_keys = static_cast<uint32_t>(keys_.size());
  uint32_t directory_length = 0;
  const uint64_t user_objects = objects;
  if (options_.index) {
    ExtensionSections sections = BuildExtensionSections(out.index, num_keys, kHeaderSize + data_size);
    if (out.compressed) sections.compression = std::move(out.compressed->section);
    const ExtensionArea area = LayOutExtension(sections, kHeaderSize + data_size, num_keys,
                                               static_cast<uint32_t>(objects), out.index.size());
    // The extension's records count as objects of the file; past the
    // count's limit the file goes without them.
    if (objects + area.record_count <= kMaxCount) {
      out.extension = area.records;
      objects += area.record_count;
      directory_length = area.directory_length;
      data_size += out.extension.size();
      crc = Crc32(out.extension, crc);
    }
  }
  Header h;
  h.num_keys = num_keys;
  h.num_objects = static_cast<uint32_t>(objects);
  h.index_offset = kHeaderSize + data_size;
  h.data_offset = kHeaderSize;
  h.file_crc32 = Crc32(out.index, crc);
  h.EncodeTo(out.header.data());
  if (directory_length != 0) MarkExtension(out.header.data(), directory_length);
  out.result = BuildResult{user_objects, keys_.size(), h.index_offset + out.index.size(), h.file_crc32};
  return out;
}

std::vector<Bytes> StagedStore::Layout::Parts() const {
  std::vector<Bytes> parts;
  parts.reserve(records.size() + 3);
  parts.push_back(header);
  parts.insert(parts.end(), records.begin(), records.end());
  if (!extension.empty()) parts.push_back(extension);
  parts.push_back(index);
  return parts;
}

}  // namespace velk
