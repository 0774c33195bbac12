// The package's call frame: every method of the package's classes is an
// entry of its class's table, made from an operation and the kit's pieces
// around it (argument parsing, the exception guard, the method type).  An
// operation only does its own work:
//
//   PyObject* op(Self*, PyObject* const* args)  with parameters: args[i] is
//                                               the i-th, nullptr when absent
//   PyObject* op(Self*, PyObject* arg)          one argument by position
//   PyObject* op(Self*)                         none
//
// and returns a new reference, or nullptr with the error set.
#pragma once

#include "package/api.h"

namespace velk::native {

namespace frame {

template <typename Self, const Params& kSpec, auto kOp>
PyObject* WithParams(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* slots[bind::kMaxParams] = {};
    if (!ParseArgs(kSpec, args, nargs, kwnames, slots)) return nullptr;
    return kOp(reinterpret_cast<Self*>(self), slots);
  });
}

template <typename Self, auto kOp>
PyObject* WithOne(PyObject* self, PyObject* arg) noexcept {
  return Guard([&]() -> PyObject* { return kOp(reinterpret_cast<Self*>(self), arg); });
}

template <typename Self, auto kOp>
PyObject* WithNone(PyObject* self, PyObject*) noexcept {
  return Guard([&]() -> PyObject* { return kOp(reinterpret_cast<Self*>(self)); });
}

}  // namespace frame

// Table entries.  kSpec names the method in its argument errors.
template <typename Self, const Params& kSpec, auto kOp>
PyMethodDef Method(const char* name, const char* doc) {
  return {name, Fn(frame::WithParams<Self, kSpec, kOp>), METH_FASTCALL | METH_KEYWORDS, doc};
}

template <typename Self, auto kOp>
PyMethodDef MethodO(const char* name, const char* doc) {
  return {name, Fn(frame::WithOne<Self, kOp>), METH_O, doc};
}

template <typename Self, auto kOp>
PyMethodDef MethodNoArgs(const char* name, const char* doc) {
  return {name, Fn(frame::WithNone<Self, kOp>), METH_NOARGS, doc};
}

inline constexpr PyMethodDef kEndOfTable = {nullptr, nullptr, 0, nullptr};

}  // namespace velk::native
