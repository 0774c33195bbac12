// The edge between C++ and the interpreter: the one exception guard every
// entry point runs in, and the release of the interpreter lock around
// native work.
#pragma once

#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "bind/python.h"

namespace velk::bind {

// The guard for a type slot the interpreter calls directly (r[k], `in`,
// len(), next()): C++ exceptions become Python ones, and the slot answers
// failed (nullptr, or -1 for a status or a length).  A null result is not
// checked: next() ends a loop with one and no error.
template <typename Face, typename R, typename Body>
R GuardedSlot(Body&& body, R failed) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    Face::Fault(e.what(), __FILE__, __LINE__);
  } catch (...) {
    Face::Fault({}, __FILE__, __LINE__);
  }
  return failed;
}

// Runs body with every C++ exception turned into a Python one: memory
// exhaustion into MemoryError, anything else into the face's internal
// fault, Face::Fault(text, file, line), which sets the face's exception and
// returns nullptr.  A failure without an error set is an internal fault
// too.  (A success is not checked: that would cost a thread-state lookup
// on every call.)
template <typename Face, typename Body>
PyObject* Guarded(Body&& body) noexcept {
  PyObject* result = GuardedSlot<Face, PyObject*>(std::forward<Body>(body), nullptr);
  if (result == nullptr && !PyErr_Occurred()) [[unlikely]] {
    return Face::Fault("call failed without setting an error", __FILE__, __LINE__);
  }
  return result;
}

// Runs f() with the interpreter lock released; an exception thrown by f
// is rethrown once the lock is held again.
template <typename F>
auto WithoutLock(F&& f) -> decltype(f()) {
  std::exception_ptr failed;
  std::optional<decltype(f())> out;
  PyThreadState* ts = PyEval_SaveThread();
  try {
    out.emplace(f());
  } catch (...) {
    failed = std::current_exception();
  }
  PyEval_RestoreThread(ts);
  if (failed) std::rethrow_exception(failed);
  return std::move(*out);
}

}  // namespace velk::bind
