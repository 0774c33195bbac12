// Verify() reads files laid out as the writer lays them in one pass, and
// checks any other file key by key.  Whatever the file, the outcome must be
// that of the key-by-key check, down to which failure is reported first.
#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/reader/store_reader.h"
#include "error_text.h"
#include "store_bytes.h"

namespace velk {
namespace {

using testfiles::CrcOf;
using testfiles::StoreBytes;
using testfiles::TempDir;

// The key-by-key check, written out plainly: each distinct offset once, in
// key order.  The file CRC is assumed right.
std::string KeyByKey(const StoreReader& r, const std::string& file) {
  const uint64_t size = file.size();
  std::set<uint64_t> seen;
  for (size_t i = 0; i < r.entry_count(); ++i) {
    const uint64_t offset = r.offset_at(i);
    if (!seen.insert(offset).second) continue;
    if (offset > size || kRecordHeaderSize > size - offset)
      return "corrupt: object offset " + std::to_string(offset) + " out of bounds";
    auto payload = r.ReadObject(offset);
    if (!payload.ok()) return Text(payload.error());
    if (Crc32(payload.value()) != LoadU32(file.data() + offset + sizeof(uint32_t)))
      return "corrupt: object CRC32 mismatch at offset " + std::to_string(offset);
  }
  return "ok";
}

// The header's claims, checked plainly from the bytes: records end to end
// from the header to the index (to the end without keys), as many as
// num_objects, and index entries up to the end of the file.
std::string HeaderClaims(const std::string& file) {
  const uint64_t size = file.size();
  const uint32_t num_keys = LoadU32(file.data() + kNumKeysOffset);
  const uint64_t index = LoadU64(file.data() + kIndexOffsetOffset);
  const uint64_t data_end = num_keys == 0 ? size : index;
  if (data_end < kHeaderSize) return "corrupt: index offset " + std::to_string(index) + " lies inside the header";
  uint64_t at = kHeaderSize, records = 0;
  for (; at < data_end; ++records) {
    if (data_end - at < 8 || data_end - at - 8 < LoadU32(file.data() + at))
      return "corrupt: object record at " + std::to_string(at) + " runs past the data section end " +
             std::to_string(data_end);
    at += 8 + LoadU32(file.data() + at);
  }
  const uint32_t num_objects = LoadU32(file.data() + kNumObjectsOffset);
  if (records != num_objects)
    return "corrupt: num_objects " + std::to_string(num_objects) + " does not match the " +
           std::to_string(records) + " object records";
  if (num_keys == 0) return "ok";
  for (uint32_t i = 0; i < num_keys; ++i) at += 10 + LoadU16(file.data() + at);
  if (at != size)
    return "corrupt: index entries end at " + std::to_string(at) + ", file ends at " + std::to_string(size);
  return "ok";
}

// Sets the header's file CRC to that of the body as it now stands, so that
// Verify() gets past it to the records.
void FixFileCrc(std::string& file) {
  StoreBE<uint32_t>(file.data() + kFileCrcOffset, CrcOf(std::string_view(file).substr(kHeaderSize)));
}

class VerifyTest : public ::testing::Test {
 protected:
  // Verify()'s text for file (CRC fixed first), checked against KeyByKey
  // and then HeaderClaims; "unopened" when the file does not open.
  std::string VerifyText(std::string file) {
    FixFileCrc(file);
    auto r = StoreReader::Open(dir_.Write("v" + std::to_string(n_++) + ".vlks", file), true);
    if (!r.ok()) return "unopened";
    const auto v = r.value().Verify();
    const std::string got = v.ok() ? "ok" : Text(v.error());
    const std::string by_key = KeyByKey(r.value(), file);
    EXPECT_EQ(got, by_key == "ok" ? HeaderClaims(file) : by_key);
    return got;
  }

