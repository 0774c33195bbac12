// The one include of the interpreter's headers for both faces, with the
// small owning reference every binding file uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velk::bind {

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}  // steals p
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Py_XSETREF(p_, std::exchange(o.p_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Casts a method implementation to the interpreter's function type.
template <typename F>
PyCFunction AsCFunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace velk::bind
