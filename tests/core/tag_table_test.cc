#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/writer/tag_table.h"

namespace velk::writer {
namespace {

// Every entry is found again under its own hash, and a hash never added is
// not, while the table grows one entry at a time and all at once, entries
// going where a Find for them ended or where the table finds room, for
// hashes that spread, that share one tag (only the caller's comparison
// tells them apart), and that crowd the last slots so that their runs wrap
// around to the first.
TEST(TagTable, EveryEntryIsFoundAcrossGrowth) {
  struct Case {
    const char* name;
    uint64_t (*hash)(std::mt19937_64&, uint32_t);
  };
  const Case cases[] = {
      {"spread", [](std::mt19937_64& rng, uint32_t) -> uint64_t { return rng(); }},
      {"one tag", [](std::mt19937_64&, uint32_t i) -> uint64_t { return 0xfffffffe00000000ULL | i; }},
      {"last homes", [](std::mt19937_64& rng, uint32_t) -> uint64_t { return ~(rng() % 8 << 32) & ~uint64_t{0xffffffff}; }},
  };
  for (const Case& c : cases) {
    for (const bool reserve : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (reserve ? ", reserved" : ""));
      std::mt19937_64 rng(5);
      TagTable table;
      std::vector<uint64_t> hashes;
      auto find = [&](uint64_t hash, uint32_t want) {
        return table.Find(hash, [&](uint32_t e) { return e == want; });
      };
      constexpr uint32_t kEntries = 3000;
      for (uint32_t i = 0; i < kEntries; ++i) {
        if (reserve && i == 100) table.Reserve(kEntries);
        hashes.push_back(c.hash(rng, i));
        // Every other entry goes where its Find ended, a spot that the
        // growth in ReserveOne may have made stale.
        TagTable::Spot spot;
        if (i % 2 == 0) {
          ASSERT_EQ(table.Find(hashes.back(), [](uint32_t) { return false; }, &spot), TagTable::kNone);
        }
        table.ReserveOne();
        table.Insert(hashes.back(), i, spot);
        // Check everything after each growth (and at the end).
        if ((i & (i + 1)) == 0 || i + 1 == kEntries) {
          for (uint32_t e = 0; e <= i; ++e) ASSERT_EQ(find(hashes[e], e), e) << "entry " << e << " of " << i + 1;
          EXPECT_EQ(find(hashes[0], kEntries), TagTable::kNone);  // the tag matches, the entry not
          EXPECT_EQ(find(0x0123456700000000ULL, 0), TagTable::kNone);
        }
      }
    }
  }
}

}  // namespace
}  // namespace velk::writer
