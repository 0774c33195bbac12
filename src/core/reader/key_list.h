// The key list of an open store: every index entry's key and object record
// offset, in file order.  A 16-byte entry per key holds where its bytes sit
// and its record offset, so a lookup gets both from one cache line.  The
// key bytes stay where they are: a reader's list points into the mapped
// index section, so opening a store copies no key bytes at all.  The key
// index refers to keys by their position here.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/large_buffer.h"
#include "core/format/format.h"

namespace velk {

class KeyList {
 public:
  KeyList() = default;
  // A list of keys that lie in bytes, which must outlive the list.
  explicit KeyList(std::string_view bytes) : base_(bytes.data()) {}
  KeyList(KeyList&&) noexcept = default;
  KeyList& operator=(KeyList&&) noexcept = default;

  // Room for count keys.
  void Reserve(size_t count) { entries_.reserve(count); }
  // The reserved room for entries, as a range of memory.
  const void* reserved_data() const { return entries_.data(); }
  size_t reserved_bytes() const { return entries_.capacity() * sizeof(Entry); }
  // The key of length bytes at position in the bytes the list was made
  // over; length is at most kMaxKeyLength, as in an index entry.
  void AppendAt(uint64_t position, size_t length, uint64_t record_offset) {
    assert(length <= kMaxKeyLength);
    entries_.push_back({(position << kLengthBits) | length, record_offset});
  }

  size_t size() const { return entries_.size(); }
  std::string_view key(size_t i) const {
    const uint64_t ref = entries_[i].key;
    return {base_ + (ref >> kLengthBits), static_cast<size_t>(ref & kLengthMask)};
  }
  uint64_t record_offset(size_t i) const { return entries_[i].record; }
  // Starts loading entry i (its key reference and record offset).
  [[gnu::always_inline]] void Prefetch(size_t i) const { __builtin_prefetch(&entries_[i]); }

 private:
  struct Entry {
    uint64_t key;     // position of the key bytes << kLengthBits | key length
    uint64_t record;  // file offset of the object record, as stored
  };

  // Key lengths fit 16 bits, so positions get the other 48: 256 TiB.
  static constexpr unsigned kLengthBits = 16;
  static constexpr uint64_t kLengthMask = kMaxKeyLength;
  static_assert(kMaxKeyLength == (uint64_t{1} << kLengthBits) - 1);

  std::vector<Entry, LargeAllocator<Entry>> entries_;
  const char* base_ = nullptr;  // where positions count from
};

}  // namespace velk
