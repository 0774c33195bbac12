// Conversions between Python objects and the core's native values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bind/bytes.h"
#include "bind/python.h"
#include "core/format/format.h"

namespace velk::py {

using bind::KeyBuf;
using bind::NewBytes;

// Key conversion: str (UTF-8), bytes, bytearray, or a sequence of integers
// in 0..255.  Returns false with ValueError "key must be str or bytes", or
// with the original exception when it is MemoryError or not an Exception
// (KeyboardInterrupt, SystemExit), which must reach the caller unchanged.
bool ConvertKeySlow(PyObject* obj, KeyBuf& out);

// Plain keys inline; the general path gives the same bytes for them too.
inline bool ConvertKey(PyObject* obj, KeyBuf& out) {
  if (BorrowPlainKey(obj, &out.view)) return true;
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

}  // namespace velk::py
