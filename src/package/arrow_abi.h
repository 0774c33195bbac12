// Columns in and out through the Arrow C data interface: the ABI structs
// every Arrow implementation exchanges (so the module links no Arrow
// library), checked views of the arrays handed in by PyCapsule, and the
// export of the binary arrays the lookups build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "bind/python.h"

// The interface's structs, word for word as the interface fixes them; the
// guard lets another header that defines them come first.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

namespace velk::native::arrow {

// The column types the package reads.
enum class Kind : uint8_t {
  kNull,
  kBool,
  kInt8, kInt16, kInt32, kInt64,
  kUInt8, kUInt16, kUInt32, kUInt64,
  kFloat32, kFloat64,
  kString, kLargeString, kStringView,
  kBinary, kLargeBinary, kBinaryView,
  kTimestamp,
};

struct Type {
  Kind kind = Kind::kNull;
  int64_t per_second = 1;  // timestamps: units in a second
  bool zoned = false;      // timestamps: a time zone is named
  bool text() const { return kind == Kind::kString || kind == Kind::kLargeString || kind == Kind::kStringView; }
  // Keys: any string or binary type.
  bool bytes_like() const { return kind >= Kind::kString && kind <= Kind::kBinaryView; }
};

// The type of an Arrow format string; false (with *name a readable name of
// it) for one the package does not read.
bool ParseFormat(const char* format, Type* type, std::string* name);

// A checked view of one array: every offset, view and buffer index lies
// inside what the array claims, so reading row i (0 <= i < length) stays
// inside its buffers.
class Column {
 public:
  // Checks array against schema; false with a message in *err.  The view
  // borrows the array's buffers: the array must outlive it.
  bool Init(const ArrowSchema& schema, const ArrowArray& array, std::string* err);
  // The same for a child of a struct array whose rows start at row `skip`
  // of the child and run for `length` rows.
  bool InitSlice(const ArrowSchema& schema, const ArrowArray& array, int64_t skip, int64_t length, std::string* err);

  const Type& type() const { return type_; }
  int64_t length() const { return length_; }
  bool IsNull(int64_t i) const {
    if (type_.kind == Kind::kNull) return true;
    if (validity_ == nullptr) return false;
    const int64_t at = offset_ + i;
    return ((validity_[at >> 3] >> (at & 7)) & 1) == 0;
  }
  std::string_view Bytes(int64_t i) const;  // string and binary kinds
  int64_t Signed(int64_t i) const;          // signed integers, timestamps
  uint64_t Unsigned(int64_t i) const;       // unsigned integers
  double Float(int64_t i) const;            // floats
  bool Bool(int64_t i) const {
    const int64_t at = offset_ + i;
    return ((static_cast<const uint8_t*>(values_)[at >> 3] >> (at & 7)) & 1) != 0;
  }

 private:
  Type type_;
  int64_t length_ = 0;
  int64_t offset_ = 0;  // of row 0 in the buffers
  const uint8_t* validity_ = nullptr;
  const void* values_ = nullptr;  // fixed width: the values; var: offsets; views: the views
  const uint8_t* data_ = nullptr;  // string and binary: the bytes
  const uint8_t* const* variadic_ = nullptr;  // views: the data buffers
};

// The struct of an Arrow C array: a record batch is exported as one.
struct CapsulePair {
  const ArrowSchema* schema = nullptr;
  const ArrowArray* array = nullptr;
};
// The structs inside a (schema capsule, array capsule) pair, borrowed from
// the capsules; false with the error set.
bool FromCapsules(PyObject* pair, CapsulePair* out);

// malloc'd memory aligned for any Arrow consumer, freed by free().
struct FreeDelete {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDelete>;
// n bytes (at least one), 64-byte aligned; throws std::bad_alloc.
Buffer AllocBuffer(size_t n);

// A binary array being exported: its three buffers, filled by the caller.
struct BinaryOut {
  int64_t length = 0;
  int64_t null_count = 0;
  bool large = false;  // 64-bit offsets
  Buffer validity, offsets, data;
};
// (schema capsule, array capsule) owning out's buffers, as the PyCapsule
// protocol hands an array over; nullptr with the error set.
PyObject* ExportBinary(BinaryOut&& out);

}  // namespace velk::native::arrow
