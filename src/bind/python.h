// The one include of the interpreter's headers for both faces, with the
// small owning reference every binding file uses, and stand-ins for the few
// calls the faces use that older supported versions (CPython 3.10 and 3.11)
// lack; each stand-in keeps the reference rules of the call it replaces.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
// New references to the type's __name__ / __qualname__, as in 3.11.
inline PyObject* PyType_GetName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}
inline PyObject* PyType_GetQualName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// The pending exception as one normalised object (its traceback attached),
// or NULL; clears it.  As in 3.12.
inline PyObject* PyErr_GetRaisedException() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}
// Makes exc (a reference it steals; NULL clears) the pending exception.
inline void PyErr_SetRaisedException(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

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

// The end of every tp_dealloc, once the instance's own fields are released:
// frees its memory, then drops the instance's reference to its heap type
// (held across the free, so the type outlives it).
inline void FreeInstance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_INCREF(type);
  type->tp_free(self);
  Py_DECREF(type);
  Py_DECREF(type);
}

// Casts a method implementation to the interpreter's function type.
template <typename F>
PyCFunction AsCFunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace velk::bind
