// Deep verification: the whole-file CRC, then every distinct object's CRC.
//
// The writer lays the records end to end from the header to the index
// section.  The quick check reads the file once, in order, a window at a
// time: it adds the window to the whole-file CRC, then walks the record
// chain through it and checks the CRC of each record a key names while the
// window is still in cache.  That replaces a second pass over the file and
// one random read (and one hash probe) per key.  When a key names anything
// but a well-formed record of the chain with a matching CRC, the per-key
// check runs instead and reports the first failure in key order, so the
// outcome and its message never depend on which check ran.  Last come the
// header's claims about the layout, which no checksum covers.
#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/base/helper_thread.h"
#include "core/reader/header_claims.h"
#include "core/reader/offset_map.h"
#include "core/reader/store_reader.h"

namespace velk {
namespace {

// Small enough for the window to stay in the second-level cache between
// the whole-file CRC and the record checks, large enough to make the
// per-window work negligible.  (Measured on 1M records of 100 bytes:
// 128 KiB beats 256 KiB by about 4%; from 512 KiB on it gets slower.)
constexpr uint64_t kWindow = uint64_t{128} << 10;

// The runs of windows two threads share in a large file: enough for the
// threads to even out an unequal share of the processor, few enough that
// the start of each walk is a negligible cost.
constexpr size_t kRuns = 16;

struct OnePass {
  uint32_t file_crc;  // CRC-32 of every byte from kHeaderSize on
  bool records_ok;    // every key names a chain record with a matching CRC
};

// The record offsets keys name, grouped by the window they fall in.  When
// the offsets ascend in key order (keys added in key order, or a writer
// that lays records out that way), each window's keys are already a run of
// the key list and are read from it in place; otherwise their positions
// inside the window are gathered into one array, window by window.
class KeysByWindow {
 public:
  // False when an offset lies outside the records.  A long key list is
  // grouped by two threads, each taking half of the keys: a counting sort
  // reads the list twice and scatters into hundreds of runs, which keeps a
  // single thread well below the memory's bandwidth.
  bool Group(const KeyList& keys, uint64_t index_offset, size_t windows) {
    const size_t n = keys.size();
    const size_t half = n >= kTwoThreadKeys ? n / 2 : n;
    Part a{0, half, std::vector<size_t>(windows + 1, 0)};
    Part b{half, n, std::vector<size_t>(windows + 1, 0)};
    {
      std::optional<HelperThread> helper;
      if (b.begin < b.end) helper.emplace([&] { Count(keys, index_offset, &b); });
      Count(keys, index_offset, &a);
    }
    if (!a.in_bounds || !b.in_bounds) return false;
    // The halves ascend, and the first's last offset is not above the second's first.
    const bool ascending = a.ascending && b.ascending &&
                           (b.begin == b.end || a.begin == a.end ||
                            keys.record_offset(a.end - 1) <= keys.record_offset(b.begin));
    first_.assign(windows + 1, 0);
    for (size_t w = 0; w < windows; ++w) first_[w + 1] = first_[w] + a.counts[w + 1] + b.counts[w + 1];
    if (ascending) return true;

    // Within a window the keys of the first half come first.
    positions_ = std::make_unique_for_overwrite<uint32_t[]>(n);
    for (size_t w = 0; w < windows; ++w) {
      b.counts[w + 1] = first_[w] + a.counts[w + 1];
      a.counts[w + 1] = first_[w];
    }
    {
      std::optional<HelperThread> helper;
      if (b.begin < b.end) helper.emplace([&] { Scatter(keys, &b); });
      Scatter(keys, &a);
    }
    return true;
  }

  // The keys of window w are [begin(w), end(w)); Position(j, start) is the
  // place of the j-th inside the window, which starts at file offset start.
  size_t begin(size_t w) const { return first_[w]; }
  size_t end(size_t w) const { return first_[w + 1]; }
  uint64_t Position(const KeyList& keys, size_t j, uint64_t start) const {
    return positions_ ? positions_[j] : keys.record_offset(j) - start;
  }

 private:
  // Below this many keys one thread groups them all.
  static constexpr size_t kTwoThreadKeys = size_t{1} << 18;