  TempDir dir_;
  int n_ = 0;
};

// The reader's window; tests place records around its edges.
constexpr uint64_t kWindow = uint64_t{128} << 10;

// n records of varied sizes (some empty), in shuffled order against the
// keys (or in order, when in_order), with every tenth key sharing another
// key's record.  Returns the record offsets in key order.
std::vector<uint64_t> AddShuffled(StoreBytes& s, size_t n, size_t max_payload,
                                  bool in_order = false) {
  std::mt19937 rng(7);
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < n; ++i) {
    const size_t len = i % 13 == 0 ? 0 : rng() % (max_payload + 1);
    offsets.push_back(s.AddObject(std::string(len, static_cast<char>('a' + i % 26))));
  }
  if (in_order) {
    for (size_t i = 0; i < n; i += 10) offsets[i] = offsets[i + 1 < n ? i + 1 : i];
  } else {
    std::shuffle(offsets.begin(), offsets.end(), rng);
    for (size_t i = 0; i < n; i += 10) offsets[i] = offsets[(i * 7 + 3) % n];
  }
  for (size_t i = 0; i < n; ++i) s.AddKey("k" + std::to_string(100000 + i), offsets[i]);
  return offsets;
}

TEST_F(VerifyTest, CraftedFilesGiveTheKeyByKeyOutcome) {
  // Records across several windows, some straddling their edges.
  StoreBytes big;
  const std::vector<uint64_t> at = AddShuffled(big, 1400, 1000);
  ASSERT_GT(big.Build().size(), 4 * kWindow);
  EXPECT_EQ(VerifyText(big.Build()), "ok");

  // The same with the offsets ascending in key order, which is read
  // window by window straight from the key list: whole, then with one
  // record's CRC damaged in each of the first, a middle and the last
  // window, and with the last key naming the index section.
  StoreBytes ordered;
  const std::vector<uint64_t> in_order = AddShuffled(ordered, 1400, 1000, true);
  const std::string sorted = ordered.Build();
  EXPECT_EQ(VerifyText(sorted), "ok");
  for (uint64_t off : {in_order[1], in_order[700], in_order.back()}) {
    std::string file = sorted;
    file[off + sizeof(uint32_t)] ^= 1;
    EXPECT_EQ(VerifyText(file),
              "corrupt: object CRC32 mismatch at offset " + std::to_string(off));
  }
  {
    std::string file = sorted;
    const uint64_t index = LoadU64(file.data() + kIndexOffsetOffset);
    StoreBE<uint64_t>(file.data() + file.size() - sizeof(uint64_t), index);
    EXPECT_NE(VerifyText(file), "ok");
  }

  // A record no key names may be damaged: only named records are checked.
  StoreBytes unnamed;
  const uint64_t a = unnamed.AddObject("fine");
  unnamed.AddObject("never named", 0xdeadbeef);
  unnamed.AddKey("a", a);
  EXPECT_EQ(VerifyText(unnamed.Build()), "ok");

  // A key naming a well-formed record hidden inside another one's payload
  // is fine, though the record chain never meets it.
  std::string inner(8, '\0');
  StoreBE<uint32_t>(inner.data(), 3);
  StoreBE<uint32_t>(inner.data() + 4, CrcOf("xyz"));
  inner += "xyz";
  StoreBytes hidden;
  const uint64_t outer = hidden.AddObject("<" + inner + ">");
  hidden.AddKey("a", outer).AddKey("b", outer + kRecordHeaderSize + 1);
  EXPECT_EQ(VerifyText(hidden.Build()), "ok");

  // Bytes between the records and the index: every record checks out, but
  // the records do not end where the index starts.
  std::string gap = hidden.Build();
  const uint64_t index_offset = LoadU64(gap.data() + kIndexOffsetOffset);
  gap.insert(index_offset, "12345");
  StoreBE<uint64_t>(gap.data() + kIndexOffsetOffset, index_offset + 5);
  EXPECT_EQ(VerifyText(gap), "corrupt: object record at " + std::to_string(index_offset) +
                                 " runs past the data section end " + std::to_string(index_offset + 5));

  // A key naming garbage in the second window, where a record starts at
  // the same place in the window as a named one in the first window did.
  StoreBytes aligned;
  const uint64_t first = aligned.AddObject("");
  aligned.AddObject(std::string(kWindow - 2 * kRecordHeaderSize, 'b'));
  const uint64_t second = aligned.AddObject("c");
  ASSERT_EQ(second - first, kWindow);
  const uint64_t garbage = aligned.AddObject(std::string(16, '\xff')) + kRecordHeaderSize + 1;
  aligned.AddKey("a", first).AddKey("b", garbage);
  EXPECT_EQ(VerifyText(aligned.Build()),
            "corrupt: object at " + std::to_string(garbage) + " extends beyond file end");

  // Damage in a late window named early in key order, and in an early
  // window named later: the first in key order is reported.
  std::string damaged = big.Build();
  const uint64_t late = *std::max_element(at.begin(), at.end());
  const uint64_t early = at[1];
  ASSERT_NE(early, late);
  for (uint64_t off : {late, early}) damaged[off + sizeof(uint32_t)] ^= 1;  // the stored CRC
  const size_t first_named = std::min(std::find(at.begin(), at.end(), late) - at.begin(),
                                      std::find(at.begin(), at.end(), early) - at.begin());
  EXPECT_EQ(VerifyText(damaged), "corrupt: object CRC32 mismatch at offset " +
                                     std::to_string(at[first_named]));

}

// The header lies outside the file CRC: a changed count or index offset
// must still fail verification, each with its own message.
TEST_F(VerifyTest, HeaderClaimsAreCheckedAgainstTheSections) {
  StoreBytes s;
  const uint64_t abc = s.AddObject("abc"), empty = s.AddObject(""), de = s.AddObject("de");
  s.AddKey("a", abc).AddKey("ab", empty).AddKey("b", de);
  const std::string base = s.Build();
  const uint64_t index = LoadU64(base.data() + kIndexOffsetOffset);
  const std::string size = std::to_string(base.size());
  ASSERT_EQ(VerifyText(base), "ok");

  auto with = [&](size_t field, uint64_t value, size_t width) {
    std::string file = base;
    width == 4 ? StoreBE<uint32_t>(file.data() + field, static_cast<uint32_t>(value))
               : StoreBE<uint64_t>(file.data() + field, value);
    return file;
  };
  const std::string past_first = with(kIndexOffsetOffset, index + 11, 8);  // skips the entry of "a"
  const std::pair<std::string, std::string> cases[] = {
      {with(kNumKeysOffset, 2, 4), "index entries end at " + std::to_string(base.size() - 11) + ", file ends at " + size},
      {with(kNumObjectsOffset, 0xFFFFFFFF, 4), "num_objects 4294967295 does not match the 3 object records"},
      {with(kNumObjectsOffset, 2, 4), "num_objects 2 does not match the 3 object records"},
      {with(kNumKeysOffset, 2, 4).replace(kIndexOffsetOffset, 8, past_first.substr(kIndexOffsetOffset, 8)),
       "object record at " + std::to_string(index) + " runs past the data section end " + std::to_string(index + 11)},
      {with(kNumKeysOffset, 0, 4),
       "object record at " + std::to_string(index) + " runs past the data section end " + size},
  };
  for (const auto& [file, message] : cases) EXPECT_EQ(VerifyText(file), "corrupt: " + message);

  // Without keys the records run to the end of the file, whatever the
  // index offset says.
  StoreBytes keyless;
  keyless.AddObject("x");
  std::string file = keyless.Build();
  StoreBE<uint64_t>(file.data() + kIndexOffsetOffset, 7);
  EXPECT_EQ(VerifyText(file), "ok");
  file += '\0';
  EXPECT_EQ(VerifyText(file), "corrupt: object record at 49 runs past the data section end 50");
}

// Files of 32 MiB and more have their whole-file CRC taken on a second
// thread while the records are checked: both checks still report.
TEST_F(VerifyTest, LargeFilesCheckTheFileCrcAlongsideTheRecords) {
  StoreBytes big;
  const std::vector<uint64_t> at = AddShuffled(big, 45000, 1800);
  std::string file = big.Build();
  ASSERT_GE(file.size(), (size_t{32} << 20) + kHeaderSize);
  EXPECT_EQ(VerifyText(file), "ok");
  std::string damaged = file;
  damaged[at[20000] + sizeof(uint32_t)] ^= 1;
  EXPECT_NE(VerifyText(damaged), "ok");

  FixFileCrc(file);
  file[file.size() / 2] ^= 1;
  auto r = StoreReader::Open(dir_.Write("crc.vlks", file), false);
  ASSERT_TRUE(r.ok());
  const auto v = r.value().Verify();
  ASSERT_FALSE(v.ok());
  EXPECT_EQ(Text(v.error()).rfind("corrupt: file CRC32 mismatch", 0), 0u) << Text(v.error());
}

// A large file is checked in runs of windows shared by two threads, and a
// long key list grouped by two: damage to the records around the middle
// (where two runs meet and a walk enters the chain) gives the key-by-key
// outcome, with keys in file order and shuffled.
TEST_F(VerifyTest, LargeFilesCheckedInRunsGiveTheKeyByKeyOutcome) {
  for (bool in_order : {false, true}) {
    StoreBytes big;
    std::vector<uint64_t> at = AddShuffled(big, 270000, 250, in_order);
    const std::string file = big.Build();
    ASSERT_GE(file.size(), (size_t{32} << 20) + kHeaderSize);
    EXPECT_EQ(VerifyText(file), "ok");

    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    const uint64_t windows = (file.size() - kHeaderSize + kWindow - 1) / kWindow;
    const uint64_t middle = kHeaderSize + windows / 2 * kWindow;
    const auto first_after = std::lower_bound(at.begin(), at.end(), middle) - at.begin();
    // The length of the records on either side of the middle, and the
    // stored CRC of the first one after it.
    for (const auto& [i, byte] : {std::pair{first_after - 1, 3}, {first_after, 3}, {first_after, 7}}) {
      std::string damaged = file;
      damaged[at[static_cast<size_t>(i)] + static_cast<size_t>(byte)] ^= 0x10;
      VerifyText(damaged);
    }
  }
}

TEST_F(VerifyTest, DamagedRecordsAndOffsetsGiveTheKeyByKeyOutcome) {
  // Every byte of every record header and of every key's offset, set to a
  // few values, in a small file and around the window edges of a large one.
  StoreBytes small;
  AddShuffled(small, 12, 20);
  const std::string base = small.Build();
  const uint64_t index_offset = LoadU64(base.data() + kIndexOffsetOffset);
  std::vector<size_t> positions;
  for (size_t p = kHeaderSize; p < index_offset; ++p) positions.push_back(p);
  for (size_t p = index_offset; p + 8 <= base.size();) {
    const size_t key_len = LoadU16(base.data() + p);
    for (size_t k = 0; k < 8; ++k) positions.push_back(p + 2 + key_len + k);
    p += 2 + key_len + 8;
  }
  for (size_t p : positions) {
    for (char v : {'\x00', '\x01', '\x08', '\x7f', '\xff'}) {
      std::string file = base;
      if (file[p] == v) continue;
      file[p] = v;
      VerifyText(file);
    }
  }

  StoreBytes big;
  const std::vector<uint64_t> at = AddShuffled(big, 1400, 1000);
  const std::string large = big.Build();
  std::set<uint64_t> near_edges;
  for (uint64_t off : at) {
    if ((off - kHeaderSize) % kWindow > kWindow - 2000 || (off - kHeaderSize) % kWindow < 1000)
      near_edges.insert(off);
  }
  ASSERT_GE(near_edges.size(), 4u);
  for (uint64_t off : near_edges) {
    for (size_t byte : {size_t{2}, size_t{3}, size_t{7}}) {  // length, stored CRC
      std::string file = large;
      file[off + byte] ^= 0x10;
      VerifyText(file);
    }
  }
}

}  // namespace
}  // namespace velk
