#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/reader/store_reader.h"
#include "error_text.h"
#include "store_bytes.h"

namespace velk {
namespace {

using testfiles::StoreBytes;
using testfiles::CrcOf;
using testfiles::TempDir;

std::string OpenError(const std::string& path, bool verify) {
  auto r = StoreReader::Open(path, verify);
  return r.ok() ? "ok" : Text(r.error());
}

TEST(ReaderOpen, ExampleFileLoadsKeysOffsetsAndHeader) {
  TempDir dir;
  const std::string path = dir.Write("ex.vlks", testfiles::ExampleFile());
  auto r = StoreReader::Open(path, true);
  ASSERT_TRUE(r.ok()) << Text(r.error());
  const StoreReader& s = r.value();
  EXPECT_EQ(s.path(), path);
  EXPECT_EQ(s.file_size(), 93u);
  EXPECT_EQ(s.num_keys(), 3u);
  EXPECT_EQ(s.num_objects(), 2u);
  EXPECT_EQ(s.index_offset(), 59u);
  EXPECT_EQ(s.file_crc32(), 0x5A0D9748u);
  ASSERT_EQ(s.entry_count(), 3u);
  const std::vector<std::string> keys = {"a", "ab", "b"};
  const std::vector<uint64_t> offsets = {51, 40, 40};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(s.key_at(i), keys[i]);
    EXPECT_EQ(s.offset_at(i), offsets[i]);
  }
  auto abc = s.Get("ab");
  ASSERT_TRUE(abc.ok() && abc.value().has_value());
  EXPECT_EQ(testfiles::AsString(*abc.value()), "abc");
  auto empty = s.Get("a");
  ASSERT_TRUE(empty.ok() && empty.value().has_value());
  EXPECT_TRUE(empty.value()->empty());
}

TEST(ReaderOpen, RejectsBadFilesWithTheFirstFailingCheck) {
  StoreBytes good;
  good.AddKey("k", good.AddObject("v"));
  const std::string ok_file = good.Build();

  std::string flipped = testfiles::ExampleFile();
  flipped[48] = 'A';  // inside the payload "abc"

  StoreBytes v1 = good;
  v1.version = 1;
  StoreBytes v3 = good;
  v3.version = 3;
  v3.reserved_after_version = "\x01\x02\x03";
  v3.file_crc32 = 0xDEADBEEF;  // the version check comes first

  StoreBytes appended = good;
  appended.trailer = "junk";
  appended.file_crc32 = CrcOf(ok_file.substr(kHeaderSize));  // CRC of the file without it

  StoreBytes no_key_len;  // one key claimed, index starts at the very end
  no_key_len.num_keys = 1;
  StoreBytes two_bytes_left;  // key length present, nothing after it
  two_bytes_left.index_offset = kHeaderSize;
  two_bytes_left.num_keys = 1;
  two_bytes_left.trailer = std::string("\x00\x00", 2);
  StoreBytes long_key = two_bytes_left;
  long_key.trailer = "\xff\xff";
  StoreBytes billions = good;  // one real entry, then the count runs out of file
  billions.num_keys = 4'000'000'000u;
  StoreBytes top_offset = good;  // p + 2 would wrap around 2^64
  top_offset.index_offset = UINT64_MAX - 1;
  StoreBytes past_end = good;
  past_end.index_offset = 1'000'000;
  StoreBytes bad_crc_and_index = no_key_len;
  bad_crc_and_index.file_crc32 = 1;

  const std::string kKeyLen = "corrupt: index section truncated (key_len)";
  const std::string kKeyOffset = "corrupt: index section truncated (key + offset)";
  struct Case {
    const char* name;
    std::string bytes;
    bool verify;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"empty", "", true, "corrupt: file too small for header"},
      {"magic only", "VLKS" + std::string(35, '\0'), false,
       "corrupt: file too small for header"},
      {"zero magic", std::string(40, '\0'), true, "corrupt: bad magic [0, 0, 0, 0]"},
      {"foreign", "PK\x03\x04" + ok_file.substr(4), true, "corrupt: bad magic [80, 75, 3, 4]"},
      {"version 1", v1.Build(), true, "version: unsupported version 1"},
      {"version 3", v3.Build(), true, "version: unsupported version 3"},
      {"flipped byte", flipped, true,
       "corrupt: file CRC32 mismatch  stored=0x5a0d9748  computed=0x2994d1d4"},
      {"flipped byte unverified", flipped, false, "ok"},
      {"appended bytes", appended.Build(), true, "corrupt: file CRC32 mismatch  stored=" +
           FormatCrc(CrcOf(ok_file.substr(kHeaderSize))) + "  computed=" +
           FormatCrc(CrcOf(ok_file.substr(kHeaderSize) + "junk"))},
      {"appended bytes unverified", appended.Build(), false, "ok"},
      {"index at end", no_key_len.Build(), true, kKeyLen},
      {"two bytes left, key length 0", two_bytes_left.Build(), true, kKeyOffset},
      {"two bytes left, key length 65535", long_key.Build(), true, kKeyOffset},
      {"four billion keys", billions.Build(), true, kKeyLen},
      {"index offset near 2^64", top_offset.Build(), false, kKeyLen},
      {"index offset past end", past_end.Build(), false, kKeyLen},
      {"crc checked before index", bad_crc_and_index.Build(), true,
       "corrupt: file CRC32 mismatch  stored=0x00000001  computed=0x00000000"},
      {"index without crc check", bad_crc_and_index.Build(), false, kKeyLen},
  };
  TempDir dir;
  for (const Case& c : cases) {
    EXPECT_EQ(OpenError(dir.Write("f.vlks", c.bytes), c.verify), c.want) << c.name;
  }
}

