// The key list of an open store: every index entry's key and object record
// offset, in file order.  The key bytes are copied back to back into one
// arena; a 16-byte entry per key holds where its bytes sit and its record
// offset, so a lookup gets both from one cache line.  The key index refers
// to keys by their position here, so the key bytes are held exactly once.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/format.h"
#include "core/reader/prefault.h"

namespace velk {

class KeyList {
 public:
  // Room for count keys of key_bytes bytes in total.
  void Reserve(size_t count, size_t key_bytes) {
    entries_.reserve(count);
    arena_.reserve(key_bytes);
  }
  // Maps the reserved room up front (see PrefaultForWrite).
  void PrefaultReserved() const {
    PrefaultForWrite(entries_.data(), entries_.capacity() * sizeof(Entry));
    PrefaultForWrite(arena_.data(), arena_.capacity());
  }
  // key holds at most kMaxKeyLength bytes, as an index entry does.  (The
  // key index reads keys only, so its tests leave record_offset out.)
  void Append(std::string_view key, uint64_t record_offset = 0) {
    assert(key.size() <= kMaxKeyLength);
    entries_.push_back({(arena_.size() << kLengthBits) | key.size(), record_offset});
    arena_.append(key);
  }
  // Returns spare arena room when the reservation overshot by a lot (e.g.
  // bytes after the index section were counted as key bytes).
  void Trim() {
    if (arena_.capacity() - arena_.size() > arena_.size() / 8) arena_.shrink_to_fit();
  }

  size_t size() const { return entries_.size(); }
  std::string_view key(size_t i) const {
    const uint64_t ref = entries_[i].key;
    return {arena_.data() + (ref >> kLengthBits), static_cast<size_t>(ref & kLengthMask)};
  }
  uint64_t record_offset(size_t i) const { return entries_[i].record; }

 private:
  struct Entry {
    uint64_t key;     // arena position << kLengthBits | key length
    uint64_t record;  // file offset of the object record, as stored
  };

  // Key lengths fit 16 bits, so arena positions get the other 48: an arena
  // never exceeds 2^32 keys of 2^16 bytes.
  static constexpr unsigned kLengthBits = 16;
  static constexpr uint64_t kLengthMask = kMaxKeyLength;
  static_assert(kMaxKeyLength == (uint64_t{1} << kLengthBits) - 1);

  std::basic_string<char, std::char_traits<char>, LargeAllocator<char>> arena_;
  std::vector<Entry, LargeAllocator<Entry>> entries_;
};

}  // namespace velk
