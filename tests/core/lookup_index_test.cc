// Files that carry their lookup index: what the writer lays out, what the
// reader answers through it, and that a damaged byte never gives a wrong
// answer.
#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/format/extension.h"
#include "core/reader/store_reader.h"
#include "core/reindex/reindex.h"
#include "core/writer/staged_store.h"
#include "store_bytes.h"

namespace velk {
namespace {

using testfiles::TempDir;

constexpr WriterOptions kIndexed{.dedup = true, .drop_orphans = true, .key_order = true, .index = true};

// Keys bound in shuffled order, a few sharing one payload, one object orphaned.
std::map<std::string, std::string> Content(int n) {
  std::map<std::string, std::string> m;
  for (int i = 0; i < n; ++i) {
    const int k = (i * 7919) % n;
    m["user:" + std::to_string(k)] = k % 5 == 0 ? "shared" : "value-" + std::to_string(k * k);
  }
  m[""] = "empty key";
  m[std::string("\xff\x00z", 3)] = "binary key";
  return m;
}

std::string BuildFile(const TempDir& dir, const std::map<std::string, std::string>& content,
                      WriterOptions options = kIndexed) {
  StagedStore s(options);
  // Staged in an order unlike the key order, so key order of the records
  // is the writer's doing.
  for (auto it = content.rbegin(); it != content.rend(); ++it) {
    auto id = s.AddObject(AsBytes(it->second));
    EXPECT_TRUE(id.ok());
    EXPECT_TRUE(s.AddKey(it->first, id.value()).ok());
  }
  const auto orphan = s.AddObject(AsBytes("nobody names me"));
  EXPECT_TRUE(orphan.ok());
  const std::string path = dir.Path("store.vlks");
  EXPECT_TRUE(s.Build(path).ok());
  return path;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The whole content read back through a reader, by lookup and by scan.
// The lookup section of a built file, and where a byte of it lies.
struct LookupAt {
  SectionDescriptor s;
  LookupGeometry g;
  uint64_t Byte(uint64_t at) const {
    return s.first_record + (at / s.record_size) * (kRecordHeaderSize + s.record_size) + kRecordHeaderSize +
           at % s.record_size;
  }
};

LookupAt FindLookup(const std::string& bytes) {
  const Bytes file = AsBytes(bytes);
  const uint64_t dir_len = LoadU32(file.data() + kDirectoryLengthOffset);
  const uint64_t dir_at = LoadU64(file.data() + kIndexOffsetOffset) - 8 - dir_len;
  const Directory d = Directory::Decode(file.subspan(dir_at + 8, dir_len), dir_at).value();
  LookupAt l{*d.Find(SectionKind::kLookup), {}};
  l.g = *LookupGeometry::Decode(file.subspan(l.s.first_record + 8, kLookupHeaderSize),
                                LoadU32(file.data() + kNumKeysOffset), l.s)
             .value();
  return l;
}

// Every record CRC of section s, and the whole-file CRC, made to fit.
void FixCrcs(std::string& bytes, const SectionDescriptor& s) {
  auto* p = reinterpret_cast<std::byte*>(bytes.data());
  for (uint64_t r = 0; r < s.record_count(); ++r) {
    const uint64_t at = s.first_record + r * (kRecordHeaderSize + s.record_size);
    const uint64_t len = std::min<uint64_t>(s.record_size, s.length - r * s.record_size);
    StoreBE<uint32_t>(p + at + 4, testfiles::CrcOf(std::string_view(bytes).substr(at + 8, len)));
  }
  StoreBE<uint32_t>(p + kFileCrcOffset, testfiles::CrcOf(std::string_view(bytes).substr(kHeaderSize)));
}

void ExpectContent(const StoreReader& r, const std::map<std::string, std::string>& content) {
  for (const auto& [k, v] : content) {
    auto got = r.Get(k);
    ASSERT_TRUE(got.ok()) << got.error().detail();
    ASSERT_TRUE(got.value().has_value()) << k;
    EXPECT_EQ(testfiles::AsString(*got.value()), v);
    EXPECT_TRUE(r.Contains(k).value());
  }
  for (const std::string& absent :
       std::vector<std::string>{"user:", "user:-1", "zzz", "user:99999999", std::string("\xff", 1)}) {
    auto got = r.Get(absent);
    ASSERT_TRUE(got.ok());
    EXPECT_FALSE(got.value().has_value()) << absent;
  }
  // A scan from every starting key gives the rest in order.
  ASSERT_EQ(r.entry_count(), content.size());
  auto it = content.begin();
  auto cursor = r.CursorAt(0).value();
  uint64_t last_record = 0;
  for (size_t i = 0; i < content.size(); ++i, ++it) {
    auto item = r.Next(&cursor);
    ASSERT_TRUE(item.ok());
    EXPECT_EQ(item.value().key, it->first);
    EXPECT_EQ(testfiles::AsString(r.ReadChecked(item.value().record).value()), it->second);
    // Records follow the key order (a shared payload once, at its first key).
    if (item.value().record > last_record) last_record = item.value().record;
    EXPECT_LE(item.value().record, last_record);
    EXPECT_EQ(r.Seek(it->first).value(), i);
    EXPECT_EQ(r.CursorAt(i).value().pos, r.CursorAt(i).value().pos);
  }
  EXPECT_EQ(r.Seek("user:5").value(), static_cast<size_t>(std::distance(content.begin(), content.lower_bound("user:5"))));
  EXPECT_EQ(r.Seek("\xff\xff").value(), content.size());
}

TEST(LookupIndex, BothReadersGiveTheContentOfAnIndexedFile) {
  TempDir dir;
  for (int n : {0, 1, 7, 300, 5000}) {
    SCOPED_TRACE(n);
    const auto content = Content(n);
    const std::string path = BuildFile(dir, content);

    auto lazy = StoreReader::OpenIndexed(path, OpenCheck::kUnlessIndexed);
    ASSERT_TRUE(lazy.ok()) << lazy.error().detail();
    EXPECT_TRUE(lazy.value().indexed());
    ExpectContent(lazy.value(), content);
    EXPECT_TRUE(lazy.value().Verify().ok());

    // The base layout's reader, whole-file CRC and all, sees the same file.
    auto plain = StoreReader::Open(path, true);
    ASSERT_TRUE(plain.ok()) << plain.error().detail();
    EXPECT_FALSE(plain.value().indexed());
    ExpectContent(plain.value(), content);
    auto verified = plain.value().Verify();
    EXPECT_TRUE(verified.ok()) << verified.error().detail();
    // The extension records are objects of the file; the orphan is gone.
    EXPECT_EQ(plain.value().num_objects(),
              lazy.value().num_objects());
    EXPECT_GT(lazy.value().extension_records(), 0u);
  }
}

TEST(LookupIndex, FileWithoutTheIndexOpensThroughTheFallback) {
  TempDir dir;
  const auto content = Content(50);
  const std::string path = BuildFile(dir, content, WriterOptions{});
  for (OpenCheck check : {OpenCheck::kUnlessIndexed, OpenCheck::kNone, OpenCheck::kWholeFile}) {
    auto r = StoreReader::OpenIndexed(path, check);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.value().indexed());
    ExpectContent(r.value(), content);
  }
  // Without the index, the default open still rests on the whole-file CRC.
  std::string bytes = Slurp(path);
  bytes[kHeaderSize + 9] ^= 1;
  const std::string damaged = dir.Write("damaged.vlks", bytes);
  EXPECT_FALSE(StoreReader::OpenIndexed(damaged, OpenCheck::kUnlessIndexed).ok());
  EXPECT_TRUE(StoreReader::OpenIndexed(damaged, OpenCheck::kNone).ok());
}

// Bytes of an indexed file flipped in turn (every stride-th byte, each
// with two masks): the default open either fails, or every key gives its
// value or an error, and every absent key is absent or an error.  Never a
// wrong value, never a false absence.
void FlipEachByte(const TempDir& dir, const std::map<std::string, std::string>& content,
                    const std::vector<std::string>& absent, size_t stride) {
  const std::string good = Slurp(BuildFile(dir, content));
  size_t opened = 0;
  for (size_t at = 0; at < good.size(); at += stride) {
    for (unsigned char mask : {0x01, 0x80}) {
      if (::testing::Test::HasFailure()) return;
      std::string bytes = good;
      bytes[at] = static_cast<char>(bytes[at] ^ mask);
      const std::string path = dir.Write("flip.vlks", bytes);
      auto r = StoreReader::OpenIndexed(path, OpenCheck::kUnlessIndexed);
      if (!r.ok()) continue;
      ++opened;
      // A batch first, on the fresh reader: its first keys read unchecked
      // bytes, its later ones bytes the first have checked.
      std::vector<std::string_view> batch;
      for (const auto& [k, v] : content) batch.push_back(k);
      for (const std::string& k : absent) batch.push_back(k);
      std::vector<StoreReader::Found> found(batch.size());
      std::vector<Bytes> payloads(batch.size());
      std::vector<StoreReader::KeyFault> faults;
      r.value().ProbeMany(batch, found.data(), payloads.data(), &faults);
      // One fault per damaged key, in batch order.
      size_t next_fault = 0;
      for (size_t j = 0; j < batch.size(); ++j) {
        if (found[j] != StoreReader::Found::kDamaged) continue;
        ASSERT_LT(next_fault, faults.size()) << "byte " << at;
        EXPECT_EQ(faults[next_fault++].key, j) << "byte " << at;
      }
      EXPECT_EQ(next_fault, faults.size()) << "byte " << at;
      for (size_t j = 0; j < batch.size(); ++j) {
        const auto want = content.find(std::string(batch[j]));
        if (found[j] == StoreReader::Found::kDamaged) continue;
        EXPECT_EQ(found[j] == StoreReader::Found::kFound, want != content.end()) << batch[j] << " byte " << at;
        if (want != content.end()) {
          EXPECT_EQ(testfiles::AsString(payloads[j]), want->second) << "byte " << at;
        }
      }
      for (const auto& [k, v] : content) {
        auto got = r.value().Get(k);
        if (!got.ok()) continue;
        EXPECT_TRUE(got.value().has_value()) << "false absent for " << k << " with byte " << at << " flipped";
        EXPECT_EQ(testfiles::AsString(*got.value()), v) << "byte " << at;
      }
      for (const std::string& k : absent) {
        auto got = r.value().Get(k);
        EXPECT_TRUE(!got.ok() || !got.value().has_value()) << k << " found with byte " << at << " flipped";
      }
      // Scans: the right keys, in order, or an error.
      auto cursor = r.value().CursorAt(0);
      if (!cursor.ok()) continue;
      auto it = content.begin();
      for (size_t i = 0; i < r.value().entry_count() && it != content.end(); ++i, ++it) {
        auto item = r.value().Next(&cursor.value());
        if (!item.ok()) break;
        auto payload = r.value().ReadChecked(item.value().record);
        if (!payload.ok()) break;
        EXPECT_EQ(item.value().key, it->first) << "byte " << at;
        EXPECT_EQ(testfiles::AsString(payload.value()), it->second) << "byte " << at;
      }
    }
  }
  // Most flips leave a file that opens (and then fail at the lookup that
  // reads the damage, if any does).
  EXPECT_GT(opened, good.size() / stride);
}

TEST(LookupIndex, NoFlippedByteGivesAWrongAnswer) {
  TempDir dir;
  // A small file, every byte; and one whose lookup section spans several
  // records (the first alone is checked at open), every 67th byte.
  for (int n : {40, 3000}) {
    std::map<std::string, std::string> content;
    for (int i = 0; i < n; ++i) content["k" + std::to_string(i)] = std::string(i % 7, static_cast<char>('a' + i % 26));
    FlipEachByte(dir, content, {"k", "k" + std::to_string(n), "zz", ""}, n < 100 ? 1 : 67);
  }
}

TEST(LookupIndex, AMissReadsNoKeyBytes) {
  // Every block of the index section damaged: a lookup that reads an entry
  // fails, so an absent key answered as absent read none.  Only a key whose
  // fingerprint matches a slot of its bucket (about 1 in 8,000) reads one.
  TempDir dir;
  std::map<std::string, std::string> content;
  for (int i = 0; i < 20000; ++i) content["user:" + std::to_string(i)] = "v";
  std::string bytes = Slurp(BuildFile(dir, content));
  const uint64_t index_offset = LoadU64(reinterpret_cast<const std::byte*>(bytes.data()) + kIndexOffsetOffset);
  for (uint64_t at = index_offset + 100; at < bytes.size(); at += kIndexCheckBlock) bytes[at] ^= 0x20;
  auto r = StoreReader::OpenIndexed(dir.Write("damaged.vlks", bytes), OpenCheck::kUnlessIndexed);
  ASSERT_TRUE(r.ok()) << r.error().detail();
  std::vector<std::string> absent;
  for (int i = 0; i < 20000; ++i) absent.push_back("user:x" + std::to_string(i));
  size_t errors = 0;
  for (const std::string& k : absent) {
    auto got = r.value().Get(k);
    if (!got.ok()) {
      ++errors;
      continue;
    }
    EXPECT_FALSE(got.value().has_value()) << k;
  }
  EXPECT_LE(errors, absent.size() / 100);
  // A batch answers the same, and every present key reads its entry.
  std::vector<std::string_view> batch(absent.begin(), absent.end());
  batch.push_back("user:7");
  std::vector<StoreReader::Found> found(batch.size());
  std::vector<Bytes> payloads(batch.size());
  std::vector<StoreReader::KeyFault> faults;
  r.value().ProbeMany(batch, found.data(), payloads.data(), &faults);
  EXPECT_EQ(faults.size(), errors + 1);
  EXPECT_EQ(found.back(), StoreReader::Found::kDamaged);
  EXPECT_FALSE(r.value().Get("user:7").ok());
}

TEST(LookupIndex, VerifyChecksKeyOrderAndTheIndexAgainstTheEntries) {
  TempDir dir;
  // Entries out of order, or twice, with every CRC made to fit: the base
  // layout's checks all pass.
  struct Case {
    const char* name;
    std::vector<std::string> keys;
  };
  for (const Case& c : {Case{"reversed", {"cherry", "banana", "apple"}}, Case{"swapped", {"apple", "cherry", "banana"}},
                        Case{"duplicated", {"apple", "banana", "banana"}}}) {
    SCOPED_TRACE(c.name);
    testfiles::StoreBytes b;
    const uint64_t off = b.AddObject("v");
    for (const std::string& k : c.keys) b.AddKey(k, off);
    auto r = StoreReader::Open(dir.Write("bad.vlks", b.Build()), true);
    ASSERT_TRUE(r.ok());
    auto v = r.value().Verify();
    ASSERT_FALSE(v.ok());
    EXPECT_NE(v.error().detail().find("key order"), std::string::npos) << v.error().detail();
  }

  // An indexed file whose lookup section disagrees with its entries, CRCs
  // fixed up: each lookup it serves may be wrong, and verify() says so.
  const auto content = Content(100);
  std::string bytes = Slurp(BuildFile(dir, content));
  auto r = StoreReader::OpenIndexed(dir.Write("good.vlks", bytes), OpenCheck::kNone);
  ASSERT_TRUE(r.ok());
  // Block 0's first fingerprint.
  const LookupAt l = FindLookup(bytes);
  std::string fixed = bytes;
  fixed[l.Byte(l.g.BlockAt(0))] ^= 0x55;
  FixCrcs(fixed, l.s);
  const std::string path = dir.Write("bad-index.vlks", fixed);
  for (bool indexed : {true, false}) {
    auto opened = indexed ? StoreReader::OpenIndexed(path, OpenCheck::kWholeFile) : StoreReader::Open(path, true);
    ASSERT_TRUE(opened.ok());
    auto v = opened.value().Verify();
    ASSERT_FALSE(v.ok());
    EXPECT_NE(v.error().detail().find("lookup index"), std::string::npos) << v.error().detail();
  }
}

// An indexed file whose blocks' counts, overflow marks and first slots are
// rewritten, CRCs made to fit: lookups through it may miss keys (verify()
// reports such a file), but an answer depends only on the file, never on
// which lookups came before it, and a found key always has its own value.
// Some values are far larger than the rest, so that where a lookup expects
// a record from the ones before it is often wrong too.
TEST(LookupIndex, OddBlocksGiveTheSameAnswersInAnyLookupOrder) {
  TempDir dir;
  std::map<std::string, std::string> content;
  for (int i = 0; i < 2000; ++i)
    content["k" + std::to_string(i)] = i % 97 == 0 ? std::string(3000 + i, 'w') : "v" + std::to_string(i * 31);
  const std::string good = Slurp(BuildFile(dir, content));
  const LookupAt l = FindLookup(good);
  const uint32_t n = static_cast<uint32_t>(content.size());
  const uint64_t blocks = l.g.blocks;
  std::vector<uint8_t> meta(blocks);
  std::vector<uint32_t> base(blocks);
  for (uint64_t b = 0; b < blocks; ++b) {
    meta[b] = static_cast<uint8_t>(good[l.Byte(l.g.BlockAt(b)) + kBlockMeta]);
    base[b] = LoadU32(AsBytes(good).data() + l.Byte(l.g.BlockAt(b)) + kBlockBase);
  }
  std::vector<std::string> keys;
  for (const auto& [k, v] : content) keys.push_back(k);
  for (int i = 0; i < 300; ++i) keys.push_back("absent" + std::to_string(i));

  struct Case {
    const char* name;
    std::function<std::pair<uint8_t, uint32_t>(uint64_t)> block;  // block b's new count and mark, and first slot
  };
  const uint32_t full = kBlockSlots;
  const std::vector<Case> cases = {
      {"as written", [&](uint64_t b) { return std::pair(meta[b], base[b]); }},
      {"one block over", [&](uint64_t b) { return b + 1 < blocks ? std::pair(meta[b + 1], base[b + 1]) : std::pair(meta[b], base[b]); }},
      {"mirrored", [&](uint64_t b) {
         const uint32_t count = meta[b] & ~kBlockOverflow;
         return std::pair(meta[b], n - base[b] - count);
       }},
      {"every block going on in the next", [&](uint64_t b) {
         return std::pair(static_cast<uint8_t>(b + 1 < blocks ? meta[b] | kBlockOverflow : meta[b]), base[b]);
       }},
      {"every block empty", [&](uint64_t b) { return std::pair(uint8_t{0}, base[b]); }},
      {"every block full, of the last slots", [&](uint64_t) { return std::pair(static_cast<uint8_t>(full), n - full); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = good;
    for (uint64_t b = 0; b < blocks; ++b) {
      const auto [m, first] = c.block(b);
      const uint64_t at = l.Byte(l.g.BlockAt(b));
      bytes[at + kBlockMeta] = static_cast<char>(m);
      StoreBE<uint32_t>(reinterpret_cast<std::byte*>(bytes.data()) + at + kBlockBase, first);
    }
    FixCrcs(bytes, l.s);
    const std::string path = dir.Write("odd.vlks", bytes);

    // Each key's answer: its value, "-" for absent, "!" for an error.
    auto answers = [&](const StoreReader& r, std::vector<std::string> order) {
      std::map<std::string, std::string> out;
      for (const std::string& k : order) {
        auto got = r.Get(k);
        out[k] = !got.ok() ? "!" : !got.value().has_value() ? "-" : testfiles::AsString(*got.value());
      }
      return out;
    };
    auto r = StoreReader::OpenIndexed(path, OpenCheck::kUnlessIndexed);
    ASSERT_TRUE(r.ok()) << r.error().detail();
    const auto once = answers(r.value(), keys);
    for (const auto& [k, a] : once) {
      const auto want = content.find(k);
      if (a != "-" && a != "!") {
        EXPECT_TRUE(want != content.end() && want->second == a) << k;
      }
    }
    if (std::string(c.name) == "as written") {
      for (const auto& [k, v] : content) EXPECT_EQ(once.at(k), v);
    }
    // The same reader backwards, then a fresh one in a shuffled order.
    EXPECT_EQ(answers(r.value(), std::vector<std::string>(keys.rbegin(), keys.rend())), once);
    std::vector<std::string> shuffled = keys;
    for (size_t i = 0; i < shuffled.size(); ++i) std::swap(shuffled[i], shuffled[(i * 7919 + 13) % shuffled.size()]);
    auto fresh = StoreReader::OpenIndexed(path, OpenCheck::kUnlessIndexed);
    ASSERT_TRUE(fresh.ok());
    EXPECT_EQ(answers(fresh.value(), shuffled), once);
  }
}

// A hostile file whose every CRC fits: a slot that points far past the
// index section, or an entry that names a record far past the file, is an
// error for the key that meets it, and the hints a lookup keeps read and
// compute nothing outside their tables (this crashed, and under the
// sanitizers stopped at a signed overflow).  The lookup section is written
// with 8-byte positions, as a file of over 2^56 bytes would have them.
TEST(LookupIndex, CraftedPositionsAndRecordOffsetsAreErrors) {
  TempDir dir;
  std::map<std::string, std::string> content;
  for (int i = 0; i < 300; ++i) content["k" + std::to_string(i)] = "value " + std::to_string(i);
  const std::string good = Slurp(BuildFile(dir, content));
  const Bytes file = AsBytes(good);
  const uint32_t num_keys = LoadU32(file.data() + kNumKeysOffset);
  const uint64_t index_offset = LoadU64(file.data() + kIndexOffsetOffset);
  const uint64_t dir_len = LoadU32(file.data() + kDirectoryLengthOffset);
  const Directory d = Directory::Decode(file.subspan(index_offset - dir_len, dir_len), index_offset - 8 - dir_len).value();
  uint64_t extension_records = 1;
  for (const SectionDescriptor& s : d.sections) extension_records += s.record_count();
  const auto user_objects = static_cast<uint32_t>(LoadU32(file.data() + kNumObjectsOffset) - extension_records);
  const std::string index = good.substr(index_offset);

  // The file with this lookup section and index section, and the index
  // block CRCs and every record CRC made to fit.
  auto rebuild = [&](const std::vector<std::byte>& lookup, const std::string& entries) {
    ExtensionSections sections;
    sections.lookup = lookup;
    sections.index_crcs = BuildExtensionSections(AsBytes(entries), num_keys, d.extension_start).index_crcs;
    const ExtensionArea area = LayOutExtension(sections, d.extension_start, num_keys, user_objects, entries.size());
    std::string out = good.substr(0, d.extension_start);
    out.append(AsChars(area.records));
    out += entries;
    auto* h = reinterpret_cast<std::byte*>(out.data());
    StoreBE<uint32_t>(h + kNumObjectsOffset, user_objects + area.record_count);
    StoreBE<uint64_t>(h + kIndexOffsetOffset, d.extension_start + area.records.size());
    MarkExtension(h, area.directory_length);
    StoreBE<uint32_t>(h + kFileCrcOffset, Crc32(AsBytes(out).subspan(kHeaderSize)));
    return out;
  };

  // The lookup section with 8-byte positions; unless far is 0, the slots
  // of home block home, and of the blocks its keys go on in, whose
  // fingerprint is fp point at far.
  const std::vector<std::byte> narrow = BuildExtensionSections(AsBytes(index), num_keys, d.extension_start).lookup;
  SectionDescriptor at_start;
  at_start.first_record = d.extension_start;
  at_start.record_size = kExtensionRecordSize;
  at_start.length = narrow.size();
  const LookupGeometry g = *LookupGeometry::Decode(Bytes(narrow), num_keys, at_start).value();
  auto widen = [&](uint64_t home, uint16_t fp, uint64_t far) {
    LookupGeometry wide = g;
    wide.position_width = 8;
    const unsigned w = g.position_width;
    std::vector<std::byte> out(wide.length(), std::byte{0});
    std::copy(narrow.begin(), narrow.begin() + kLookupHeaderSize, out.begin());
    out[12] = std::byte{8};
    for (uint64_t k = 0; k < num_keys; ++k)
      StoreBE<uint64_t>(out.data() + wide.positions_at() + 8 * k, LoadUnsigned(narrow.data() + g.positions_at() + w * k, w));
    for (uint64_t j = 0; j < g.fence_count(); ++j)
      StoreBE<uint64_t>(out.data() + wide.fences_at() + 8 * j, LoadUnsigned(narrow.data() + g.fences_at() + w * j, w));
    for (uint64_t b = 0; b < g.blocks; ++b)
      std::copy_n(narrow.begin() + static_cast<ptrdiff_t>(g.BlockAt(b)), kBlockSize, out.begin() + static_cast<ptrdiff_t>(wide.BlockAt(b)));
    for (uint64_t b = home; far != 0; ++b) {
      const std::byte* block = narrow.data() + g.BlockAt(b);
      const uint8_t m = static_cast<uint8_t>(block[kBlockMeta]);
      for (uint64_t j = 0; j < (m & ~kBlockOverflow); ++j) {
        if (LoadU16(block + 2 * j) == fp)
          StoreBE<uint64_t>(out.data() + wide.positions_at() + 8 * (LoadU32(block + kBlockBase) + j), far);
      }
      if (!(m & kBlockOverflow)) break;
    }
    return out;
  };

  const std::string key = "k7";
  const uint64_t seed = LoadU64(narrow.data());
  const uint64_t hash = LookupHash(key, seed);
  const uint64_t home = HomeOf(hash, g.homes);
  // Where k7's entry lies, and its record offset.
  uint64_t entry = 0;
  while (index.compare(entry + 2, LoadU16(index.data() + entry), key) != 0) entry += 2 + LoadU16(index.data() + entry) + 8;
  std::string far_record = index;
  StoreBE<uint64_t>(reinterpret_cast<std::byte*>(far_record.data()) + entry + 2 + key.size(), uint64_t{1} << 63);
  // k7 naming the extension area's first record: a whole record, its CRC
  // right, but none of the store's values.
  std::string extension_record = index;
  StoreBE<uint64_t>(reinterpret_cast<std::byte*>(extension_record.data()) + entry + 2 + key.size(), d.extension_start);

  struct Case {
    const char* name;
    std::string bytes;
    bool damaged;     // whether k7's lookup fails
    bool in_damaged;  // whether `k7 in r` fails (the entry is read, not its record)
  };
  const Case cases[] = {
      {"wide positions", rebuild(widen(home, 0, 0), index), false, false},
      {"a slot far past the index", rebuild(widen(home, FingerprintOf(hash), uint64_t{1} << 62), index), true, true},
      {"a record far past the file", rebuild(narrow, far_record), true, false},
      {"a record of the extension area", rebuild(narrow, extension_record), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = StoreReader::OpenIndexed(dir.Write("crafted.vlks", c.bytes), OpenCheck::kUnlessIndexed);
    ASSERT_TRUE(r.ok()) << r.error().detail();
    ASSERT_TRUE(r.value().indexed());
    // Twice: the second lookup goes by the hints the first one left.
    for (int round = 0; round < 2; ++round) {
      for (const auto& [k, v] : content) {
        auto got = r.value().Get(k);
        if (k == key && c.damaged) {
          EXPECT_FALSE(got.ok()) << k;
          continue;
        }
        ASSERT_TRUE(got.ok()) << k << ": " << got.error().detail();
        ASSERT_TRUE(got.value().has_value()) << k;
        EXPECT_EQ(testfiles::AsString(*got.value()), v);
      }
    }
    EXPECT_EQ(r.value().Contains(key).ok(), !c.in_damaged);
    // verify() finds every one of them, through either open.
    EXPECT_FALSE(r.value().Verify().ok());
    auto plain = StoreReader::Open(dir.Path("crafted.vlks"), false);
    ASSERT_TRUE(plain.ok()) << plain.error().detail();
    EXPECT_FALSE(plain.value().Verify().ok());
  }

  // A lookup section of the earlier layout (a bucket directory): its index
  // is loaded at open, with the whole file checked, and verify() accepts
  // it; reindex gives it the layout read in place.
  const std::string earlier = rebuild(BuildExtensionSections(AsBytes(index), num_keys, d.extension_start, 0).lookup, index);
  const std::string path = dir.Write("earlier.vlks", earlier);
  auto r = StoreReader::OpenIndexed(path, OpenCheck::kUnlessIndexed);
  ASSERT_TRUE(r.ok()) << r.error().detail();
  EXPECT_FALSE(r.value().indexed());
  ExpectContent(r.value(), content);
  EXPECT_TRUE(r.value().Verify().ok());
  // Its entry naming a record of the extension area is an error there too.
  const std::string naming = dir.Write(
      "earlier-naming.vlks",
      rebuild(BuildExtensionSections(AsBytes(extension_record), num_keys, d.extension_start, 0).lookup,
              extension_record));
  auto named = StoreReader::OpenIndexed(naming, OpenCheck::kUnlessIndexed);
  ASSERT_TRUE(named.ok()) << named.error().detail();
  EXPECT_FALSE(named.value().Get(key).ok());
  std::string damaged = earlier;
  damaged[kHeaderSize + 10] ^= 1;
  EXPECT_FALSE(StoreReader::OpenIndexed(dir.Write("earlier-damaged.vlks", damaged), OpenCheck::kUnlessIndexed).ok());
  ASSERT_TRUE(Reindex(path).ok());
  auto again = StoreReader::OpenIndexed(path, OpenCheck::kUnlessIndexed);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again.value().indexed());
  ExpectContent(again.value(), content);
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST(Reindex, AddsTheIndexKeepingRecordsAndEntriesAndRefusesADamagedFile) {
  TempDir dir;
  const auto content = Content(700);
  const std::string path = BuildFile(dir, content, WriterOptions{});
  const std::string before = Slurp(path);
  const uint64_t index_offset = LoadU64(before.data() + kIndexOffsetOffset);

  auto done = Reindex(path);
  ASSERT_TRUE(done.ok()) << done.error().detail();
  const std::string after = Slurp(path);
  // Records and entries byte for byte; the extension area between them.
  EXPECT_EQ(after.substr(kHeaderSize, index_offset - kHeaderSize), before.substr(kHeaderSize, index_offset - kHeaderSize));
  EXPECT_EQ(after.substr(after.size() - (before.size() - index_offset)), before.substr(index_offset));
  auto r = StoreReader::OpenIndexed(path, OpenCheck::kWholeFile);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().indexed());
  ExpectContent(r.value(), content);
  EXPECT_TRUE(r.value().Verify().ok());
  EXPECT_EQ(done.value().num_objects, r.value().num_objects() - r.value().extension_records());

  // Again: the old extension area is replaced, not stacked.
  ASSERT_TRUE(Reindex(path).ok());
  EXPECT_EQ(Slurp(path), after);

  // A damaged file is refused and left as it was, with nothing beside it.
  std::string bytes = before;
  bytes[kHeaderSize + 20] ^= 4;
  const std::string damaged = dir.Write("damaged.vlks", bytes);
  EXPECT_FALSE(Reindex(damaged).ok());
  EXPECT_EQ(Slurp(damaged), bytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}), 2);

  // A section of a kind this version does not know, flagged required (every
  // CRC right): the rewrite would drop it, so the file is refused as is.
  const uint64_t new_index = LoadU64(after.data() + kIndexOffsetOffset);
  const uint64_t dir_len = LoadU32(after.data() + kDirectoryLengthOffset);
  const uint64_t dir_record = new_index - kRecordHeaderSize - dir_len;
  Directory d = Directory::Decode(AsBytes(after).subspan(new_index - dir_len, dir_len), dir_record).value();
  SectionDescriptor extra;
  extra.kind = 9;
  extra.flags = kSectionRequired;
  extra.record_size = 4096;
  extra.first_record = d.extension_start;
  d.sections.push_back(extra);
  d.index_offset += kSectionDescriptorSize;
  const std::vector<std::byte> payload = d.Encode();
  std::string unknown = after.substr(0, dir_record);
  std::byte head[kRecordHeaderSize];
  StoreBE<uint32_t>(head, static_cast<uint32_t>(payload.size()));
  StoreBE<uint32_t>(head + 4, Crc32(payload));
  unknown.append(AsChars(Bytes(head)));
  unknown.append(AsChars(payload));
  unknown += after.substr(new_index);
  auto* h = reinterpret_cast<std::byte*>(unknown.data());
  StoreBE<uint64_t>(h + kIndexOffsetOffset, d.index_offset);
  MarkExtension(h, payload.size());
  StoreBE<uint32_t>(h + kFileCrcOffset, Crc32(AsBytes(unknown).subspan(kHeaderSize)));
  const std::string future = dir.Write("future.vlks", unknown);
  auto refused = Reindex(future);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().detail().find("extension section 9"), std::string::npos) << refused.error().detail();
  EXPECT_EQ(Slurp(future), unknown);
}

}  // namespace
}  // namespace velk
