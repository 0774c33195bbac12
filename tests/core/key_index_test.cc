#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/reader/key_index.h"

namespace velk {
namespace {

uint64_t ConstantHash(const void*, size_t, uint64_t) { return 0x1234; }
// Collides on every key of one length, the usual shape of a crafted flood.
uint64_t LengthHash(const void*, size_t len, uint64_t) { return len * 0x9E3779B97F4A7C15ULL; }

// Keys laid end to end in one buffer with a list over it, as an open
// store has them in its index section.  Pinned in place: the list points
// into the buffer.
struct LaidOut {
  explicit LaidOut(const std::vector<std::string>& keys) {
    for (const std::string& k : keys) bytes += k;
    list = KeyList(bytes);
    uint64_t at = 0;
    for (const std::string& k : keys) {
      list.AppendAt(at, k.size(), 0);
      at += k.size();
    }
  }
  LaidOut(const LaidOut&) = delete;
  LaidOut& operator=(const LaidOut&) = delete;

  std::string bytes;
  KeyList list;
};

std::vector<std::string> Numbered(size_t n, const std::string& stem = "key:") {
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; ++i) keys.push_back(stem + std::to_string(i));
  return keys;
}

void ExpectAllFound(const KeyIndex& index, const KeyList& keys) {
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(index.Find(keys.key(i), keys), i) << keys.key(i);
  }
  EXPECT_EQ(index.Find("absent", keys), KeyIndex::kNotFound);
  EXPECT_EQ(index.Find("key:", keys), KeyIndex::kNotFound);
  EXPECT_EQ(index.Find(std::string(200, 'x'), keys), KeyIndex::kNotFound);
}

TEST(KeyIndex, FindsEveryKeyAndLaterDuplicatesWin) {
  const LaidOut laid({"b", "", "a", "b", "ab", ""});
  const KeyList& keys = laid.list;
  const KeyIndex index = KeyIndex::Build(keys);
  EXPECT_EQ(index.Find("b", keys), 3u);
  EXPECT_EQ(index.Find("", keys), 5u);
  EXPECT_EQ(index.Find("a", keys), 2u);
  EXPECT_EQ(index.Find("ab", keys), 4u);
  EXPECT_EQ(index.Find("c", keys), KeyIndex::kNotFound);
  EXPECT_EQ(index.Find(std::string_view("a\0", 2), keys), KeyIndex::kNotFound);

  EXPECT_EQ(KeyIndex().Find("", KeyList()), KeyIndex::kNotFound);
  EXPECT_EQ(KeyIndex::Build(KeyList()).Find("", KeyList()), KeyIndex::kNotFound);
}

// Keys of one length share hash and tag here, so only the byte comparison
// tells them apart: one differing byte anywhere, at every length the
// comparison handles by word loads and beyond.
TEST(KeyIndex, EqualHashesAreToldApartByEveryByte) {
  std::vector<std::string> present;
  std::vector<std::string> absent;
  for (size_t len = 0; len <= 24; ++len) {
    const std::string base(len, 'k');
    present.push_back(base);
    for (size_t at : {size_t{0}, len / 2, len - 1}) {
      if (len == 0) break;
      std::string variant = base;
      variant[at] = static_cast<char>('A' + at);
      present.push_back(variant);
      variant[at] = '\xff';
      absent.push_back(variant);
    }
  }
  const LaidOut laid(present);
  const KeyList& keys = laid.list;
  const KeyIndex index = KeyIndex::BuildWithHash(keys, LengthHash);
  ASSERT_FALSE(index.flood_resistant());
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint32_t found = index.Find(keys.key(i), keys);
    ASSERT_NE(found, KeyIndex::kNotFound) << keys.key(i);
    EXPECT_EQ(keys.key(found), keys.key(i));
  }
  for (const std::string& key : absent) EXPECT_EQ(index.Find(key, keys), KeyIndex::kNotFound) << key;
}

// A moved list still reads its keys where they lie, with their offsets,
// by construction and by assignment.
TEST(KeyList, MovedListStillReadsItsKeys) {
  const std::string bytes = "xxkeyyy";
  KeyList viewed(bytes);
  viewed.AppendAt(2, 3, 9);
  viewed.AppendAt(7, 0, 8);
  KeyList moved(std::move(viewed));
  KeyList assigned;
  assigned = std::move(moved);
  ASSERT_EQ(assigned.size(), 2u);
  EXPECT_EQ(assigned.key(0), "key");
  EXPECT_EQ(assigned.key(0).data(), bytes.data() + 2);
  EXPECT_EQ(assigned.record_offset(0), 9u);
  EXPECT_EQ(assigned.key(1), "");
  EXPECT_EQ(assigned.record_offset(1), 8u);
}

TEST(KeyIndex, RandomisedHashKeepsFastPathAndTwoSlotsPerKey) {
  // Enough keys for the list to take its huge-page-aligned buffers.
  const LaidOut laid(Numbered(300'000));
  const KeyList& keys = laid.list;
  const KeyIndex index = KeyIndex::Build(keys);
  EXPECT_FALSE(index.flood_resistant());  // no spurious switch for ordinary keys
  EXPECT_EQ(index.capacity(), 2 * keys.size());
  ExpectAllFound(index, keys);
}

TEST(KeyIndex, CollidingHashSwitchesToSipHashAndStaysFast) {
  for (KeyIndex::HashFn weak : {&ConstantHash, &LengthHash}) {
    const LaidOut laid(Numbered(20'000, "k"));
    const KeyList& keys = laid.list;
    const auto start = std::chrono::steady_clock::now();
    const KeyIndex index = KeyIndex::BuildWithHash(keys, weak);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(index.flood_resistant());
    // Quadratic probing of 20,000 colliding keys takes seconds.
    EXPECT_LT(elapsed, std::chrono::milliseconds(200));
    ExpectAllFound(index, keys);
  }
  // Duplicates among colliding keys still resolve to the last one.
  std::vector<std::string> names = Numbered(500);
  names.push_back("key:7");
  const LaidOut laid(names);
  const KeyList& dups = laid.list;
  const KeyIndex index = KeyIndex::BuildWithHash(dups, &ConstantHash);
  EXPECT_TRUE(index.flood_resistant());
  EXPECT_EQ(index.Find("key:7", dups), 500u);
}

TEST(KeyIndex, FewCollisionsStayOnTheFastHash) {
  // A run shorter than the probe bound is no flood.
  const LaidOut laid(Numbered(KeyIndex::kMaxFastProbe / 2));
  const KeyList& keys = laid.list;
  const KeyIndex index = KeyIndex::BuildWithHash(keys, &ConstantHash);
  EXPECT_FALSE(index.flood_resistant());
  ExpectAllFound(index, keys);
}

}  // namespace
}  // namespace velk
