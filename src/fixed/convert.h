// Conversions between Python objects and the core's native values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/format/format.h"
#include "bind/plain_key.h"
#include "bind/python.h"

namespace velk::py {

// Key bytes: a view of the argument's own buffer where one serves (str's
// cached UTF-8, bytes), else of an owned copy.  Valid while the call runs.
class KeyBytes {
 public:
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;

  std::string_view view() const { return view_; }
  void Borrow(const char* data, size_t len) { view_ = {data, len}; }
  std::string& Own() { return owned_; }
  void UseOwned() { view_ = owned_; }

 private:
  std::string_view view_;
  std::string owned_;
};

// Key conversion: str (UTF-8), bytes, bytearray, or a sequence of integers
// in 0..255.  Returns false with ValueError "key must be str or bytes", or
// with the original exception when it is MemoryError or not an Exception
// (KeyboardInterrupt, SystemExit), which must reach the caller unchanged.
bool ConvertKeySlow(PyObject* obj, KeyBytes& out);

// Plain keys inline; the general path gives the same bytes for them too.
inline bool ConvertKey(PyObject* obj, KeyBytes& out) {
  std::string_view plain;
  if (BorrowPlainKey(obj, &plain)) {
    out.Borrow(plain.data(), plain.size());
    return true;
  }
  return ConvertKeySlow(obj, out);
}

// Typed parameters.  Each returns false with the Python error set, already
// passed through the argument wrap for its parameter name.
bool ConvertPath(PyObject* obj, std::string_view* out);
bool ConvertVerify(PyObject* obj, bool* out);
bool ConvertRawBytes(PyObject* obj, Bytes* out);
bool ConvertObjId(PyObject* obj, uint64_t* out);

// Lossy UTF-8 decoding of a key: each maximal ill-formed subsequence
// becomes U+FFFD.  New reference, or nullptr on allocation failure.
PyObject* DecodeKey(std::string_view key);

inline PyObject* NewBytes(Bytes b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

}  // namespace velk::py
