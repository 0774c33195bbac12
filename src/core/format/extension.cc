#include "core/format/extension.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/format/lookup_hash.h"

namespace velk {
namespace {

// Keys per home block on average: with room for 29, a block overflows
// into the next about once in 40, and the blocks cost 64 / 20 = 3.2 bytes
// a key.
constexpr uint64_t kBlockKeys = 20;
// A run of this many blocks that each overflow into the next means keys
// that collide under the seed (by chance or by choice of the keys): the
// next seed is tried, a few times.
constexpr uint64_t kCrowdedRun = 16;
// The earlier layout's bucket directory (kept to check such files).
constexpr uint64_t kBucketKeys = 8;
constexpr uint32_t kCrowdedBucket = 128;
constexpr uint64_t kSeedTries = 8;

void PutUnsigned(std::byte* p, uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) p[i] = static_cast<std::byte>(v >> (8 * (width - 1 - i)));
}

std::string Num(uint64_t v) { return std::to_string(v); }

}  // namespace

uint64_t LoadUnsigned(const std::byte* p, unsigned width) {
  uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

uint64_t LookupHash(std::string_view key, uint64_t seed) { return InlineLookupHash(key, seed); }

// ---- directory ------------------------------------------------------------------

std::vector<std::byte> Directory::Encode() const {
  std::vector<std::byte> out(kDirectoryFixedSize + kSectionDescriptorSize * sections.size());
  std::byte* p = out.data();
  std::memcpy(p, kDirectoryMagic, sizeof kDirectoryMagic);
  StoreBE<uint16_t>(p + 4, kDirectoryVersion);
  StoreBE<uint16_t>(p + 6, static_cast<uint16_t>(sections.size()));
  StoreBE<uint32_t>(p + 8, num_keys);
  StoreBE<uint32_t>(p + 12, num_objects);
  StoreBE<uint64_t>(p + 16, index_offset);
  StoreBE<uint64_t>(p + 24, index_length);
  StoreBE<uint64_t>(p + 32, extension_start);
  p += kDirectoryFixedSize;
  for (const SectionDescriptor& s : sections) {
    StoreBE<uint16_t>(p, s.kind);
    StoreBE<uint16_t>(p + 2, s.flags);
    StoreBE<uint32_t>(p + 4, s.record_size);
    StoreBE<uint64_t>(p + 8, s.first_record);
    StoreBE<uint64_t>(p + 16, s.length);
    StoreBE<uint64_t>(p + 24, s.parameter);
    p += kSectionDescriptorSize;
  }
  return out;
}

Result<Directory> Directory::Decode(Bytes payload, uint64_t directory_record) {
  if (payload.size() < kDirectoryFixedSize || std::memcmp(payload.data(), kDirectoryMagic, 4) != 0)
    return StoreError::Corrupt("extension directory at " + Num(directory_record) + " has no directory magic");
  const std::byte* p = payload.data();
  const uint16_t version = LoadU16(p + 4);
  if (version != kDirectoryVersion)
    return StoreError::Corrupt("extension directory version " + Num(version) + " is not supported");
  const uint16_t count = LoadU16(p + 6);
  if (payload.size() != kDirectoryFixedSize + kSectionDescriptorSize * uint64_t{count})
    return StoreError::Corrupt("extension directory length does not match its " + Num(count) + " sections");
  Directory d;
  d.num_keys = LoadU32(p + 8);
  d.num_objects = LoadU32(p + 12);
  d.index_offset = LoadU64(p + 16);
  d.index_length = LoadU64(p + 24);
  d.extension_start = LoadU64(p + 32);
  if (d.extension_start < kHeaderSize || d.extension_start > directory_record)
    return StoreError::Corrupt("extension area start " + Num(d.extension_start) + " lies outside the data section");
  p += kDirectoryFixedSize;
  for (uint16_t i = 0; i < count; ++i, p += kSectionDescriptorSize) {
    SectionDescriptor s;
    s.kind = LoadU16(p);
    s.flags = LoadU16(p + 2);
    s.record_size = LoadU32(p + 4);
    s.first_record = LoadU64(p + 8);
    s.length = LoadU64(p + 16);
    s.parameter = LoadU64(p + 24);
    // Record sizes are powers of two, so that a reader finds a byte's
    // record with a shift.
    if (s.record_size < 64 || !std::has_single_bit(s.record_size) || s.first_record < d.extension_start ||
        s.first_record > directory_record || s.length > directory_record - s.first_record ||
        s.span() > directory_record - s.first_record) {
      return StoreError::Corrupt("extension section " + Num(i) + " lies outside the extension area");
    }
    d.sections.push_back(s);
  }
  return d;
}

const SectionDescriptor* Directory::Find(SectionKind kind) const {
  for (const SectionDescriptor& s : sections)
    if (s.kind == static_cast<uint16_t>(kind)) return &s;
  return nullptr;
}

Result<std::optional<uint64_t>> LocateDirectory(Bytes file, const Header& header) {
  const std::byte* p = file.data();
  const uint64_t length = LoadU32(p + kDirectoryLengthOffset);
  if ((static_cast<uint8_t>(p[kFeatureFlagsOffset]) & kFeatureExtension) == 0) {
    // No CRC covers the header: a length without the flag means one of the
    // two is damaged, and reading on would take the extension area (a
    // compression dictionary with it) for plain records.
    if (length != 0) return StoreError::Corrupt("header gives an extension directory length but no extension area");
    return std::optional<uint64_t>();
  }
  // The directory's record ends where the index section begins.
  if (header.index_offset > file.size() || header.index_offset < kHeaderSize ||
      length + kRecordHeaderSize > header.index_offset - kHeaderSize)
    return StoreError::Corrupt("extension directory does not fit before index offset " + Num(header.index_offset));
  return std::optional<uint64_t>(header.index_offset - kRecordHeaderSize - length);
}

Result<void> CheckRequiredSections(const Directory& dir) {
  for (const SectionDescriptor& s : dir.sections) {
    switch (static_cast<SectionKind>(s.kind)) {
      case SectionKind::kLookup:
      case SectionKind::kIndexCrcs:
      case SectionKind::kCompression:
        continue;
    }
    if (s.flags & kSectionRequired)
      return StoreError::Corrupt("file needs extension section " + Num(s.kind) + ", which this reader cannot read");
  }
  return {};
}

Result<std::vector<std::byte>> GatherSection(Bytes file, const SectionDescriptor& s) {
  std::vector<std::byte> out;
  uint64_t at = s.first_record;
  for (uint64_t r = 0; r < s.record_count(); ++r) {
    Bytes payload;
    const uint64_t want = std::min<uint64_t>(s.record_size, s.length - out.size());
    if (LocateRecord(file.data(), file.size(), at, &payload) != RecordFault::kNone || payload.size() != want ||
        Crc32(payload) != StoredRecordCrc(file.data(), at)) {
      return StoreError::Corrupt("extension section " + Num(s.kind) + " damaged at offset " + Num(at));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    at += kRecordHeaderSize + payload.size();
  }
  return out;
}

Result<Directory> ReadDirectory(Bytes file, const Header& header, uint64_t directory_record) {
  Bytes payload;
  if (LocateRecord(file.data(), header.index_offset, directory_record, &payload) != RecordFault::kNone ||
      directory_record + kRecordHeaderSize + payload.size() != header.index_offset)
    return StoreError::Corrupt("extension directory record at " + Num(directory_record) + " is malformed");
  if (Crc32(payload) != StoredRecordCrc(file.data(), directory_record))
    return StoreError::Corrupt("extension directory CRC32 mismatch at offset " + Num(directory_record));
  auto decoded = Directory::Decode(payload, directory_record);
  if (!decoded.ok()) return decoded;
  const Directory& d = decoded.value();
  if (d.num_keys != header.num_keys || d.num_objects != header.num_objects || d.index_offset != header.index_offset)
    return StoreError::Corrupt("header does not match the extension directory");
  if (d.index_length != file.size() - header.index_offset)
    return StoreError::Corrupt("file is " + Num(file.size()) + " bytes, the extension directory says " +
                               Num(header.index_offset + d.index_length));
  return decoded;
}

// ---- lookup section --------------------------------------------------------------

uint16_t LookupLayoutOf(Bytes header) { return header.size() < 16 ? 0 : LoadU16(header.data() + 14); }

Result<std::optional<LookupGeometry>> LookupGeometry::Decode(Bytes header, uint32_t num_keys,
                                                             const SectionDescriptor& s) {
  using Found = std::optional<LookupGeometry>;
  if (header.size() < kLookupHeaderSize) return StoreError::Corrupt("lookup section is too short");
  const uint16_t layout = LookupLayoutOf(header);
  if (layout == 0) return Found();
  LookupGeometry g;
  g.seed = LoadU64(header.data());
  g.homes = LoadU32(header.data() + 8);
  g.position_width = static_cast<uint8_t>(header[12]);
  g.fence_shift = static_cast<uint8_t>(header[13]);
  g.blocks = LoadU32(header.data() + 16);
  g.num_keys = num_keys;
  g.first_record = s.first_record;
  if (layout != kLookupLayout || s.record_size != kExtensionRecordSize || g.homes == 0 || g.blocks < g.homes ||
      g.position_width == 0 || g.position_width > 8 || g.fence_shift > 31 || g.length() != s.length)
    return StoreError::Corrupt("lookup section header does not fit its " + Num(s.length) + " bytes");
  return Found(g);
}

namespace {

// Entry positions, from the entries themselves: the writer laid them out.
std::vector<uint64_t> EntryPositions(Bytes index, uint64_t n) {
  std::vector<uint64_t> positions(n);
  uint64_t p = 0;
  for (uint64_t i = 0; i < n; ++i) {
    positions[i] = p;
    p += sizeof(uint16_t) + LoadU16(index.data() + p) + sizeof(uint64_t);
  }
  return positions;
}

std::string_view KeyAt(Bytes index, uint64_t pos) {
  const std::byte* e = index.data() + pos;
  return std::string_view(reinterpret_cast<const char*>(e + 2), LoadU16(e));
}

uint8_t PositionWidth(Bytes index) {
  return static_cast<uint8_t>(std::max<uint64_t>(1, (std::bit_width(uint64_t{index.size()}) + 7) / 8));
}

// The lookup section of the bucket-directory layout, as earlier files
// carry it: header (seed, bucket count, W, fence shift, layout 0), the
// first slot of each bucket, slots (u16 fingerprint, W-byte position) by
// bucket, fences.
std::vector<std::byte> BucketLookup(Bytes index, const std::vector<uint64_t>& positions) {
  const uint64_t n = positions.size();
  const uint32_t buckets = static_cast<uint32_t>(std::max<uint64_t>(1, (n + kBucketKeys - 1) / kBucketKeys));
  const uint8_t w = PositionWidth(index);
  const uint64_t slot_size = kFingerprintSize + w;
  const uint64_t slots_at = 16 + 4 * (uint64_t{buckets} + 1);
  const uint64_t fences_at = slots_at + slot_size * n;
  const uint64_t fences = n == 0 ? 0 : ((n - 1) >> kFenceShift) + 1;
  std::vector<uint32_t> bucket(n);
  std::vector<uint16_t> fingerprint(n);
  std::vector<uint32_t> first(uint64_t{buckets} + 1);
  uint64_t seed = 0;
  for (uint64_t attempt = 0; attempt < kSeedTries; ++attempt) {
    seed = attempt;
    std::fill(first.begin(), first.end(), 0);
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t hash = LookupHash(KeyAt(index, positions[i]), seed);
      bucket[i] = HomeOf(hash, buckets);
      fingerprint[i] = FingerprintOf(hash);
      ++first[bucket[i] + 1];
    }
    if (*std::max_element(first.begin(), first.end()) < kCrowdedBucket) break;
  }
  for (uint64_t b = 0; b < buckets; ++b) first[b + 1] += first[b];
  std::vector<std::byte> out(fences_at + w * fences, std::byte{0});
  std::byte* s = out.data();
  StoreBE<uint64_t>(s, seed);
  StoreBE<uint32_t>(s + 8, buckets);
  s[12] = static_cast<std::byte>(w);
  s[13] = static_cast<std::byte>(kFenceShift);
  for (uint64_t b = 0; b <= buckets; ++b) StoreBE<uint32_t>(s + 16 + 4 * b, first[b]);
  std::vector<uint32_t> next(first.begin(), first.end() - 1);
  for (uint64_t i = 0; i < n; ++i) {
    std::byte* slot = s + slots_at + slot_size * next[bucket[i]]++;
    StoreBE<uint16_t>(slot, fingerprint[i]);
    PutUnsigned(slot + kFingerprintSize, positions[i], w);
  }
  for (uint64_t j = 0; j < fences; ++j) PutUnsigned(s + fences_at + w * j, positions[j << kFenceShift], w);
  return out;
}

// Where each key goes: keys sorted by home block (key order within one)
// fill the blocks in turn, each block taking up to kBlockSlots keys whose
// home is it or an earlier block.
struct BlockFill {
  std::vector<uint32_t> order;  // keys (entry numbers) in slot order
  std::vector<uint32_t> base;   // per block: its first slot's index into order
  std::vector<uint8_t> meta;    // per block: count | kBlockOverflow
  uint64_t longest_run = 0;     // most blocks in a row that overflow
};

BlockFill FillBlocks(const std::vector<uint32_t>& home, uint32_t homes) {
  const uint64_t n = home.size();
  BlockFill f;
  std::vector<uint32_t> start(uint64_t{homes} + 1, 0);
  for (uint32_t h : home) ++start[h + 1];
  for (uint64_t b = 0; b < homes; ++b) start[b + 1] += start[b];
  f.order.resize(n);
  std::vector<uint32_t> next(start.begin(), start.end() - 1);
  for (uint64_t i = 0; i < n; ++i) f.order[next[home[i]]++] = static_cast<uint32_t>(i);
  uint64_t placed = 0;
  uint64_t run = 0;
  for (uint64_t b = 0; placed < n || b < homes; ++b) {
    f.base.push_back(static_cast<uint32_t>(placed));
    uint64_t count = 0;
    while (placed < n && home[f.order[placed]] <= b && count < kBlockSlots) ++placed, ++count;
    const bool over = placed < n && home[f.order[placed]] <= b;
    f.meta.push_back(static_cast<uint8_t>(count | (over ? kBlockOverflow : 0)));
    run = over ? run + 1 : 0;
    f.longest_run = std::max(f.longest_run, run);
  }
  return f;
}

std::vector<std::byte> BlockLookup(Bytes index, const std::vector<uint64_t>& positions, uint64_t lookup_at) {
  const uint64_t n = positions.size();
  LookupGeometry g;
  g.num_keys = static_cast<uint32_t>(n);
  g.homes = static_cast<uint32_t>(std::max<uint64_t>(1, (n + kBlockKeys - 1) / kBlockKeys));
  g.position_width = PositionWidth(index);
  g.fence_shift = kFenceShift;
  g.first_record = lookup_at;
  std::vector<uint32_t> home(n);
  std::vector<uint16_t> fingerprint(n);
  BlockFill fill;
  for (uint64_t attempt = 0; attempt < kSeedTries; ++attempt) {
    g.seed = attempt;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t hash = LookupHash(KeyAt(index, positions[i]), g.seed);
      home[i] = HomeOf(hash, g.homes);
      fingerprint[i] = FingerprintOf(hash);
    }
    fill = FillBlocks(home, g.homes);
    if (fill.longest_run < kCrowdedRun) break;
  }
  g.blocks = static_cast<uint32_t>(fill.base.size());

  std::vector<std::byte> out(g.length(), std::byte{0});
  std::byte* s = out.data();
  StoreBE<uint64_t>(s, g.seed);
  StoreBE<uint32_t>(s + 8, g.homes);
  s[12] = static_cast<std::byte>(g.position_width);
  s[13] = static_cast<std::byte>(g.fence_shift);
  StoreBE<uint16_t>(s + 14, kLookupLayout);
  StoreBE<uint32_t>(s + 16, g.blocks);
  const unsigned w = g.position_width;
  for (uint64_t k = 0; k < n; ++k) PutUnsigned(s + g.positions_at() + w * k, positions[fill.order[k]], w);
  for (uint64_t j = 0; j < g.fence_count(); ++j)
    PutUnsigned(s + g.fences_at() + w * j, positions[j << g.fence_shift], w);
  for (uint64_t b = 0; b < g.blocks; ++b) {
    std::byte* block = s + g.BlockAt(b);
    const uint64_t count = fill.meta[b] & ~kBlockOverflow;
    for (uint64_t j = 0; j < count; ++j)
      StoreBE<uint16_t>(block + kFingerprintSize * j, fingerprint[fill.order[fill.base[b] + j]]);
    block[kBlockMeta] = static_cast<std::byte>(fill.meta[b]);
    StoreBE<uint32_t>(block + kBlockBase, fill.base[b]);
  }
  return out;
}

}  // namespace