  // The keys [begin, end) of the list.  counts[w + 1] is the number in
  // window w after Count, the next place of window w during Scatter.
  struct Part {
    size_t begin;
    size_t end;
    std::vector<size_t> counts;
    bool in_bounds = true;
    bool ascending = true;
  };

  static void Count(const KeyList& keys, uint64_t index_offset, Part* part) {
    uint64_t previous = 0;
    for (size_t i = part->begin; i < part->end; ++i) {
      const uint64_t offset = keys.record_offset(i);
      if (offset < kHeaderSize || offset >= index_offset) {
        part->in_bounds = false;
        return;
      }
      part->ascending &= offset >= previous;
      previous = offset;
      ++part->counts[(offset - kHeaderSize) / kWindow + 1];
    }
  }

  void Scatter(const KeyList& keys, Part* part) {
    for (size_t i = part->begin; i < part->end; ++i) {
      const uint64_t at = keys.record_offset(i) - kHeaderSize;
      positions_[part->counts[at / kWindow + 1]++] = static_cast<uint32_t>(at % kWindow);
    }
  }

  std::vector<size_t> first_;  // windows + 1 run starts
  std::unique_ptr<uint32_t[]> positions_;  // null when the key list is in order
};

// One walk of the record chain over a run of windows.
struct Walk {
  uint64_t next;      // start of the next record of the chain
  bool ok;            // every key named so far is a chain record with a matching CRC
  uint32_t crc = 0;   // CRC-32 of the run's bytes
};

// One bit per byte of a window: the record starts keys name.
using WindowBits = std::array<uint64_t, kWindow / 64>;

// Adds the bytes of windows [w_begin, w_end) to walk->crc and, while each
// window is in cache, walks the chain through it and checks the CRC of
// every record a key names there.  Allocates nothing, so that it can run
// on a helper thread.
void WalkWindows(Bytes file, uint64_t index_offset, const KeyList& keys, const KeysByWindow& grouped,
                 size_t w_begin, size_t w_end, Walk* walk, WindowBits& named) {
  const std::byte* data = file.data();
  // The walk clears each bit it meets, so a window that checks out leaves
  // the bitmap clear for the next; after one that does not, it is unused
  // until the next call, which starts from a clear one.
  named.fill(0);
  for (size_t w = w_begin; w < w_end; ++w) {
    const uint64_t begin = kHeaderSize + w * kWindow;
    const uint64_t end = std::min<uint64_t>(file.size(), begin + kWindow);
    walk->crc = Crc32(file.subspan(begin, end - begin), walk->crc);
    if (!walk->ok) continue;

    size_t distinct = 0;
    for (size_t j = grouped.begin(w); j < grouped.end(w); ++j) {
      const uint64_t at = grouped.Position(keys, j, begin);
      const uint64_t bit = uint64_t{1} << (at % 64);
      uint64_t& word = named[at / 64];
      distinct += (word & bit) == 0;
      word |= bit;
    }
    size_t checked = 0;
    uint64_t next = walk->next;
    while (next < std::min(end, index_offset)) {
      Bytes payload;
      if (LocateRecord(data, index_offset, next, &payload) != RecordFault::kNone) break;
      const uint64_t at = next - begin;
      const uint64_t bit = uint64_t{1} << (at % 64);
      uint64_t& word = named[at / 64];
      if (word & bit) {
        word &= ~bit;
        if (Crc32(payload) != StoredRecordCrc(data, next)) break;
        ++checked;
      }
      next += kRecordHeaderSize + payload.size();
    }
    // A record that breaks the chain (or fails its CRC) ends the walk; the
    // keys that name it or anything after it are left unchecked.
    if (next < std::min(end, index_offset)) next = index_offset;
    walk->next = next;
    if (checked != distinct) walk->ok = false;
  }
}

OnePass CheckInOnePass(Bytes file, uint64_t index_offset, const KeyList& keys) {
  const uint64_t size = file.size();  // at least kHeaderSize: the header decoded
  const size_t windows = static_cast<size_t>((size - kHeaderSize + kWindow - 1) / kWindow);
  KeysByWindow grouped;
  const bool grouped_ok = index_offset <= size && grouped.Group(keys, index_offset, windows);
  // One bitmap for each of the two threads.
  const auto bits = std::make_unique<WindowBits[]>(2);
  if (size - kHeaderSize < kWideCrcMinBytes) {
    Walk whole{kHeaderSize, grouped_ok};
    WalkWindows(file, index_offset, keys, grouped, 0, windows, &whole, bits[0]);
    return {whole.crc, whole.ok};
  }

  // A large file is cut into runs of windows that two threads take in
  // turn, so that the work follows whichever thread the machine lets run:
  // one thread reading memory falls well short of what the memory system
  // delivers to two, and the CRCs of the records are the larger part of
  // the work.  A walk enters the chain at the first record a key names in
  // its run.  Any entry point is sound: a walk checks only the records it
  // reaches, and a named record it does not reach fails the quick check.
  const size_t runs = std::min<size_t>(kRuns, windows);
  std::vector<Walk> walks(runs, Walk{index_offset, grouped_ok});
  walks[0].next = kHeaderSize;
  auto first_window = [&](size_t run) { return windows * run / runs; };
  for (size_t run = 1; grouped_ok && run < runs; ++run) {
    // No key names a record of the run: its walk has nothing to check.
    for (size_t w = first_window(run); w < first_window(run + 1) && walks[run].next == index_offset; ++w) {
      const uint64_t begin = kHeaderSize + w * kWindow;
      for (size_t j = grouped.begin(w); j < grouped.end(w); ++j) {
        walks[run].next = std::min(walks[run].next, begin + grouped.Position(keys, j, begin));
      }
    }
  }
  std::atomic<size_t> taken{0};
  auto work = [&](WindowBits& named) {
    for (size_t run; (run = taken.fetch_add(1, std::memory_order_relaxed)) < runs;) {
      WalkWindows(file, index_offset, keys, grouped, first_window(run), first_window(run + 1), &walks[run],
                  named);
    }
  };
  {
    HelperThread helper([&] { work(bits[1]); });
    work(bits[0]);
  }
  OnePass pass{0, true};
  for (size_t run = 0; run < runs; ++run) {
    const uint64_t begin = kHeaderSize + first_window(run) * kWindow;
    const uint64_t end = std::min(size, kHeaderSize + first_window(run + 1) * kWindow);
    pass.file_crc = Crc32Combine(pass.file_crc, walks[run].crc, end - begin);
    pass.records_ok &= walks[run].ok;
  }
  return pass;
}

}  // namespace

Result<void> StoreReader::Verify() const {
  const OnePass pass = CheckInOnePass(map_.bytes(), index_offset_, keys_);
  VELK_TRY(CompareFileCrc(pass.file_crc));
  if (pass.records_ok) return CheckHeaderClaims(map_.bytes(), num_keys_, num_objects_, index_offset_, keys_);

  const uint64_t size = map_.size();
  const std::byte* data = map_.bytes().data();
  // Each distinct offset once, in key order.
  OffsetMap seen(std::min<size_t>(keys_.size(), num_objects_));
  for (size_t i = 0; i < keys_.size(); ++i) {
    const uint64_t offset = keys_.record_offset(i);
    if (!seen.FindOrInsert(offset, static_cast<uint32_t>(i)).second) continue;
    Bytes payload;
    switch (LocateRecord(data, size, offset, &payload)) {
      case RecordFault::kNone: break;
      // Verification names the offset's fault in words of its own; a
      // payload past the end reads as it does for a lookup.
      case RecordFault::kOffset:
        return StoreError(Reason::kOutOfBounds, "object offset " + std::to_string(offset) + " out of bounds");
      case RecordFault::kLength: return RecordError(offset);
    }
    if (Crc32(payload) != StoredRecordCrc(data, offset))
      return StoreError(Reason::kObjectCrc, "object CRC32 mismatch at offset " + std::to_string(offset));
  }
  return CheckHeaderClaims(map_.bytes(), num_keys_, num_objects_, index_offset_, keys_);
}

}  // namespace velk
