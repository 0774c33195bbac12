#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY  // raw blocks, to craft a value's body
#define ZSTD_DISABLE_DEPRECATE_WARNINGS
#include <zstd.h>

#include "core/base/compressed_value.h"
#include "core/base/endian.h"
#include "core/format/format.h"
#include "core/reader/value_decoder.h"
#include "core/reader/store_reader.h"
#include "core/writer/staged_store.h"
#include "core/writer/value_compressor.h"
#include "store_bytes.h"

namespace velk {
namespace {

using ByteVec = std::vector<std::byte>;

ByteVec Of(std::string_view s) {
  const Bytes b = AsBytes(s);
  return ByteVec(b.begin(), b.end());
}

// Staged records (length, CRC left zero, payload) for values, as the
// writer's data section holds them.
struct Staged {
  ByteVec data;
  std::vector<uint64_t> offsets;
};
Staged Stage(const std::vector<ByteVec>& values) {
  Staged s;
  for (const ByteVec& v : values) {
    s.offsets.push_back(kHeaderSize + s.data.size());
    std::byte head[kRecordHeaderSize] = {};
    StoreBE<uint32_t>(head, static_cast<uint32_t>(v.size()));
    s.data.insert(s.data.end(), head, head + kRecordHeaderSize);
    s.data.insert(s.data.end(), v.begin(), v.end());
  }
  return s;
}

Bytes StoredAt(const writer::CompressedRecords& c, size_t id) {
  const std::byte* r = c.data.data() + (c.offsets[id] - kHeaderSize);
  return Bytes(r + kRecordHeaderSize, LoadU32(r));
}

std::string Record(std::mt19937_64& rng, size_t i) {
  static const char* kCities[] = {"Oslo", "Lima", "Kyiv", "Pune", "Cork", "Perth"};
  return "\x85\xa2id\xce" + std::string(4, static_cast<char>('0' + i % 10)) + "\xa4name\xb0user-" +
         std::to_string(rng() % 100000000) + "-xyz\xa4" + "city\xa4" + kCities[rng() % 6] +
         "\xa6" + "active\xc3\xa5score\xcb" + std::string(8, static_cast<char>(rng() % 4));
}

// Values of every shape a build meets, with the many similar records that
// make a dictionary worth training.
std::vector<ByteVec> MixedValues() {
  std::mt19937_64 rng(7);
  std::vector<ByteVec> v;
  for (size_t i = 0; i < 2000; ++i) v.push_back(Of(Record(rng, i)));
  ByteVec random(100);
  for (auto& b : random) b = static_cast<std::byte>(rng());
  v.push_back(random);
  v.push_back({});                                       // empty
  v.push_back(Of("\xc0"));                               // one byte
  v.push_back(Of("\xd4"));                               // an ext lead byte, nothing more
  v.push_back(Of("\xd4\x5a\x01"));                       // a wrapper holding one byte
  v.push_back(Of(std::string("\xc7\x03\x5a\x02" "ab")));   // a wrapper with a raw body
  v.push_back(Of(std::string("\xc7\x09\x5a\x02" "ab")));   // a wrapper of the wrong length
  v.push_back(Of(std::string("\xd6\x5a") + std::string(200, 'q')));  // looks like one, damaged
  v.push_back(Of(std::string("\xc7\x03\x01\x02" "ab")));   // another extension type
  v.push_back(Of(std::string(300 * 1024, 'z')));         // past one block: a frame
  ByteVec big_random(200 * 1024);
  for (auto& b : big_random) b = static_cast<std::byte>(rng());
  v.push_back(big_random);
  return v;
}

// Documents: values of several hundred bytes, long enough that the reader
// decompresses them beside its own copy of the dictionary.
std::vector<ByteVec> Documents(size_t n) {
  std::mt19937_64 rng(9);
  std::vector<ByteVec> v;
  for (size_t i = 0; i < n; ++i) {
    std::string doc;
    for (size_t part = 0; part < 6 + i % 6; ++part) doc += Record(rng, i + part);
    v.push_back(Of(doc));
  }
  return v;
}

TEST(Compression, EveryValueRoundTripsAndOnlyWrappersLookCompressed) {
  const std::vector<ByteVec> values = MixedValues();
  const Staged s = Stage(values);
  const auto c = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
  auto opened = ValueDecoder::Open(c.section);
  ASSERT_TRUE(opened.ok());
  const ValueDecoder& dec = opened.value();
  ASSERT_GT(dec.info().dictionary_size, 0u);

  uint64_t record_bytes = 0, record_stored = 0;
  DecodeBuffer scratch;
  for (size_t id = 0; id < values.size(); ++id) {
    SCOPED_TRACE(id);
    const Bytes stored = StoredAt(c, id);
    auto got = dec.Decode(stored, &scratch);
    ASSERT_TRUE(got.ok()) << got.error().detail();
    ASSERT_EQ(ByteVec(got.value().begin(), got.value().end()), values[id]);
    // The two-step form gives the same bytes.
    auto n = dec.ValueLength(stored);
    ASSERT_TRUE(n.ok());
    ByteVec into(n.value());
    ASSERT_TRUE(dec.DecodeInto(stored, into.data()).ok());
    ASSERT_EQ(into, values[id]);
    // Whatever is not a wrapper is stored exactly as given.
    uint64_t length;
    Bytes body;
    if (ParseStored(stored, &length, &body) != StoredForm::kCompressed) {
      ASSERT_EQ(ByteVec(stored.begin(), stored.end()), values[id]);
    }
    if (id < 2000) {
      record_bytes += values[id].size();
      record_stored += stored.size();
    }
  }
  // Similar records shrink; random bytes never grow (they may shrink when
  // the trainer took them into the dictionary).
  EXPECT_LT(record_stored * 2, record_bytes);
  EXPECT_LE(StoredAt(c, 2000).size(), 100u);
  EXPECT_LE(StoredAt(c, values.size() - 1).size(), 200u * 1024);

  // The same values always give the same bytes.
  const auto again = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
  EXPECT_EQ(again.section, c.section);
  ASSERT_EQ(again.data.size(), c.data.size());
  EXPECT_EQ(std::memcmp(again.data.data(), c.data.data(), c.data.size()), 0);
}

TEST(Compression, IncompressibleValuesAreKeptAsTheyAreAndStillRoundTrip) {
  std::mt19937_64 rng(11);
  std::vector<ByteVec> values;
  for (size_t i = 0; i < 2000; ++i) {
    ByteVec v(100);
    for (auto& b : v) b = static_cast<std::byte>(rng());
    values.push_back(v);
  }
  // Without a value that must be wrapped, the staged records are the file's
  // own; with one (it looks like a wrapper), every record is made again.
  for (const bool wrapper : {false, true}) {
    SCOPED_TRACE(wrapper);
    if (wrapper) values.push_back(Of(std::string("\xc7\x03\x5a\x02" "ab")));
    const Staged s = Stage(values);
    const auto c = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
    auto opened = ValueDecoder::Open(c.section);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.value().info().dictionary_size, 0u);
    EXPECT_EQ(c.as_staged, !wrapper);
    if (c.as_staged) {
      EXPECT_EQ(c.data.size(), 0u);
      EXPECT_EQ(opened.value().info().stored_bytes, opened.value().info().value_bytes);
      continue;
    }
    DecodeBuffer scratch;
    for (size_t id = 0; id < values.size(); ++id) {
      SCOPED_TRACE(id);
      const Bytes stored = StoredAt(c, id);
      if (id < 2000) {
        ASSERT_EQ(ByteVec(stored.begin(), stored.end()), values[id]);
      }
      auto got = opened.value().Decode(stored, &scratch);
      ASSERT_TRUE(got.ok());
      ASSERT_EQ(ByteVec(got.value().begin(), got.value().end()), values[id]);
    }
    EXPECT_GT(StoredAt(c, 2000).size(), values[2000].size());
  }
}

TEST(Compression, LiteralsAreEntropyCodedOnlyWhereThatPaysAndEitherWayRoundTrip) {
  std::mt19937_64 rng(5);
  struct Case {
    const char* name;
    std::vector<ByteVec> values;
    bool raw_literals;
  };
  // Records hold numbers and names no dictionary foresees: entropy coding
  // their literals pays.  Prose drawn from a few phrases is nearly all
  // matches: there it would buy little.
  Case cases[] = {{"records", {}, false}, {"phrases", {}, true}};
  static const char* kPhrases[] = {
      "Return a new array of given shape and type, ", "filled with zeros. ", "Parameters\n----------\n",
      "shape : int or tuple of ints\n", "dtype : data-type, optional\n", "Returns\n-------\n",
      "out : ndarray\n", "See Also\n--------\n", "Examples\n--------\n", ">>> np.zeros(5)\n",
      "The default is None, which means the whole array. ", "If an int, the axis along which to act. "};
  for (size_t i = 0; i < 2000; ++i) {
    cases[0].values.push_back(Of(Record(rng, i)));
    std::string doc;
    for (size_t n = 4 + rng() % 12; n > 0; --n) doc += kPhrases[rng() % std::size(kPhrases)];
    cases[1].values.push_back(Of(doc));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> views(c.values.begin(), c.values.end());
    uint64_t total = 0;
    for (const Bytes v : views) total += v.size();
    const auto dict = writer::CompressionDictionary::Train(views, total, writer::kDefaultCompressLevel);
    ASSERT_FALSE(dict.bytes().empty());
    EXPECT_EQ(dict.raw_literals(), c.raw_literals);

    const Staged s = Stage(c.values);
    const auto packed = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
    auto opened = ValueDecoder::Open(packed.section);
    ASSERT_TRUE(opened.ok());
    DecodeBuffer scratch;
    uint64_t stored = 0;
    for (size_t id = 0; id < c.values.size(); ++id) {
      auto got = opened.value().Decode(StoredAt(packed, id), &scratch);
      ASSERT_TRUE(got.ok());
      ASSERT_EQ(ByteVec(got.value().begin(), got.value().end()), c.values[id]);
      stored += StoredAt(packed, id).size();
    }
    EXPECT_LT(stored * 2, total);  // both kinds shrink by half or more
  }
}

TEST(Compression, ThreadsDecodeAtOnceMoreThanHaveLanes) {
  std::vector<ByteVec> values = MixedValues();
  for (ByteVec& doc : Documents(500)) values.push_back(std::move(doc));
  const Staged s = Stage(values);
  const auto c = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
  auto opened = ValueDecoder::Open(c.section);
  ASSERT_TRUE(opened.ok());
  const ValueDecoder& dec = opened.value();
  std::vector<size_t> wrong(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      DecodeBuffer scratch, arena;
      std::vector<Bytes> batch;
      for (size_t id = 0; id < values.size(); ++id) batch.push_back(StoredAt(c, id));
      const std::vector<uint8_t> present(batch.size(), 1);
      for (int round = 0; round < 3; ++round) {
        for (size_t id = t; id < values.size(); ++id) {
          auto got = dec.Decode(StoredAt(c, id), &scratch);
          wrong[t] += !got.ok() || ByteVec(got.value().begin(), got.value().end()) != values[id];
        }
      }
      size_t bad = 0;
      wrong[t] += !dec.DecodeMany(batch, present, &arena, &bad).ok();
      for (size_t id = 0; id < values.size(); ++id) {
        wrong[t] += ByteVec(batch[id].begin(), batch[id].end()) != values[id];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<size_t>(wrong.size(), 0));
}

TEST(Compression, DamageGivesCorruptOrAValueNeverACrash) {
  std::vector<ByteVec> values = MixedValues();
  values.resize(2000);
  values.push_back(Documents(1)[0]);
  values.push_back(Of(std::string(300 * 1024, 'z')));
  const Staged s = Stage(values);
  const auto c = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
  const ByteVec& section = c.section;
  auto opened = ValueDecoder::Open(section);
  ASSERT_TRUE(opened.ok());
  const ValueDecoder& dec = opened.value();
  DecodeBuffer scratch;
  size_t corrupt = 0;
  // Every byte of a few stored values flipped, and each cut short: the
  // decoder reports damage or gives some value (the record CRC, checked
  // before, is what tells a changed value), within the stated length.
  for (size_t id : {size_t{0}, size_t{1}, size_t{777}, values.size() - 2, values.size() - 1}) {
    const Bytes stored = StoredAt(c, id);
    for (size_t i = 0; i < std::min<size_t>(stored.size(), 64); ++i) {
      for (uint8_t flip : {0x01, 0x80, 0xff}) {
        ByteVec bad(stored.begin(), stored.end());
        bad[i] ^= std::byte{flip};
        auto got = dec.Decode(bad, &scratch);
        corrupt += !got.ok();
        if (got.ok()) {
          EXPECT_LE(got.value().size(), 400u * 1024);
        }
      }
    }
    for (size_t cut = 0; cut < stored.size(); cut += 1 + cut / 4) {
      auto got = dec.Decode(stored.first(cut), &scratch);
      corrupt += !got.ok();
    }
  }
  EXPECT_GT(corrupt, 0u);

  // A wrapper claiming a length its body cannot hold fails before any
  // memory is taken for it.
  ByteVec huge = Of(std::string("\xc7\x08\x5a\xff\xff\xff\xff\x0f", 8) + "abcde");
  auto got = dec.Decode(huge, &scratch);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), ErrorKind::kCorrupt);
  // One whose body is long enough for the length it claims (4 GiB from
  // 100 KB of garbage) fails without the room it took being written: the
  // process stays small (clearing the room first took seconds and 4 GiB).
  std::string garbage(100000, '\x55');
  std::string claim = std::string("\xc9\x00\x01\x86\xa5\x5a\xff\xff\xff\xff\x0f", 11) + garbage;
  auto resident = [] {
    long pages = 0, rss = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
      std::fclose(f);
    }
    return rss * 4096;
  };
  const long before = resident();
  DecodeBuffer room;
  auto claimed = dec.Decode(Of(claim), &room);
  ASSERT_FALSE(claimed.ok());
  EXPECT_EQ(claimed.error().kind(), ErrorKind::kCorrupt);
  EXPECT_LT(resident() - before, 64L << 20);
  // Nor does a batch of it (300 claims: over a terabyte) ask for the room.
  std::vector<Bytes> batch(300, Bytes(AsBytes(claim)));
  const std::vector<uint8_t> present(batch.size(), 1);
  size_t first_bad = batch.size();
  auto many = dec.DecodeMany(batch, present, &room, &first_bad);
  ASSERT_FALSE(many.ok());
  EXPECT_EQ(many.error().kind(), ErrorKind::kCorrupt);
  EXPECT_EQ(first_bad, 0u);

  // A damaged section or dictionary: refused at open, or every value still
  // decodes to something or fails cleanly.
  ByteVec other_codec = section;
  other_codec[0] = std::byte{9};
  EXPECT_FALSE(ValueDecoder::Open(other_codec).ok());
  EXPECT_FALSE(ValueDecoder::Open(ByteVec(section.begin(), section.begin() + kCompressionHeadSize - 1)).ok());
  for (size_t i = kCompressionHeadSize; i < section.size(); i += 97) {
    ByteVec bad = section;
    bad[i] ^= std::byte{0x5a};
    auto damaged = ValueDecoder::Open(bad);
    if (!damaged.ok()) continue;
    for (size_t id = 0; id < values.size(); id += 101) (void)damaged.value().Decode(StoredAt(c, id), &scratch);
  }
}

