// The one include of the interpreter's headers for both Python faces, with
// stand-ins for the few calls the faces use that older supported versions
// (CPython 3.10 and 3.11) lack.  Each stand-in keeps the reference rules of
// the call it replaces.
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
