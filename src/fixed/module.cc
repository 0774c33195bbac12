// The _velkstore module: definition, execution step and export.
#include <string>

#include "fixed/classes.h"
#include "fixed/errors.h"
#include "bind/python.h"

namespace velk::py {

PyTypeObject* TypeOrFault(PyObject* created, const char* name) {
  if (created != nullptr) return reinterpret_cast<PyTypeObject*>(created);
  std::string text = "failed to create type object for `";
  text += name;
  text += '`';
  UnraisableFault(text, __FILE__, __LINE__);
  return nullptr;
}

namespace {

// A failure to create an object the step needs is an internal fault.
int CreationFault() {
  UnraisableFault("failed to create a module attribute", __FILE__, __LINE__);
  return -1;
}

// Appends name to the module's __all__ (creating the list if absent), then
// sets the attribute.
int AddToAll(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return CreationFault();
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    RaiseTypeMismatch(all, "list");
    Py_DECREF(all);
    return -1;
  }
  PyObject* py_name = PyUnicode_FromString(name);
  if (py_name == nullptr) {
    Py_DECREF(all);
    return CreationFault();
  }
  int rc = PyList_Append(all, py_name);
  Py_DECREF(all);
  if (rc == 0) rc = PyObject_SetAttr(module, py_name, value);
  Py_DECREF(py_name);
  return rc;
}

int Exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    RaiseTypeMismatch(module, "module");
    return -1;
  }
  PyObject* writer = WriterClass::Create();
  if (writer == nullptr || AddToAll(module, "_VelkWriter", writer) < 0) return -1;
  PyObject* reader = ReaderClass::Create();
  if (reader == nullptr || AddToAll(module, "_VelkReader", reader) < 0) return -1;
  PyObject* version = PyUnicode_FromString(VELK_VERSION);
  if (version == nullptr) return CreationFault();
  int rc = AddToAll(module, "__version__", version);
  Py_DECREF(version);
  return rc;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_velkstore",
    .m_doc = "velkstore._velkstore \u2014 native extension module entry-point",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = kSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace velk::py

PyMODINIT_FUNC PyInit__velkstore(void) { return PyModuleDef_Init(&velk::py::kModule); }
