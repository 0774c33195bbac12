// An open store file: a read-only mapping plus the key index, key list and
// offset list loaded from its index section.  Immutable after Open(), so one
// instance may be read from many threads at once.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/status.h"
#include "core/format/format.h"
#include "core/reader/key_index.h"
#include "core/reader/key_list.h"
#include "core/reader/lazy_index.h"
#include "core/reader/mapping.h"
#include "core/reader/value_decoder.h"

namespace velk {

// What an open checks of the whole file.
enum class OpenCheck : uint8_t {
  kNone,           // the header only
  kWholeFile,      // the whole-file CRC, before anything else is trusted
  kUnlessIndexed,  // the whole-file CRC for a file without the lookup index;
                   // a file with one is checked lazily, as it is read
};

class StoreReader {
 public:
  // Opens, maps and checks path, then loads the index.  With verify, the
  // whole-file CRC is compared before the index is parsed.  Reads the index
  // section into memory whatever the file carries.
  static Result<StoreReader> Open(std::string path, bool verify);
  // The same, but a file that carries the lookup index is read through it:
  // nothing is loaded, and every byte an answer rests on (index blocks,
  // lookup records, the object's record) is checked against its CRC before
  // it is used.  A file without it is loaded as by Open.
  static Result<StoreReader> OpenIndexed(std::string path, OpenCheck check);

  StoreReader(StoreReader&&) noexcept = default;
  StoreReader& operator=(StoreReader&&) noexcept = default;
  StoreReader(const StoreReader&) = delete;
  StoreReader& operator=(const StoreReader&) = delete;

  // Exact lookup: the key's payload, nullopt when the file has no such key,
  // or the fault of a damaged index entry or record, as found on the way
  // (so no caller ever looks twice to say what is wrong).  Inline: it is
  // the hot path of every face; the faults are built out of line.
  [[gnu::always_inline]] Result<std::optional<Bytes>> Get(std::string_view key) const {
    Bytes payload;
    std::optional<StoreError> fault;
    return AsResult(Lookup(key, &payload, &fault), payload, &fault);
  }
  // What a lookup found for one key.
  enum class Found : uint8_t { kFound, kAbsent, kDamaged };
  // Get for the faces' hot paths, with nothing but the payload's view on
  // the way out: kFound with *payload set, kAbsent, or kDamaged with the
  // fault in *fault (built out of line, from what this one lookup found).
  [[gnu::always_inline]] Found Lookup(std::string_view key, Bytes* payload, std::optional<StoreError>* fault) const {
    if (lazy_) return LazyLookup(key, payload, fault);
    const uint32_t i = index_.Find(key, keys_, map_.bytes());
    if (i == KeyIndex::kNotFound) return Found::kAbsent;
    if (TryReadObject(keys_.record_offset(i), payload)) [[likely]] return Found::kFound;
    return RecordDamaged(keys_.record_offset(i), fault);
  }
  // Lookup's answer as Get gives it.
  static Result<std::optional<Bytes>> AsResult(Found found, Bytes payload, std::optional<StoreError>* fault) {
    if (found == Found::kFound) [[likely]] return std::optional<Bytes>(payload);
    if (found == Found::kAbsent) return std::optional<Bytes>();
    return std::move(**fault);
  }
  // A key of a batch whose index entry or record is damaged: its place in
  // the batch and the fault, as Get gives it.
  struct KeyFault {
    size_t key;
    StoreError error;
  };
  // Get for a batch of keys, with the memory accesses of the batch
  // overlapped: found[j] for keys[j] (payloads[j] set when kFound), and the
  // fault of every kDamaged key appended to *faults in batch order.  With
  // hashes (only when HashedBy their seed), hashes[j] is keys[j]'s hash.
  void ProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads,
                 std::vector<KeyFault>* faults, const uint64_t* hashes = nullptr) const;
  bool Exists(std::string_view key) const;
  // Exists, with the error of a damaged index.  Inline: the hot path of
  // every `in`.
  Result<bool> Contains(std::string_view key) const {
    if (!lazy_) return index_.Find(key, keys_) != KeyIndex::kNotFound;
    return ContainsHashed(key, lazy_->Hash(key));
  }
  // Whether the file is read through its lookup index with seed as the
  // seed of its hash: a caller that has hashed a key with LookupHash under
  // that seed already (to place it among files, say) passes the hash on to
  // GetHashed, ContainsHashed and ProbeMany, which then do not hash again.
  bool HashedBy(uint64_t seed) const { return lazy_ && lazy_->seed() == seed; }
  // Get and Contains for a key and its hash, when HashedBy the hash's seed.
  Result<std::optional<Bytes>> GetHashed(std::string_view key, uint64_t hash) const {
    Bytes payload;
    std::optional<StoreError> fault;
    return AsResult(LookupHashed(key, hash, &payload, &fault), payload, &fault);
  }
  Found LookupHashed(std::string_view key, uint64_t hash, Bytes* payload, std::optional<StoreError>* fault) const {
    assert(lazy_ && hash == lazy_->Hash(key));
    return LazyLookup(key, hash, payload, fault);
  }
  Result<bool> ContainsHashed(std::string_view key, uint64_t hash) const;
  // Each distinct object once, in order of the first entry naming it.
  Result<std::vector<Bytes>> Objects() const;
  // Whole-file CRC, then each distinct object's CRC, the header's claims,
  // the key order and the lookup index against the entries.
  Result<void> Verify() const;

