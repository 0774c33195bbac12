#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/crc32.h"
#include "core/base/status.h"
#include "core/format/format.h"
#include "error_text.h"

namespace velk {
namespace {

TEST(FormatCrc32, StandardValuesAndContinuation) {
  EXPECT_EQ(Crc32(AsBytes("")), 0u);
  EXPECT_EQ(Crc32(AsBytes("abc")), 0x352441C2u);
  EXPECT_EQ(Crc32(AsBytes("6789"), Crc32(AsBytes("12345"))), 0xCBF43926u);
  EXPECT_EQ(FormatCrc(0x5A0D9748), "0x5a0d9748");
  EXPECT_EQ(FormatCrc(0), "0x00000000");
}

// Combining and the two-thread CRC give the one-pass value: on both sides
// of the size where the second thread starts, with odd lengths (halves of
// unequal size) and with empty parts.
TEST(FormatCrc32, CombinedAndTwoThreadValuesMatchOnePass) {
  std::vector<std::byte> data((size_t{32} << 20) + 3);
  uint32_t x = 12345;
  for (auto& b : data) b = static_cast<std::byte>((x = x * 1103515245 + 12345) >> 24);
  const Bytes all(data);
  for (size_t size : {size_t{0}, size_t{1}, size_t{1000}, (size_t{32} << 20) - 1, size_t{32} << 20,
                      all.size()}) {
    const Bytes part = all.first(size);
    const uint32_t expected = Crc32(part);
    EXPECT_EQ(Crc32Wide(part), expected) << size;
    for (size_t cut : {size_t{0}, size / 3, size}) {
      EXPECT_EQ(Crc32Combine(Crc32(part.first(cut)), Crc32(part.subspan(cut)), size - cut), expected)
          << size << " at " << cut;
    }
  }
  // Second parts longer than 32 bits of length, too long to checksum here:
  // values of the common zlib routine for the same arguments.
  EXPECT_EQ(Crc32Combine(0x12345678, 0x9ABCDEF0, uint64_t{1} << 32), 0xC47013A8u);
  EXPECT_EQ(Crc32Combine(0x12345678, 0x9ABCDEF0, (uint64_t{1} << 40) + 7), 0x4AE97B50u);
  EXPECT_EQ(Crc32Combine(0x12345678, 0x9ABCDEF0, 0xFFFFFFFFFFFF), 0xD7313F27u);
}

TEST(FormatHeader, EncodesWideValuesBigEndianAndRejectsBadFiles) {
  Header h;
  h.num_keys = 0x01020304;
  h.num_objects = 0xFFFFFFFF;
  h.index_offset = 0x0102030405060708;
  h.file_crc32 = 0xA1B2C3D4;
  std::vector<std::byte> buf(kHeaderSize);
  h.EncodeTo(buf.data());
  const unsigned char want[kHeaderSize] = {
      'V', 'L', 'K', 'S', 2, 0, 0, 0, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4,
      5,   6,   7,   8,   0, 0, 0, 0, 0, 0, 0, 40, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(buf.data(), want, kHeaderSize), 0);
  Result<Header> back = Header::DecodeFrom(buf);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().index_offset, h.index_offset);
  EXPECT_EQ(back.value().num_objects, h.num_objects);

  EXPECT_EQ(Text(Header::DecodeFrom(Bytes(buf).first(kHeaderSize - 1)).error()),
            "corrupt: file too small for header");
  buf[4] = std::byte{3};
  EXPECT_EQ(Text(Header::DecodeFrom(buf).error()), "version: unsupported version 3");
  buf[0] = std::byte{0};
  buf[3] = std::byte{200};
  EXPECT_EQ(Text(Header::DecodeFrom(buf).error()), "corrupt: bad magic [0, 76, 75, 200]");
  EXPECT_EQ(Header::DecodeFrom(buf).error().reason(), Reason::kBadMagic);
}

TEST(FormatKeyOrder, UnsignedBytewiseWithPrefixFirst) {
  const std::vector<std::string> ascending = {"", "a", std::string("a\0", 2), "ab", "b", "\x7f", "\x80", "\xff"};
  for (size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_TRUE(KeyLess(ascending[i], ascending[i + 1])) << i;
    EXPECT_FALSE(KeyLess(ascending[i + 1], ascending[i])) << i;
  }
}

// Every reason belongs to the family its faces raise it as.
TEST(FormatStoreError, ReasonsBelongToTheirKind) {
  const std::pair<Reason, ErrorKind> cases[] = {
      {Reason::kTooSmall, ErrorKind::kCorrupt},   {Reason::kBadMagic, ErrorKind::kCorrupt},
      {Reason::kFileCrc, ErrorKind::kCorrupt},    {Reason::kIndexTruncated, ErrorKind::kCorrupt},
      {Reason::kVersion, ErrorKind::kVersion},    {Reason::kOpen, ErrorKind::kIo},
      {Reason::kLocked, ErrorKind::kIo},          {Reason::kNotDurable, ErrorKind::kIo},
      {Reason::kKeyTooLong, ErrorKind::kGeneral}, {Reason::kBadObjectId, ErrorKind::kGeneral},
  };
  for (const auto& [reason, kind] : cases) EXPECT_EQ(StoreError(reason).kind(), kind) << int(reason);
  const StoreError e = StoreError::Os(Reason::kRename, ENOENT, "t.vlks");
  EXPECT_EQ(std::tuple(e.os_errno(), e.path(), e.detail()), std::tuple(ENOENT, std::string("t.vlks"), std::string()));
  EXPECT_EQ(StoreError::Version(3).version(), 3);
}

}  // namespace
}  // namespace velk
