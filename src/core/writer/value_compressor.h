// Per-value compression for a build: a zstd dictionary trained on a sample
// of the store's values, and each value compressed on its own with it, so a
// reader decompresses exactly the value it looks up.  The stored form of a
// compressed value is described in core/base/compressed_value.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/status.h"
#include "core/writer/append_buffer.h"

struct ZSTD_CCtx_s;
struct ZSTD_CDict_s;

namespace velk::writer {

// zstd's levels that a writer accepts.
inline constexpr int kMinCompressLevel = 1;
inline constexpr int kMaxCompressLevel = 22;
inline constexpr int kDefaultCompressLevel = 3;

// A dictionary trained for one store, ready to compress with.  Empty when
// there is too little to train on (or training finds nothing): values are
// then compressed without one.
class CompressionDictionary {
 public:
  // Trains on a sample of values and chooses how literals are coded
  // (deterministic: the same values give the same dictionary and choice).
  // total is the sum of the values' lengths.
  static CompressionDictionary Train(std::span<const Bytes> values, uint64_t total, int level);

  Bytes bytes() const { return {bytes_.data(), bytes_.size()}; }
  int level() const { return level_; }
  const ZSTD_CDict_s* cdict() const { return cdict_.get(); }
  // Whether the values were found not to compress: they are stored as they are.
  bool keep_plain() const { return keep_plain_; }
  // Whether values keep their literals (the bytes no match covers) as they
  // are rather than entropy-coded: larger, and faster to decompress.
  bool raw_literals() const { return raw_literals_; }

 private:
  struct FreeCDict {
    void operator()(ZSTD_CDict_s* d) const;
  };
  std::vector<std::byte> bytes_;
  std::unique_ptr<ZSTD_CDict_s, FreeCDict> cdict_;
  int level_ = 0;
  bool keep_plain_ = false;
  bool raw_literals_ = false;
};

// Whether value's stored form fits in a record whatever compression gives:
// a value that would be taken for a compressed one is wrapped, which adds
// a few bytes.
bool FitsCompressed(Bytes value);

// Compresses values one at a time with a dictionary; one per thread.
class ValueCompressor {
 public:
  // dict must outlive the compressor: its context refers to dict's tables.
  explicit ValueCompressor(const CompressionDictionary& dict);
  // The same, with literals kept as they are or entropy-coded as raw_literals
  // says rather than as dict chose.
  ValueCompressor(const CompressionDictionary& dict, bool raw_literals);

  // Appends the stored form of value to *out: compressed when that is
  // shorter, else the value as it is (or, for a value that would be taken
  // for a compressed one, inside a wrapper of its own).  Returns the bytes
  // appended.  Throws std::bad_alloc when memory runs out.
  size_t Pack(Bytes value, std::vector<std::byte>* out);
  // The length of value compressed (as one frame), for choosing settings.
  // Throws std::bad_alloc when memory runs out.
  size_t CompressedSize(Bytes value);

 private:
  struct FreeCCtx {
    void operator()(ZSTD_CCtx_s* c) const;
  };
  std::unique_ptr<ZSTD_CCtx_s, FreeCCtx> cctx_;
  std::vector<std::byte> frame_;  // zstd's output before it is unwrapped
};

// The staged records with every value in its stored form, and the file's
// compression section (its head and the dictionary).
struct CompressedRecords {
  // Records in object-id order, as the staged data section has them; the
  // offsets are where each would lie were the section at kHeaderSize.
  AppendBuffer<std::byte> data;
  AppendBuffer<uint64_t> offsets;
  std::vector<std::byte> section;
  // Whether every value is stored as staged: the staged records are the
  // file's, and data and offsets are left empty.
  bool as_staged = false;
};

// Trains a dictionary on the values of the staged records that keep[id]
// marks (every record when keep is empty) and compresses them at level;
// the others become empty records, to be left out of the file (or, with
// as_staged, stay as staged, to be left out all the same).  Every
// value must fit its stored form within the payload length limit (see
// FitsCompressed).
CompressedRecords CompressRecords(Bytes data, std::span<const uint64_t> offsets,
                                          const std::vector<bool>& keep, int level);

}  // namespace velk::writer
