#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/reader/store_reader.h"
#include "error_text.h"
#include "store_bytes.h"

namespace velk {
namespace {

using testfiles::AsString;
using testfiles::StoreBytes;
using testfiles::CrcOf;
using testfiles::TempDir;

class ReaderQuery : public ::testing::Test {
 protected:
  const StoreReader& Open(const StoreBytes& s, bool verify = true) {
    // Appended piecewise: g++ 12 warns (-Wrestrict) on "s" + to_string(n).
    std::string name = "s";
    name += std::to_string(n_++);
    name += ".vlks";
    auto r = StoreReader::Open(dir_.Write(name, s.Build()), verify);
    if (!r.ok()) ADD_FAILURE() << Text(r.error());
    readers_.push_back(std::move(r).value());
    return readers_.back();
  }

  TempDir dir_;
  int n_ = 0;
  std::deque<StoreReader> readers_;  // references stay valid as it grows
};

template <typename T>
std::string ErrorOf(const Result<T>& r) {
  return r.ok() ? "ok" : Text(r.error());
}

// A scan through the cursor, as the faces scan: the entries from the lower
// bound of prefix on while their keys start with it, with their objects.
struct Scanned {
  std::vector<std::string> keys, payloads;
};
Result<Scanned> Scan(const StoreReader& r, std::string_view prefix = {}) {
  auto begin = r.Seek(prefix);
  if (!begin.ok()) return std::move(begin).error();
  auto cursor = r.CursorAt(begin.value());
  if (!cursor.ok()) return std::move(cursor).error();
  Scanned out;
  while (cursor.value().index < r.entry_count()) {
    auto item = r.Next(&cursor.value());
    if (!item.ok()) return std::move(item).error();
    if (!item.value().key.starts_with(prefix)) break;
    auto payload = r.ReadChecked(item.value().record);
    if (!payload.ok()) return std::move(payload).error();
    out.keys.emplace_back(item.value().key);
    out.payloads.push_back(AsString(payload.value()));
  }
  return out;
}

TEST_F(ReaderQuery, PrefixScanFollowsUnsignedKeyOrder) {
  StoreBytes s;
  const uint64_t obj = s.AddObject("o");
  for (const char* k : {"", "a", "ab", "abc", "b", "z", "\x80", "\xc3\xa9t\xc3\xa9", "\xff"})
    s.AddKey(k, obj);
  const StoreReader& r = Open(s);

  using V = std::vector<std::string>;
  const struct {
    std::string prefix;
    V want;
  } cases[] = {
      {"", V{"", "a", "ab", "abc", "b", "z", "\x80", "\xc3\xa9t\xc3\xa9", "\xff"}},
      {"a", V{"a", "ab", "abc"}},
      {"ab", V{"ab", "abc"}},  // the key equal to the prefix is included
      {"abcd", V{}},
      {"c", V{}},
      {"\xc3", V{"\xc3\xa9t\xc3\xa9"}},
      {"\x80", V{"\x80"}},
      {"\xff", V{"\xff"}},
      {"\xff\xff", V{}},
  };
  for (const auto& c : cases) {
    auto got = Scan(r, c.prefix);
    ASSERT_TRUE(got.ok()) << Text(got.error());
    EXPECT_EQ(got.value().keys, c.want) << "prefix '" << c.prefix << "'";
  }
}

TEST_F(ReaderQuery, ItemsAndObjectsShareRecords) {
  StoreBytes s;
  const uint64_t x = s.AddObject("X");
  const uint64_t y = s.AddObject("Y");
  s.AddObject("never named");
  s.AddKey("a", x).AddKey("b", y).AddKey("c", x);
  const StoreReader& r = Open(s);

  auto objects = r.Objects();
  ASSERT_TRUE(objects.ok());
  std::vector<std::string> got;
  for (Bytes b : objects.value()) got.push_back(AsString(b));
  EXPECT_EQ(got, (std::vector<std::string>{"X", "Y"}));

  auto items = Scan(r);
  ASSERT_TRUE(items.ok());
  EXPECT_EQ(items.value().payloads, (std::vector<std::string>{"X", "Y", "X"}));

  auto missing = r.Get("d");
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing.value().has_value());
  EXPECT_FALSE(r.Exists("d"));
  EXPECT_FALSE(r.Exists("A"));
  EXPECT_TRUE(r.Exists("c"));
}

TEST_F(ReaderQuery, EmptyStoreAnswersNothing) {
  const StoreReader& r = Open(StoreBytes());
  EXPECT_TRUE(Scan(r).value().keys.empty());
  EXPECT_TRUE(r.Objects().value().empty());
  EXPECT_FALSE(r.Get("").value().has_value());
  EXPECT_FALSE(r.Exists(""));
  EXPECT_TRUE(r.Verify().ok());
}

TEST_F(ReaderQuery, BadObjectOffsetsFailEveryRead) {
  StoreBytes s;
  const uint64_t good = s.AddObject("fine");
  const uint64_t abc = s.AddObject("abc");
  s.trailer = std::string("\0\0\0\x01\0\0\0\0", 8);  // a record one byte short
  s.AddKey("a", good)
      .AddKey("m", UINT64_MAX)       // offset + 8 wraps around 2^64
      .AddKey("n", UINT64_MAX - 7)   // offset + 8 == 2^64 exactly
      .AddKey("o", abc + 1)          // length field read from inside a record
      .AddKey("p", 1'000'000);
  const StoreReader& r = Open(s);

  const std::string top = std::to_string(UINT64_MAX);
  const std::string top7 = std::to_string(UINT64_MAX - 7);
  EXPECT_EQ(ErrorOf(r.Get("m")), "corrupt: offset " + top + " out of bounds");
  EXPECT_EQ(ErrorOf(r.Get("n")), "corrupt: offset " + top7 + " out of bounds");
  EXPECT_EQ(ErrorOf(r.Get("p")), "corrupt: offset 1000000 out of bounds");
  EXPECT_EQ(ErrorOf(r.Get("o")), "corrupt: object at " + std::to_string(abc + 1) +
                                     " extends beyond file end");
  EXPECT_EQ(ErrorOf(r.ReadObject(r.file_size() - 8)),  // the trailer
            "corrupt: object at " + std::to_string(r.file_size() - 8) +
                " extends beyond file end");
  EXPECT_TRUE(r.Exists("m"));  // no object read
  EXPECT_EQ(ErrorOf(r.Get("a")), "ok");

  // Scans stop at the first bad entry in key order.
  const std::string first_bad = "corrupt: offset " + top + " out of bounds";
  EXPECT_EQ(ErrorOf(r.Objects()), first_bad);
  EXPECT_EQ(ErrorOf(Scan(r)), first_bad);
  EXPECT_EQ(ErrorOf(Scan(r, "a")), "ok");
  EXPECT_EQ(ErrorOf(Scan(r, "o")), "corrupt: object at " + std::to_string(abc + 1) +
                                        " extends beyond file end");
  EXPECT_EQ(ErrorOf(r.Verify()), "corrupt: object offset " + top + " out of bounds");
}

TEST_F(ReaderQuery, VerifyReportsTheFirstProblemInKeyOrder) {
  auto verify = [&](const StoreBytes& s) { return ErrorOf(Open(s, false).Verify()); };

  StoreBytes good;
  good.AddKey("a", good.AddObject("payload")).AddKey("b", good.AddObject(""));
  EXPECT_EQ(verify(good), "ok");

  StoreBytes bad_file = good;
  bad_file.file_crc32 = 0x0000abcd;
  EXPECT_EQ(verify(bad_file), "corrupt: file CRC32 mismatch  stored=0x0000abcd  computed=" +
                                  FormatCrc(CrcOf(good.Build().substr(kHeaderSize))));

  // Object CRCs wrong, file CRC computed over the wrong values (so it
  // matches): the first object named in key order is reported, once.
  StoreBytes bad_objects;
  const uint64_t early = bad_objects.AddObject("early", 1);
  const uint64_t late = bad_objects.AddObject("late", 2);
  const uint64_t fine = bad_objects.AddObject("fine");
  bad_objects.AddKey("a", fine).AddKey("b", late).AddKey("c", late).AddKey("d", early);
  EXPECT_EQ(verify(bad_objects),
            "corrupt: object CRC32 mismatch at offset " + std::to_string(late));

  StoreBytes beyond;
  beyond.AddObject("abc");
  beyond.AddKey("k", 41);
  EXPECT_EQ(verify(beyond), "corrupt: object at 41 extends beyond file end");
}

TEST(ReaderHostileFile, TruncatedOrMutatedFilesFailCleanly) {
  // Run under the sanitizers, this catches any read outside the mapping.
  const std::string good = testfiles::ExampleFile();
  std::vector<std::string> files;
  for (size_t len = 0; len < good.size(); ++len) files.push_back(good.substr(0, len));
  for (size_t pos = kHeaderSize; pos < good.size(); ++pos) {
    for (char v : {'\x00', '\x01', '\x7f', '\xff'}) {
      files.push_back(good);
      files.back()[pos] = v;
    }
  }
  TempDir dir;
  for (const std::string& bytes : files) {
    auto r = StoreReader::Open(dir.Write("f.vlks", bytes), false);
    if (!r.ok()) continue;
    const StoreReader& s = r.value();
    (void)Scan(s);
    (void)s.Objects();
    (void)Scan(s, "a");
    (void)s.Verify();
    for (size_t i = 0; i < s.entry_count(); ++i) (void)s.Get(s.key_at(i));
  }
}

}  // namespace
}  // namespace velk
