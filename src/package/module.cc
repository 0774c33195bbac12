// velkstore._native: the package's own face over the storage core.  The
// execution step creates the classes and looks up, once, the exception
// classes of velkstore._errors and the MessagePack functions the classes use.
#include "package/api.h"

namespace velk::native {
namespace {

// A new reference to module.name, or nullptr with the error set.
PyObject* Attr(const char* module, const char* name) {
  Ref m(PyImport_ImportModule(module));
  if (!m) return nullptr;
  return PyObject_GetAttrString(m.get(), name);
}

int AddType(PyObject* module, PyObject* type) {
  if (type == nullptr) return -1;
  const int rc = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
  Py_DECREF(type);
  return rc;
}

int Exec(PyObject* module) {
  struct Wanted {
    PyObject** slot;
    const char* module;
    const char* name;
  };
  const Wanted wanted[] = {
      {&imports.velk_error, "velkstore._errors", "VelkError"},
      {&imports.corrupt_error, "velkstore._errors", "CorruptError"},
      {&imports.version_error, "velkstore._errors", "VersionError"},
      {&imports.limit_error, "velkstore._errors", "LimitError"},
      {&imports.closed_error, "velkstore._errors", "ClosedError"},
      {&imports.busy_error, "velkstore._errors", "BusyError"},
      {&imports.os_error, "velkstore._errors", "os_error"},
      {&imports.decode, "velkstore._common", "decode"},
      {&imports.unpackb, "msgpack", "unpackb"},
      {&imports.new_packer, "velkstore._common", "new_packer"},
  };
  for (const Wanted& w : wanted) {
    if (*w.slot != nullptr) continue;  // a second import of the module
    *w.slot = Attr(w.module, w.name);
    if (*w.slot == nullptr) return -1;
  }
  if (AddType(module, CreateReaderType(module)) < 0) return -1;
  PyObject* scan = CreateScanType(module);
  if (scan == nullptr) return -1;
  if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(scan)) < 0) return -1;  // kept by scan_type
  if (AddType(module, CreateRouterType(module)) < 0) return -1;
  return AddType(module, CreateWriterType(module));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velkstore._native",
    .m_doc = "The native classes under velkstore.VelkReader and velkstore.VelkWriter.",
    .m_size = 0,
    .m_methods = shard_functions,
    .m_slots = kSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace velk::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&velk::native::kModule); }
