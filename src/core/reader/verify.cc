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
  // False when an offset lies outside the records.
  bool Group(const KeyList& keys, uint64_t index_offset, size_t windows) {
    // One pass over the key list: bounds, order and the count per window.
    first_.assign(windows + 1, 0);
    bool ascending = true;
    uint64_t previous = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint64_t offset = keys.record_offset(i);
      if (offset < kHeaderSize || offset >= index_offset) return false;
      ascending &= offset >= previous;
      previous = offset;
      ++first_[(offset - kHeaderSize) / kWindow + 1];
    }
    for (size_t w = 0; w < windows; ++w) first_[w + 1] += first_[w];
    if (ascending) return true;

    positions_ = std::make_unique_for_overwrite<uint32_t[]>(keys.size());
    std::vector<size_t> next(first_.begin(), first_.end() - 1);
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint64_t at = keys.record_offset(i) - kHeaderSize;
      positions_[next[at / kWindow]++] = static_cast<uint32_t>(at % kWindow);
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
  std::vector<size_t> first_;  // windows + 1 run starts
  std::unique_ptr<uint32_t[]> positions_;  // null when the key list is in order
};

OnePass CheckInOnePass(Bytes file, uint64_t index_offset, const KeyList& keys) {
  const std::byte* data = file.data();
  const uint64_t size = file.size();  // at least kHeaderSize: the header decoded
  const size_t windows = static_cast<size_t>((size - kHeaderSize + kWindow - 1) / kWindow);
  KeysByWindow grouped;
  bool ok = index_offset <= size && grouped.Group(keys, index_offset, windows);

  // One bit per byte of the current window: the record starts keys name.
  // The walk clears each bit it meets, so a window that checks out leaves
  // the bitmap clear for the next; after one that does not, it is unused.
  std::vector<uint64_t> named(kWindow / 64);
  uint64_t next = kHeaderSize;  // start of the next record of the chain
  // A large file's whole-file CRC runs on a second thread while this one
  // walks the records; a small one's is taken here, window by window.
  uint32_t crc = 0;
  std::optional<HelperThread> whole;
  if (size - kHeaderSize >= kWideCrcMinBytes) {
    whole.emplace([&crc, file] { crc = Crc32(file.subspan(kHeaderSize)); });
  }
  for (size_t w = 0; w < windows; ++w) {
    const uint64_t begin = kHeaderSize + w * kWindow;
    const uint64_t end = std::min(size, begin + kWindow);
    if (!whole) crc = Crc32(file.subspan(begin, end - begin), crc);
    if (!ok) {
      if (whole) break;
      continue;
    }
    if (whole) {
      // Nothing else reads the window ahead of the walk here: start
      // loading the next one so the walk's dependent loads hit the cache.
      const uint64_t ahead_end = std::min(size, end + kWindow);
      for (uint64_t at = end; at < ahead_end; at += 64) __builtin_prefetch(data + at);
    }

    size_t distinct = 0;
    for (size_t j = grouped.begin(w); j < grouped.end(w); ++j) {
      const uint64_t at = grouped.Position(keys, j, begin);
      const uint64_t bit = uint64_t{1} << (at % 64);
      uint64_t& word = named[at / 64];
      distinct += (word & bit) == 0;
      word |= bit;
    }
    size_t checked = 0;
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
    if (checked != distinct) ok = false;
  }
  if (whole) whole->Wait();
  return {crc, ok};
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
        return StoreError::Corrupt("object offset " + std::to_string(offset) + " out of bounds");
      case RecordFault::kLength: return RecordError(offset);
    }
    if (Crc32(payload) != StoredRecordCrc(data, offset))
      return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
  }
  return CheckHeaderClaims(map_.bytes(), num_keys_, num_objects_, index_offset_, keys_);
}

}  // namespace velk
