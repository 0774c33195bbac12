#include "fixed/errors.h"

#include <unistd.h>

#include <cstring>

#include "bind/error_table.h"
#include "bind/once.h"
#include "core/base/fd.h"

namespace velk::py {
namespace {

constexpr char kPanicDoc[] =
    "The exception raised when native code called from Python hits an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException, so that it typically propagates\n"
    "all the way up the stack and makes the interpreter exit.";

OnceObject panic_type;

// Created once per process on first need; it cannot be done without.
PyObject* PanicType() {
  return panic_type.Get([] {
    PyObject* t = PyErr_NewExceptionWithDoc("velkstore_runtime.PanicException", kPanicDoc,
                                            PyExc_BaseException, nullptr);
    if (t == nullptr) Py_FatalError("Failed to initialize new exception type.");
    return t;
  });
}

// The name each kind of store error carries in front of its message.
std::string_view Label(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kCorrupt: return "VelkCorruptError";
    case ErrorKind::kVersion: return "VelkVersionError";
    case ErrorKind::kIo: return "VelkIOError";
    case ErrorKind::kGeneral: return "VelkError";
  }
  return "VelkError";
}

// The system's description of an errno value: "{text} (os error {code})".
std::string OsErrorText(int code) {
  char buf[256];
  // GNU strerror_r may return a static string rather than fill buf.
  std::string out(strerror_r(code, buf, sizeof buf));
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

// The message after the label: the row's words, the detail and the
// system's description of a failed call, or the version found.
std::string Message(const StoreError& err) {
  if (err.kind() == ErrorKind::kVersion) return "unsupported version " + std::to_string(err.version());
  std::string head = bind::RowFor(err.reason()).fixed_head;
  // A failed file-system step names its file, after the row's words when
  // they do not name it already ("open tmp: {path}: {text} (os error N)").
  // A path holding a NUL byte is the fault itself and is not printed.
  if (err.kind() == ErrorKind::kIo && !err.path().empty() && err.path().find('\0') == std::string::npos &&
      head.find("{path}") == std::string::npos) {
    head = head.empty() ? "{path}" : head + ": {path}";
  }
  return bind::Compose(head, err, err.os_errno() != 0 ? OsErrorText(err.os_errno()) : std::string());
}

// Qualified name of obj's type as UTF-8, or nullopt if it cannot be read.
bool TypeQualName(PyObject* obj, std::string* out) {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
  if (utf8 == nullptr) {
    PyErr_Clear();
    Py_DECREF(name);
    return false;
  }
  out->assign(utf8, static_cast<size_t>(len));
  Py_DECREF(name);
  return true;
}

}  // namespace

PyObject* RaiseStoreError(const StoreError& err) {
  PyObject* type = nullptr;
  switch (err.kind()) {
    case ErrorKind::kCorrupt:
    case ErrorKind::kVersion: type = PyExc_RuntimeError; break;
    case ErrorKind::kIo: type = PyExc_OSError; break;
    case ErrorKind::kGeneral: type = PyExc_ValueError; break;
  }
  std::string text(Label(err.kind()));
  text += ": ";
  text += Message(err);
  PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (msg == nullptr) return UnraisableFault("failed to create the error message", __FILE__, __LINE__);
  // One argument, the full text: OSError then leaves errno and strerror None.
  PyObject* exc = PyObject_CallOneArg(type, msg);
  Py_DECREF(msg);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
  return nullptr;
}

PyObject* RaisePanic(std::string_view text, const char* file, int line) {
  if (text.empty()) text = "internal fault in native code";
  std::string diag = "velkstore: internal fault at ";
  diag += file;
  diag += ':';
  diag += std::to_string(line);
  diag += ": ";
  diag += text;
  diag += '\n';
  // Best effort: the fault is raised whether or not the diagnostic got out.
  (void)WriteAll(STDERR_FILENO, AsBytes(diag), "");
  PyObject* type = PanicType();
  PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (msg == nullptr) Py_FatalError("uncaught panic at ffi boundary");
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
  return nullptr;
}

PyObject* UnraisableFault(std::string_view text, const char* file, int line) {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  return RaisePanic(text, file, line);
}

PyObject* RaiseTypeMismatch(PyObject* obj, std::string_view expected) {
  std::string msg;
  if (obj == Py_None) {
    msg = "'None' is not an instance of '";
  } else {
    std::string name;
    if (!TypeQualName(obj, &name)) name = "<failed to extract type name>";
    msg = "'" + name + "' object is not an instance of '";
  }
  msg += expected;
  msg += '\'';
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return nullptr;
}

void WrapArgumentError(std::string_view name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc);
    return;
  }
  PyObject* text = PyObject_Str(exc);
  if (text == nullptr) {
    Py_DECREF(exc);
    return;
  }
  // The name as its own str: PyUnicode_FromFormat takes "%.*s" only from
  // CPython 3.12 on (earlier ones copy the format through unformatted).
  PyObject* name_str = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  PyObject* wrapped_msg =
      name_str == nullptr ? nullptr : PyUnicode_FromFormat("argument '%U': %U", name_str, text);
  Py_XDECREF(name_str);
  Py_DECREF(text);
  if (wrapped_msg == nullptr) {
    Py_DECREF(exc);
    return;
  }
  PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, wrapped_msg);
  Py_DECREF(wrapped_msg);
  if (wrapped == nullptr) {
    Py_DECREF(exc);
    return;
  }
  PyException_SetCause(wrapped, PyException_GetCause(exc));  // steals the new reference
  Py_DECREF(exc);
  PyErr_SetRaisedException(wrapped);
}

}  // namespace velk::py
