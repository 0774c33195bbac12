// The key list of an open store: every index entry's key, in file order,
// copied back to back into one arena.  Key i is
// arena_[end(i - 1), end(i)), with end(-1) = 0.  The key index refers to
// keys by their position here, so the key bytes are held exactly once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/reader/prefault.h"

namespace velk {

class KeyList {
 public:
  // Room for count keys of key_bytes bytes in total.
  void Reserve(size_t count, size_t key_bytes) {
    ends_.reserve(count);
    arena_.reserve(key_bytes);
  }
  // Maps the reserved room up front (see PrefaultForWrite).
  void PrefaultReserved() const {
    PrefaultForWrite(ends_.data(), ends_.capacity() * sizeof(uint64_t));
    PrefaultForWrite(arena_.data(), arena_.capacity());
  }
  void Append(std::string_view key) {
    arena_.append(key);
    ends_.push_back(arena_.size());
  }
  // Returns spare arena room when the reservation overshot by a lot (e.g.
  // bytes after the index section were counted as key bytes).
  void Trim() {
    if (arena_.capacity() - arena_.size() > arena_.size() / 8) arena_.shrink_to_fit();
  }

  size_t size() const { return ends_.size(); }
  std::string_view key(size_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return {arena_.data() + begin, static_cast<size_t>(ends_[i] - begin)};
  }

 private:
  std::string arena_;
  std::vector<uint64_t> ends_;
};

}  // namespace velk
