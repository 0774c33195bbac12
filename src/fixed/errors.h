// Failures of the module surface, and the one place where they become Python
// exceptions: store errors of the core, internal faults, and the
// type-mismatch and argument errors shared by every conversion.
#pragma once

#include <string>
#include <string_view>

#include "core/base/status.h"
#include "bind/python.h"

namespace velk::py {

// Raises the Python exception for a store error, its text the kind's label,
// ": " and the message; always returns nullptr.
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