// A body whose match reaches back past the start of the dictionary (made
// against bytes put before the dictionary) is damage, whether the value is
// decompressed beside a lane's copy of the dictionary or against the
// dictionary where it lies: never a value with other bytes spliced in.
TEST(Compression, MatchesPastTheDictionaryAreDamageOnEveryPath) {
  const Staged s = Stage(MixedValues());
  const auto c = writer::CompressRecords(s.data, s.offsets, {}, writer::kDefaultCompressLevel);
  const Bytes dict = Bytes(c.section).subspan(kCompressionHeadSize);
  ASSERT_FALSE(dict.empty());
  auto opened = ValueDecoder::Open(c.section);
  ASSERT_TRUE(opened.ok());
  const ValueDecoder& dec = opened.value();

  std::mt19937_64 rng(11);
  ByteVec before(64);
  for (auto& b : before) b = static_cast<std::byte>(rng());
  // Stored bytes for value, compressed as one raw block against history.
  auto craft = [](const ByteVec& history, const ByteVec& value) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    EXPECT_EQ(ZSTD_isError(ZSTD_compressBegin_usingDict(cctx, history.data(), history.size(), 3)), 0u);
    ByteVec body(ZSTD_compressBound(value.size()));
    const size_t n = ZSTD_compressBlock(cctx, body.data(), body.size(), value.data(), value.size());
    ZSTD_freeCCtx(cctx);
    EXPECT_FALSE(ZSTD_isError(n));
    EXPECT_GT(n, 0u);  // compressed, not left raw
    body.resize(n);
    ByteVec stored(kMaxWrapperHead);
    stored.resize(WriteWrapperHead(value.size(), body.size(), stored.data()));
    stored.insert(stored.end(), body.begin(), body.end());
    return stored;
  };
  for (size_t length : {size_t{200}, size_t{3000}}) {  // short of a lane, and through one
    ByteVec value = before;
    value.resize(length, std::byte{'a'});
    ByteVec plain_history(dict.begin(), dict.end());
    ByteVec reaching = before;
    reaching.insert(reaching.end(), dict.begin(), dict.end());
    DecodeBuffer scratch, arena;
    // Against the dictionary alone the crafting gives the value back.
    auto fine = dec.Decode(craft(plain_history, value), &scratch);
    ASSERT_TRUE(fine.ok()) << length;
    EXPECT_EQ(ByteVec(fine.value().begin(), fine.value().end()), value);
    const ByteVec bad = craft(reaching, value);
    for (int round = 0; round < 3; ++round) {
      auto got = dec.Decode(bad, &scratch);
      ASSERT_FALSE(got.ok()) << length;
      EXPECT_EQ(got.error().kind(), ErrorKind::kCorrupt);
      std::vector<Bytes> batch{Bytes(bad)};
      const std::vector<uint8_t> present{1};
      size_t at = 1;
      EXPECT_FALSE(dec.DecodeMany(batch, present, &arena, &at).ok());
    }
  }
}