ExtensionSections BuildExtensionSections(Bytes index, uint32_t num_keys, uint64_t lookup_at, uint16_t layout) {
  const std::vector<uint64_t> positions = EntryPositions(index, num_keys);
  ExtensionSections out;
  out.lookup = layout == 0 ? BucketLookup(index, positions) : BlockLookup(index, positions, lookup_at);
  const uint64_t blocks = (index.size() + kIndexCheckBlock - 1) / kIndexCheckBlock;
  out.index_crcs.resize(4 * blocks);
  for (uint64_t b = 0; b < blocks; ++b) {
    const uint64_t at = b * kIndexCheckBlock;
    const uint64_t len = std::min<uint64_t>(kIndexCheckBlock, index.size() - at);
    StoreBE<uint32_t>(out.index_crcs.data() + 4 * b, Crc32(index.subspan(at, len)));
  }
  return out;
}

ExtensionArea LayOutExtension(const ExtensionSections& sections, uint64_t extension_start, uint32_t num_keys,
                              uint32_t user_objects, uint64_t index_length) {
  ExtensionArea area;
  Directory d;
  d.num_keys = num_keys;
  d.index_length = index_length;
  d.extension_start = extension_start;
  auto cut = [&](const std::vector<std::byte>& bytes, SectionKind kind, uint64_t parameter, uint16_t flags = 0) {
    SectionDescriptor s;
    s.kind = static_cast<uint16_t>(kind);
    s.flags = flags;
    s.record_size = kExtensionRecordSize;
    s.first_record = extension_start + area.records.size();
    s.length = bytes.size();
    s.parameter = parameter;
    for (uint64_t at = 0; at < bytes.size(); at += kExtensionRecordSize) {
      const Bytes chunk = Bytes(bytes).subspan(at, std::min<uint64_t>(kExtensionRecordSize, bytes.size() - at));
      std::byte head[kRecordHeaderSize];
      StoreBE<uint32_t>(head, static_cast<uint32_t>(chunk.size()));
      StoreBE<uint32_t>(head + 4, Crc32(chunk));
      area.records.insert(area.records.end(), head, head + kRecordHeaderSize);
      area.records.insert(area.records.end(), chunk.begin(), chunk.end());
      ++area.record_count;
    }
    d.sections.push_back(s);
  };
  cut(sections.lookup, SectionKind::kLookup, 0);
  cut(sections.index_crcs, SectionKind::kIndexCrcs, kIndexCheckBlock);
  // A reader that cannot decompress the values must refuse the file.
  if (!sections.compression.empty()) cut(sections.compression, SectionKind::kCompression, 0, kSectionRequired);

  // The directory's own size is known before its content.
  const uint64_t directory_length = kDirectoryFixedSize + kSectionDescriptorSize * d.sections.size();
  d.num_objects = user_objects + area.record_count + 1;
  d.index_offset = extension_start + area.records.size() + kRecordHeaderSize + directory_length;
  const std::vector<std::byte> dir = d.Encode();
  std::byte head[kRecordHeaderSize];
  StoreBE<uint32_t>(head, static_cast<uint32_t>(dir.size()));
  StoreBE<uint32_t>(head + 4, Crc32(dir));
  area.records.insert(area.records.end(), head, head + kRecordHeaderSize);
  area.records.insert(area.records.end(), dir.begin(), dir.end());
  ++area.record_count;
  area.directory_length = static_cast<uint32_t>(dir.size());
  return area;
}

void MarkExtension(std::byte* header, uint32_t directory_length) {
  header[kFeatureFlagsOffset] = static_cast<std::byte>(kFeatureExtension);
  StoreBE<uint32_t>(header + kDirectoryLengthOffset, directory_length);
}

}  // namespace velk
