// Bytes across the edge: the key conversion both faces start from, and
// bytes objects made from the core's views.
#pragma once

#include <string>
#include <string_view>

#include "bind/plain_key.h"
#include "bind/python.h"
#include "core/base/bytes.h"

namespace velk::bind {

// A key's bytes: a view of the argument's own buffer where one serves (str's
// UTF-8, bytes), else of the owned copy.  Valid while the call runs.
struct KeyBuf {
  std::string_view view;
  std::string owned;
  void UseOwned() { view = owned; }
};

enum class KeyKind {
  kBytes,        // out->view holds the key
  kUnencodable,  // a str with lone surrogates, which has no UTF-8 form; no error set
  kOther,        // not a str, bytes or bytearray; no error set
  kError,        // an error that must reach the caller (MemoryError, an interrupt) is set
};

// Exceptions a conversion must not swallow: interrupts and exits (not
// Exception subclasses) and MemoryError.
inline bool MustPropagate() {
  return PyErr_Occurred() != nullptr &&
         (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError));
}

// The conversion of a key both faces share: str as UTF-8, bytes as
// itself, bytearray copied (it may change while the call runs Python
// code).  Each face converts what is left its own way.
//
// Converting may run Python code (a str's UTF-8 form is made on demand), so
// a caller takes what the call works on (a store) only after converting.
inline KeyKind BorrowKey(PyObject* obj, KeyBuf* out) {
  if (BorrowPlainKey(obj, &out->view)) return KeyKind::kBytes;
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len)) {
      out->view = {utf8, static_cast<size_t>(len)};
      return KeyKind::kBytes;
    }
    if (MustPropagate()) return KeyKind::kError;
    PyErr_Clear();
    return KeyKind::kUnencodable;
  }
  if (PyBytes_Check(obj)) {
    out->view = {PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj))};
    return KeyKind::kBytes;
  }
  if (PyByteArray_Check(obj)) {
    out->owned.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    out->UseOwned();
    return KeyKind::kBytes;
  }
  return KeyKind::kOther;
}

inline PyObject* NewBytes(Bytes b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

inline PyObject* NewBytes(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace velk::bind
