// Failures of the module surface, and the one place where they become Python
// exceptions: store errors of the core, internal faults, and the
// type-mismatch and argument errors shared by every conversion.
#pragma once

#include <string>
#include <string_view>

#include "core/format/status.h"
#include "python.h"

namespace velk::py {

// A broken invariant in native code.  Thrown by VELK_FAULT and caught only
// by the call frame, which turns it into PanicException.
struct Fault {
  std::string text;
  const char* file;
  int line;
};

#define VELK_FAULT(text) throw ::velk::py::Fault{(text), __FILE__, __LINE__}

// Raises the Python exception for a store error; always returns nullptr.
PyObject* RaiseStoreError(const StoreError& err);

// Writes the diagnostic to standard error and raises PanicException with
// text; always returns nullptr.
PyObject* RaisePanic(std::string_view text, const char* file, int line);

// The pending exception is reported as unraisable and the call fails as an
// internal fault with text.  Used when the interpreter cannot create an
// object the call needs.
PyObject* UnraisableFault(std::string_view text, const char* file, int line);

// TypeError "'{type}' object is not an instance of '{expected}'" (or
// "'None' is not an instance of '{expected}'"); returns nullptr.
PyObject* RaiseTypeMismatch(PyObject* obj, std::string_view expected);

// If the pending exception is exactly TypeError, replaces it by
// TypeError("argument '{name}': {str(exc)}") keeping its __cause__.
// Any other pending exception is left as it is.
void WrapArgumentError(std::string_view name);

}  // namespace velk::py
