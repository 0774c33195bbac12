// Turns the bytes stored for an object into the value: the stored bytes
// themselves in a file without compression, or the decompressed value for
// an object stored compressed (core/base/compressed_value.h).  Every read
// path of the package goes through here.
//
// Safe for any number of threads to decode at once.  Each thread
// decompresses with a context of its own, made on its first use, and
// borrows one of the decoder's lanes (a copy of the dictionary with room
// after it) while it decompresses a value.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/compressed_value.h"
#include "core/base/status.h"

struct ZSTD_DDict_s;

namespace velk {

// Room for decompressed values, grown without clearing: the decoder writes
// every byte of a value before it is read, so growing costs no pass over
// the room, and a damaged value that claims a large size costs only the
// pages the decoder writes before it fails.
template <typename T>
struct UninitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <typename U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}  // NOLINT: rebinding
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
};
using DecodeBuffer = std::vector<std::byte, UninitAllocator<std::byte>>;

class ValueDecoder {
 public:
  // A decoder for a file without compression: values are stored as they are.
  ValueDecoder();
  ~ValueDecoder();
  ValueDecoder(ValueDecoder&&) noexcept;
  ValueDecoder& operator=(ValueDecoder&&) noexcept;

  // A decoder for a file whose compression section is section (gathered
  // from its records, which the caller has checked).  Corrupt when the
  // section or its dictionary does not hold together.
  static Result<ValueDecoder> Open(std::vector<std::byte> section);

  bool compressed() const { return compressed_; }
  const CompressionInfo& info() const { return info_; }

  // The length of the value stored as stored.
  Result<uint64_t> ValueLength(Bytes stored) const;
  // Writes the value stored as stored into dst, which has room for exactly
  // ValueLength(stored) bytes.  Corrupt, never a wrong value, when the
  // stored bytes are damaged.
  Result<void> DecodeInto(Bytes stored, std::byte* dst) const;
  // The value: stored itself when it is not compressed, else decompressed
  // into *scratch (resized) and viewed there.
  Result<Bytes> Decode(Bytes stored, DecodeBuffer* scratch) const;
  // Decode for a batch: each values[i] that present[i] marks, a stored
  // object on entry, views its value on return, decompressed into *arena
  // (grown at most once) where needed.  On damage, *bad is the position of the
  // first damaged one.
  Result<void> DecodeMany(std::span<Bytes> values, std::span<const uint8_t> present, DecodeBuffer* arena,
                          size_t* bad) const;

 private:
  // Decompresses a body of a compressed value of length bytes into dst,
  // which has room for capacity >= length bytes: room past the value's end
  // (kOutSlack) lets the decoder copy in whole words up to the last match,
  // instead of byte by byte near the end, which for short values is all of
  // them.  Bytes past the value's end are left undefined.
  Result<void> Decompress(uint64_t length, Bytes body, std::byte* dst, uint64_t capacity) const;
  static constexpr size_t kOutSlack = 32;

  struct FreeDDict {
    void operator()(ZSTD_DDict_s* d) const;
  };
  class Lanes;
  struct FreeLanes {
    void operator()(Lanes* l) const;
  };
  bool compressed_ = false;
  CompressionInfo info_;
  std::vector<std::byte> section_;  // the dictionary the decoder refers to lies in it
  std::unique_ptr<ZSTD_DDict_s, FreeDDict> ddict_;  // null without a dictionary
  std::unique_ptr<Lanes, FreeLanes> lanes_;         // null without a dictionary
};

}  // namespace velk
