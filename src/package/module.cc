// velkstore._native: the package's own face over the storage core.  The
// execution step creates the classes and looks up the MessagePack functions
// they use; it imports nothing of the package, which hands over its
// exception classes and full decoder once, by _setup, as it is imported.
#include "package/api.h"
#include "package/arrow_functions.h"

namespace velk::native {
namespace {

struct Handed {
  PyObject** slot;
  const char* name;
  PyObject* fallback;  // until _setup: a built-in class of the same family
};

// What the package hands over, by name in the mapping given to _setup.
const Handed kHanded[] = {
    {&imports.velk_error, "VelkError", PyExc_Exception},
    {&imports.corrupt_error, "CorruptError", PyExc_RuntimeError},
    {&imports.version_error, "VersionError", PyExc_RuntimeError},
    {&imports.limit_error, "LimitError", PyExc_ValueError},
    {&imports.closed_error, "ClosedError", PyExc_ValueError},
    {&imports.busy_error, "BusyError", PyExc_RuntimeError},
    {&imports.not_open_error, "ShardNotOpenError", PyExc_LookupError},
    {&imports.os_error, "os_error", PyExc_OSError},  // called as os_error(code, strerror, filename)
    {&imports.decode, "decode", nullptr},
    {&imports.new_packer, "new_packer", nullptr},
};

PyObject* Setup(PyObject*, PyObject* names) {
  for (const Handed& h : kHanded) {
    PyObject* value = PyMapping_GetItemString(names, h.name);
    if (value == nullptr) return nullptr;
    Py_XSETREF(*h.slot, value);  // kept for the life of the process
  }
  Py_RETURN_NONE;
}

PyMethodDef kModuleFunctions[] = {
    {"_setup", Fn(Setup), METH_O,
     "_setup(names, /)\n--\n\nTake the package's exception classes, os_error, decode and new_packer from the mapping names."},
    {"reindex", Fn(ReindexFile), METH_O,
     "reindex(path, /)\n--\n\nAdd the lookup index to the store file at path, atomically; values are not decoded."},
    {"_json_line", Fn(JsonLine), METH_FASTCALL,
     "_json_line(raw, key, /)\n--\n\nThe command line's JSON line (newline included) for the stored value raw, or for\n"
     "{\"key\": key, \"value\": value} when key is bytes; None when the value needs the general path."},
    {"_arrow_get_many", Fn(ArrowGetMany), METH_FASTCALL, nullptr},
    {"_arrow_stage", Fn(ArrowStage), METH_FASTCALL, nullptr},
    {"_arrow_pack", Fn(ArrowPack), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

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
  for (const Handed& h : kHanded) {
    if (*h.slot == nullptr && h.fallback != nullptr) *h.slot = Py_NewRef(h.fallback);
  }
  if (imports.unpackb == nullptr && (imports.unpackb = Attr("msgpack", "unpackb")) == nullptr) return -1;
  if (imports.packer_type == nullptr && (imports.packer_type = Attr("msgpack", "Packer")) == nullptr) return -1;
  if (PyModule_AddFunctions(module, kModuleFunctions) < 0) return -1;
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