TEST(ReaderOpen, IgnoresFieldsItDoesNotUse) {
  StoreBytes s;
  s.AddKey("k", s.AddObject("v"));
  s.reserved_after_version = "\x01\x02\x03";
  s.reserved_tail = "\xff\xff\xff\xff";
  s.data_offset = 12345;
  s.num_objects = 99;  // reported, never checked
  TempDir dir;
  auto r = StoreReader::Open(dir.Write("f.vlks", s.Build()), true);
  ASSERT_TRUE(r.ok()) << Text(r.error());
  EXPECT_EQ(r.value().num_objects(), 99u);

  // Header only: no keys, CRC of nothing is 0, index_offset never examined.
  StoreBytes bare;
  bare.index_offset = UINT64_MAX;
  auto b = StoreReader::Open(dir.Write("bare.vlks", bare.Build()), true);
  ASSERT_TRUE(b.ok()) << Text(b.error());
  EXPECT_EQ(b.value().entry_count(), 0u);
  EXPECT_EQ(b.value().file_crc32(), 0u);
}

TEST(ReaderOpen, DuplicateAndEmptyKeys) {
  StoreBytes s;
  const uint64_t first = s.AddObject("first");
  const uint64_t second = s.AddObject("second");
  const uint64_t empty = s.AddObject("for the empty key");
  s.AddKey("", empty).AddKey("dup", first).AddKey("dup", second);
  TempDir dir;
  auto r = StoreReader::Open(dir.Write("f.vlks", s.Build()), true);
  ASSERT_TRUE(r.ok()) << Text(r.error());
  const StoreReader& reader = r.value();

  ASSERT_EQ(reader.entry_count(), 3u);  // the lists keep both entries
  EXPECT_EQ(reader.key_at(0), "");
  EXPECT_EQ(reader.key_at(1), "dup");
  EXPECT_EQ(reader.key_at(2), "dup");
  EXPECT_EQ(reader.offset_at(1), first);
  EXPECT_EQ(reader.offset_at(2), second);

  auto got = reader.Get("dup");  // the index keeps the last
  ASSERT_TRUE(got.ok() && got.value().has_value());
  EXPECT_EQ(testfiles::AsString(*got.value()), "second");
  auto e = reader.Get("");
  ASSERT_TRUE(e.ok() && e.value().has_value());
  EXPECT_EQ(testfiles::AsString(*e.value()), "for the empty key");
}

TEST(ReaderOpen, SystemFailuresAreIoErrors) {
  TempDir dir;
  const std::string missing = dir.Path("missing.vlks");
  auto r = StoreReader::Open(missing, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().os_errno(), r.error().path()),
            std::tuple(Reason::kOpen, ENOENT, missing));

  const std::string with_nul = dir.Write("a", "x") + std::string("\0b", 2);
  auto n = StoreReader::Open(with_nul, true);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(std::tuple(n.error().reason(), n.error().detail(), n.error().path()),
            std::tuple(Reason::kOpen, std::string("path contains a NUL byte"), with_nul));

  auto d = StoreReader::Open(dir.Path(""), true);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(std::tuple(d.error().reason(), d.error().os_errno()), std::tuple(Reason::kMmap, ENODEV));
}

TEST(ReaderOpen, FifoDoesNotBlockAndReadsAsEmpty) {
  TempDir dir;
  const std::string fifo = dir.Path("pipe.vlks");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(OpenError(fifo, true), "corrupt: file too small for header");
}

}  // namespace
}  // namespace velk
