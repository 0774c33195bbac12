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
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/base/helper_thread.h"
#include "core/format/extension.h"
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

namespace {

// Keys strictly ascending: scans and the lookup rely on it.
Result<void> CheckKeyOrder(const KeyList& keys) {
  for (size_t i = 1; i < keys.size(); ++i) {
    if (!KeyLess(keys.key(i - 1), keys.key(i)))
      return StoreError::Corrupt("index entries out of key order at entry " + std::to_string(i));
  }
  return {};
}

// Each section of the extension area equals what the entries give, each
// of its records carries the CRC of its bytes, and no entry names one of
// them (a reader through the lookup index refuses such a key).
Result<void> CheckExtension(Bytes file, const Header& header, const Directory& dir, const KeyList& keys) {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys.record_offset(i) >= dir.extension_start)
      return StoreError::Corrupt("index entry " + std::to_string(i) + " names a record of the extension area");
  }
  const Bytes index = file.subspan(header.index_offset);
  const SectionDescriptor* lookup = dir.Find(SectionKind::kLookup);
  if (lookup == nullptr) return StoreError::Corrupt("lookup index does not match the index entries");
  // The layout the file's lookup section says it has (a damaged field
  // gives other bytes, which then do not match).
  Bytes head;
  const uint16_t layout =
      LocateRecord(file.data(), header.index_offset, lookup->first_record, &head) == RecordFault::kNone
          ? LookupLayoutOf(head)
          : kLookupLayout;
  const ExtensionSections expected =
      BuildExtensionSections(index, header.num_keys, lookup->first_record, layout == 0 ? 0 : kLookupLayout);
  const std::pair<SectionKind, const std::vector<std::byte>*> wanted[] = {
      {SectionKind::kLookup, &expected.lookup}, {SectionKind::kIndexCrcs, &expected.index_crcs}};
  for (const auto& [kind, bytes] : wanted) {
    const SectionDescriptor* s = dir.Find(kind);
    if (s == nullptr || s->length != bytes->size() ||
        (kind == SectionKind::kIndexCrcs && s->parameter != kIndexCheckBlock))
      return StoreError::Corrupt("lookup index does not match the index entries");
    for (uint64_t r = 0; r < s->record_count(); ++r) {
      const uint64_t at = s->first_record + r * (kRecordHeaderSize + s->record_size);
      const uint64_t from = r * s->record_size;
      Bytes payload;
      if (LocateRecord(file.data(), header.index_offset, at, &payload) != RecordFault::kNone ||
          payload.size() != std::min<uint64_t>(s->record_size, s->length - from))
        return StoreError::Corrupt("extension record at " + std::to_string(at) + " is malformed");
      if (Crc32(payload) != StoredRecordCrc(file.data(), at))
        return StoreError(Reason::kObjectCrc, "object CRC32 mismatch at offset " + std::to_string(at));
      if (std::memcmp(payload.data(), bytes->data() + from, payload.size()) != 0)
        return StoreError::Corrupt("lookup index does not match the index entries");
    }
  }
  return {};
}

}  // namespace

Result<void> StoreReader::Verify() const {
  // Read through the lookup index, the reader holds no key list: one is
  // read for the check, each entry's block checked on the way.
  KeyList loaded;
  if (lazy_) {
    loaded = KeyList(AsChars(map_.bytes()));
    loaded.Reserve(lazy_->num_keys());
    uint64_t pos = 0;
    for (uint32_t i = 0; i < lazy_->num_keys(); ++i) {
      auto e = lazy_->EntryAt(pos);
      if (!e.ok()) return std::move(e).error();
      loaded.AppendAt(index_offset_ + pos + sizeof(uint16_t), e.value().key.size(), e.value().record);
      pos = e.value().next;
    }
  }
  const KeyList& keys = lazy_ ? loaded : keys_;
  VELK_TRY(VerifyEntries(keys));
  VELK_TRY(CheckKeyOrder(keys));

  Header header;
  header.num_keys = num_keys_;
  header.num_objects = num_objects_;
  header.index_offset = index_offset_;
  auto located = LocateDirectory(map_.bytes(), header);
  // The base layout's reader takes the reserved header bytes for what they
  // are: a file whose flag leads nowhere is just a file without the index.
  if (!located.ok()) return strict_extension_ ? Result<void>(std::move(located).error()) : Result<void>();
  if (!located.value()) return {};
  auto dir = ReadDirectory(map_.bytes(), header, *located.value());
  if (!dir.ok()) return strict_extension_ ? Result<void>(std::move(dir).error()) : Result<void>();
  VELK_TRY(CheckExtension(map_.bytes(), header, dir.value(), keys));
  return CheckValues(keys);
}

// In a file of compressed values, every value a key names must decompress:
// a wrapper damaged under a CRC made to fit passes every check above, and
// would fail each read of its keys.
Result<void> StoreReader::CheckValues(const KeyList& keys) const {
  if (!values_.compressed()) return {};
  const std::byte* data = map_.bytes().data();
  OffsetMap seen(std::min<size_t>(keys.size(), num_objects_));
  DecodeBuffer scratch;
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint64_t offset = keys.record_offset(i);
    if (!seen.FindOrInsert(offset, static_cast<uint32_t>(i)).second) continue;
    Bytes payload;
    if (LocateRecord(data, records_end_, offset, &payload) != RecordFault::kNone) return RecordError(offset);
    if (!values_.Decode(payload, &scratch).ok())
      return StoreError::Corrupt("damaged compressed value at offset " + std::to_string(offset));
  }
  return {};
}

Result<void> StoreReader::VerifyEntries(const KeyList& keys) const {
  const OnePass pass = CheckInOnePass(map_.bytes(), index_offset_, keys);
  VELK_TRY(CompareFileCrc(pass.file_crc));
  if (pass.records_ok) return CheckHeaderClaims(map_.bytes(), num_keys_, num_objects_, index_offset_, keys);

  const uint64_t size = map_.size();
  const std::byte* data = map_.bytes().data();
  // Each distinct offset once, in key order.
  OffsetMap seen(std::min<size_t>(keys.size(), num_objects_));
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint64_t offset = keys.record_offset(i);
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
  return CheckHeaderClaims(map_.bytes(), num_keys_, num_objects_, index_offset_, keys);
}

}  // namespace velk
