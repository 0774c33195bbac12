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

KeyList MakeKeys(size_t n, const std::string& stem = "key:") {
  KeyList keys;
  for (size_t i = 0; i < n; ++i) keys.Append(stem + std::to_string(i));
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
  KeyList keys;
  for (const char* k : {"b", "", "a", "b", "ab", ""}) keys.Append(k);
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
  KeyList keys;
  std::vector<std::string> absent;
  for (size_t len = 0; len <= 24; ++len) {
    const std::string base(len, 'k');
    keys.Append(base);
    for (size_t at : {size_t{0}, len / 2, len - 1}) {
      if (len == 0) break;
      std::string variant = base;
      variant[at] = static_cast<char>('A' + at);
      keys.Append(variant);
      variant[at] = '\xff';
      absent.push_back(variant);
    }
  }
  const KeyIndex index = KeyIndex::BuildWithHash(keys, LengthHash);
  ASSERT_FALSE(index.flood_resistant());
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint32_t found = index.Find(keys.key(i), keys);
    ASSERT_NE(found, KeyIndex::kNotFound) << keys.key(i);
    EXPECT_EQ(keys.key(found), keys.key(i));
  }
  for (const std::string& key : absent) EXPECT_EQ(index.Find(key, keys), KeyIndex::kNotFound) << key;
}

// A list that owns its keys keeps them readable when moved, short keys
// (held inside the string object itself) included.
TEST(KeyList, MovedOwnedListStillReadsItsKeys) {
  KeyList a;
  a.Append("ab", 7);
  a.Append("", 8);
  KeyList b(std::move(a));
  KeyList c;
  c = std::move(b);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c.key(0), "ab");
  EXPECT_EQ(c.record_offset(0), 7u);
  EXPECT_EQ(c.key(1), "");
  const std::string bytes = "xxkeyyy";
  KeyList viewed(bytes);
  viewed.AppendAt(2, 3, 9);
  KeyList moved(std::move(viewed));
  EXPECT_EQ(moved.key(0), "key");
  EXPECT_EQ(moved.key(0).data(), bytes.data() + 2);
}

TEST(KeyIndex, RandomisedHashKeepsFastPathAndTwoSlotsPerKey) {
  // Enough keys for the list to take its huge-page-aligned buffers.
  const KeyList keys = MakeKeys(300'000);
  const KeyIndex index = KeyIndex::Build(keys);
  EXPECT_FALSE(index.flood_resistant());  // no spurious switch for ordinary keys
  EXPECT_EQ(index.capacity(), 2 * keys.size());
  ExpectAllFound(index, keys);
}

TEST(KeyIndex, CollidingHashSwitchesToSipHashAndStaysFast) {
  for (KeyIndex::HashFn weak : {&ConstantHash, &LengthHash}) {
    const KeyList keys = MakeKeys(20'000, "k");
    const auto start = std::chrono::steady_clock::now();
    const KeyIndex index = KeyIndex::BuildWithHash(keys, weak);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(index.flood_resistant());
    // Quadratic probing of 20,000 colliding keys takes seconds.
    EXPECT_LT(elapsed, std::chrono::milliseconds(200));
    ExpectAllFound(index, keys);
  }
  // Duplicates among colliding keys still resolve to the last one.
  KeyList dups = MakeKeys(500);
  dups.Append("key:7");
  const KeyIndex index = KeyIndex::BuildWithHash(dups, &ConstantHash);
  EXPECT_TRUE(index.flood_resistant());
  EXPECT_EQ(index.Find("key:7", dups), 500u);
}

TEST(KeyIndex, FewCollisionsStayOnTheFastHash) {
  // A run shorter than the probe bound is no flood.
  const KeyList keys = MakeKeys(KeyIndex::kMaxFastProbe / 2);
  const KeyIndex index = KeyIndex::BuildWithHash(keys, &ConstantHash);
  EXPECT_FALSE(index.flood_resistant());
  ExpectAllFound(index, keys);
}

}  // namespace
}  // namespace velk