TEST(Compression, AFileCarriesItsDictionaryAndEveryReaderReadsIt) {
  testfiles::TempDir dir;
  const std::string path = dir.Path("packed.vlks");
  std::mt19937_64 rng(3);
  std::vector<std::string> values;
  {
    StagedStore s({.dedup = true, .drop_orphans = true, .key_order = true, .index = true, .compress = true});
    for (size_t i = 0; i < 1500; ++i) {
      values.push_back(Record(rng, i));
      auto id = s.AddObject(AsBytes(values.back()));
      ASSERT_TRUE(id.ok());
      ASSERT_TRUE(s.AddKey("k" + std::to_string(i), id.value()).ok());
    }
    ASSERT_TRUE(s.Build(path).ok());
  }
  // The package's reader decompresses; the base layout's reader sees the
  // stored forms, every record sound.
  auto packed = StoreReader::OpenIndexed(path, OpenCheck::kWholeFile);
  ASSERT_TRUE(packed.ok());
  ASSERT_TRUE(packed.value().values().compressed());
  auto plain = StoreReader::Open(path, true);
  ASSERT_TRUE(plain.ok());
  ASSERT_FALSE(plain.value().values().compressed());
  EXPECT_TRUE(plain.value().Verify().ok());
  DecodeBuffer scratch;
  size_t smaller = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    auto stored = packed.value().Get("k" + std::to_string(i));
    ASSERT_TRUE(stored.ok() && stored.value().has_value());
    auto value = packed.value().values().Decode(*stored.value(), &scratch);
    ASSERT_TRUE(value.ok());
    ASSERT_EQ(AsChars(value.value()), values[i]);
    auto raw = plain.value().Get("k" + std::to_string(i));
    ASSERT_TRUE(raw.ok() && raw.value().has_value());
    smaller += raw.value()->size() < values[i].size();
  }
  EXPECT_GT(smaller, values.size() / 2);
}

}  // namespace
}  // namespace velk
