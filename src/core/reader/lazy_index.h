// The lookup index a file carries in its extension area, read in place
// through the mapping: opening costs a few header and directory reads
// whatever the number of keys, and the pages are shared through the page
// cache by every process that maps the file.
//
// Nothing read from the file is trusted before it is checked.  The
// directory's CRC is checked at open; a record of the lookup section, of
// the index block CRCs, and a block of the index section are each checked
// against their CRC the first time any lookup uses them, and a bit per
// record or block remembers it (one bit per 4 KiB, so a reader's private
// memory stays a few kilobytes per gigabyte of index).  A damaged byte
// gives a Corrupt error, never a wrong entry or a false absence.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/base/status.h"
#include "core/format/extension.h"
#include "core/format/format.h"

namespace velk {

class LazyIndex {
 public:
  // One index entry: its key (in the mapping), its record offset and where
  // the next entry begins.  Positions count from index_offset.
  struct Entry {
    std::string_view key;
    uint64_t record = 0;
    uint64_t next = 0;
  };

  LazyIndex() = default;
  LazyIndex(LazyIndex&&) noexcept = default;
  LazyIndex& operator=(LazyIndex&&) noexcept = default;

  // The index of file, whose header and directory have been checked.
  static Result<LazyIndex> Open(Bytes file, const Header& header, const Directory& dir);

  uint32_t num_keys() const { return num_keys_; }
  uint64_t index_length() const { return index_length_; }

  // The entry at position pos.
  Result<Entry> EntryAt(uint64_t pos) const;
  // The entry of key, or nullopt when the file has no such key.
  Result<std::optional<Entry>> Find(std::string_view key) const;
  // Position of entry i (i < num_keys): from the nearest fence, a walk of
  // fewer than 16 entries.
  Result<uint64_t> PositionOf(uint64_t i) const;
  // The first entry whose key is not less than key: its number and position
  // (num_keys and index_length when there is none).
  struct Place {
    uint64_t index;
    uint64_t pos;
  };
  Result<Place> LowerBound(std::string_view key) const;

 private:
  // A run of n bytes of a section at logical offset at, checked: a pointer
  // into the mapping, or into scratch (at least n bytes) when the run
  // crosses records.
  Result<const std::byte*> SectionBytes(const SectionDescriptor& s, uint64_t bit_base, uint64_t at, size_t n,
                                        std::byte* scratch) const;
  Result<void> CheckRecord(const SectionDescriptor& s, uint64_t bit_base, uint64_t r) const;
  Result<void> CheckIndexBlocks(uint64_t begin, uint64_t end) const;  // positions [begin, end)
  Result<uint64_t> Fence(uint64_t j) const;

  bool Checked(uint64_t bit) const {
    return (bits_[bit / 64].load(std::memory_order_acquire) >> (bit % 64)) & 1;
  }
  void MarkChecked(uint64_t bit) const { bits_[bit / 64].fetch_or(uint64_t{1} << (bit % 64), std::memory_order_release); }

  const std::byte* file_ = nullptr;
  uint64_t index_offset_ = 0;
  uint64_t index_length_ = 0;
  uint32_t num_keys_ = 0;
  SectionDescriptor lookup_;
  SectionDescriptor crcs_;
  LookupGeometry geometry_;
  uint64_t index_block_ = kIndexCheckBlock;
  // Check bits: the lookup section's records, then the CRC section's, then
  // the index section's blocks.
  uint64_t crc_bits_ = 0;
  uint64_t block_bits_ = 0;
  std::unique_ptr<std::atomic<uint64_t>[]> bits_;
};

}  // namespace velk