  // The payload of the record at offset, bounds-checked against the file.
  // Inline: it sits on the path of every lookup.
  Result<Bytes> ReadObject(uint64_t offset) const {
    Bytes payload;
    if (TryReadObject(offset, &payload)) [[likely]] return payload;
    return RecordError(offset);
  }
  // The same, reporting only whether the record passes its bounds checks:
  // it lies before records_end_ (the extension area of a file opened with
  // OpenIndexed, else the end of the file).
  bool TryReadObject(uint64_t offset, Bytes* payload) const {
    return LocateRecord(map_.bytes().data(), records_end_, offset, payload) == RecordFault::kNone;
  }

  // Scans walk the entries in key order with a cursor: CursorAt (or Seek
  // for a key, then CursorAt), then Next per entry, and ReadChecked for
  // the entry's object.
  //
  // An entry of a scan, and where the next one begins.
  struct Cursor {
    size_t index = 0;
    uint64_t pos = 0;  // with the lookup index: the entry's place in the index section
  };
  struct ScanItem {
    std::string_view key;
    uint64_t record;
  };
  // The cursor at entry i (at most entry_count()).
  Result<Cursor> CursorAt(size_t i) const;
  // The entry at cursor (before entry_count()); moves the cursor on.
  // Inline: a scan's step over index blocks already checked; the rest
  // (loaded indexes, blocks still to check, faults) is out of line.
  Result<ScanItem> Next(Cursor* cursor) const {
    LazyIndex::Entry e;
    if (lazy_ && lazy_->QuickEntry(cursor->pos, &e) == LazyIndex::Quick::kFound) [[likely]] {
      lazy_->PrefetchEntriesAfter(e.next);
      ++cursor->index;
      cursor->pos = e.next;
      return ScanItem{e.key, e.record};
    }
    return NextSlow(cursor);
  }
  // LowerBound with the errors of a damaged index.
  Result<size_t> Seek(std::string_view key) const;
  // For a scan that reads objects, called once per entry (item, with the
  // number of the next entry) before its record is read: starts loading the
  // record kScanLookahead entries on (when it lies before end), so several
  // loads are in flight at once, as records read in key order need not lie
  // in file order.  Read through the lookup index, records follow the key
  // order: the bytes kScanBytesAhead past this record are loaded instead,
  // which the processor's own prefetcher does not fetch across a page.
  [[gnu::always_inline]] void PrefetchAhead(const ScanItem& item, size_t next, size_t end) const {
    if (lazy_) {
      if (item.record < map_.size() && map_.size() - item.record > kScanBytesAhead)
        __builtin_prefetch(map_.bytes().data() + item.record + kScanBytesAhead);
    } else if (next + kScanLookahead <= end) {
      PrefetchRecord(next + kScanLookahead - 1);
    }
  }
  static constexpr uint64_t kScanBytesAhead = 1024;
  static constexpr size_t kScanLookahead = 8;
  // The payload of the record at offset, its CRC checked too when the file
  // is read through its lookup index.  Inline: every scan step reads one.
  Result<Bytes> ReadChecked(uint64_t offset) const {
    Bytes payload;
    if (RecordSound(offset, &payload)) [[likely]] return payload;
    return ReadFault(offset);
  }

  // True when the file is read through the lookup index it carries.
  bool indexed() const { return lazy_.has_value(); }
  // Records of the extension area, which no key names.
  uint32_t extension_records() const { return extension_records_; }

  size_t entry_count() const { return lazy_ ? lazy_->num_keys() : keys_.size(); }
  // The first position whose key is not less than key (binary search: the
  // key list of a file the writer made is in ascending order).
  size_t LowerBound(std::string_view key) const;
  // The key list, when the index was loaded (not indexed()).
  std::string_view key_at(size_t i) const {
    assert(!lazy_);
    return keys_.key(i);
  }
  uint64_t offset_at(size_t i) const {
    assert(!lazy_);
    return keys_.record_offset(i);
  }

