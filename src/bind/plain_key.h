// The keys of nearly every call on either Python face: an exact ASCII str
// (its characters are its UTF-8 bytes) or an exact bytes object lends its
// own buffer, with no copy.
#pragma once

#include <string_view>

#include "bind/python.h"

namespace velk {

// False for anything else, with no error set.
inline bool BorrowPlainKey(PyObject* obj, std::string_view* out) {
  if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    *out = {static_cast<const char*>(PyUnicode_DATA(obj)), static_cast<size_t>(PyUnicode_GET_LENGTH(obj))};
    return true;
  }
  if (PyBytes_CheckExact(obj)) {
    *out = {PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj))};
    return true;
  }
  return false;
}

}  // namespace velk