  const std::string& path() const { return path_; }
  // Every byte of the file, as mapped.
  Bytes file() const { return map_.bytes(); }
  uint64_t file_size() const { return map_.size(); }
  uint32_t num_keys() const { return num_keys_; }
  uint32_t num_objects() const { return num_objects_; }
  uint64_t index_offset() const { return index_offset_; }
  uint32_t file_crc32() const { return file_crc32_; }
  // Turns stored objects into values: the identity for a file that does
  // not compress its values.
  const ValueDecoder& values() const { return values_; }

 private:
  StoreReader() = default;
  // The file mapped, its header decoded into *header and its counts taken.
  static Result<StoreReader> MapWithHeader(const std::string& path, Header* header);

  // Which bounds check the record at offset fails, as an error.
  StoreError RecordError(uint64_t offset) const;
  Result<void> CheckFileCrc() const;  // CRC-32 of [kHeaderSize, end) vs the header's
  Result<void> CompareFileCrc(uint32_t computed) const;  // the same, computed elsewhere
  Result<void> LoadIndex();           // parses num_keys_ entries from index_offset_
  // The checks of Verify over the entries keys: CRCs and the header's claims.
  Result<void> VerifyEntries(const KeyList& keys) const;
  Result<void> CheckValues(const KeyList& keys) const;
  // Get and ProbeMany through the lookup index: the fast steps over bytes
  // already checked, and the checking path (SlowGet) where they stop.
  [[gnu::noinline]] Result<std::optional<Bytes>> SlowGet(std::string_view key) const;
  void LazyProbeMany(std::span<const std::string_view> keys, Found* found, Bytes* payloads,
                     std::vector<KeyFault>* faults, const uint64_t* hashes) const;
  // The fault of the record at offset, which RecordSound refused.
  [[gnu::noinline]] StoreError RecordFaultAt(uint64_t offset) const;
  // Loads the first lines of the record at offset (those before
  // records_end_) into the cache, with plain loads, which unlike a prefetch
  // are never dropped, and which do not wait for each other.
  void LoadRecordLines(uint64_t offset) const {
    const auto* p = reinterpret_cast<const volatile unsigned char*>(map_.bytes().data());
    if (offset < records_end_ && records_end_ - offset > kRecordLinesAhead) {
      (void)p[offset];
      (void)p[offset + 64];
      (void)p[offset + kRecordLinesAhead];
    }
  }
  // The last byte LoadRecordLines loads: records of up to 120 bytes, a
  // common size of small values, are read whole.
  static constexpr uint64_t kRecordLinesAhead = 119;
  Found LazyLookup(std::string_view key, uint64_t hash, Bytes* payload, std::optional<StoreError>* fault) const;
  // The same, hashing key here (inline, rather than by a call to LookupHash).
  Found LazyLookup(std::string_view key, Bytes* payload, std::optional<StoreError>* fault) const;
  // Both LazyLookups' body, inlined into each (store_reader.cc alone calls it).
  [[gnu::always_inline]] Found LazyAnswer(std::string_view key, uint64_t hash, Bytes* payload,
                                          std::optional<StoreError>* fault) const;
  static Found Damaged(StoreError error, std::optional<StoreError>* fault) {
    fault->emplace(std::move(error));
    return Found::kDamaged;
  }
  // Damaged with RecordError(offset).
  [[gnu::noinline]] Found RecordDamaged(uint64_t offset, std::optional<StoreError>* fault) const {
    return Damaged(RecordError(offset), fault);
  }
  // Whether the record at offset passes its bounds checks and, read through
  // the lookup index, its CRC.
  bool RecordSound(uint64_t offset, Bytes* payload) const {
    if (LocateRecord(map_.bytes().data(), records_end_, offset, payload) != RecordFault::kNone) [[unlikely]]
      return false;
    return !lazy_ || Crc32(*payload) == StoredRecordCrc(map_.bytes().data(), offset);
  }
  [[gnu::noinline]] Result<ScanItem> NextSlow(Cursor* cursor) const;
  [[gnu::noinline]] StoreError ReadFault(uint64_t offset) const;  // of a record RecordSound refused
  void PrefetchRecord(size_t i) const;  // starts loading entry i's record, if any

  std::string path_;
  Mapping map_;
  uint32_t num_keys_ = 0;
  uint32_t num_objects_ = 0;
  uint64_t index_offset_ = 0;
  uint32_t file_crc32_ = 0;
  // Keys with their record offsets, in file order; the key index maps a key
  // to its position and holds no key bytes of its own.
  KeyList keys_;
  KeyIndex index_;
  // Set when the file is read through its lookup index: keys_ and index_
  // stay empty.  Object records then lie before records_end_ (the start of
  // the extension area).
  std::optional<LazyIndex> lazy_;
  uint64_t records_end_ = 0;
  uint32_t extension_records_ = 0;
  // Opened by OpenIndexed: an extension area the header flags must be sound.
  bool strict_extension_ = false;
  ValueDecoder values_;  // refers to the compression dictionary in map_
};

}  // namespace velk
