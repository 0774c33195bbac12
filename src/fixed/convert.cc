#include "fixed/convert.h"

#include <algorithm>
#include <limits>

#include "fixed/errors.h"
#include "bind/once.h"

namespace velk::py {
namespace {

bool Fail(std::string_view name) {
  WrapArgumentError(name);
  return false;
}

using bind::MustPropagate;

// False with an error set, or false with none when the items are no key.
bool KeyFromSequence(PyObject* obj, std::string& out) {
  // len() is only a hint, and any object may claim any length: the room
  // reserved ahead stays within the longest key the format stores, and the
  // key is built from the items actually produced.
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    if (MustPropagate()) return false;
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(std::min(static_cast<size_t>(hint), static_cast<size_t>(kMaxKeyLength)));
  PyObject* it = PyObject_GetIter(obj);
  if (it == nullptr) return false;
  bool ok = true;
  while (PyObject* item = PyIter_Next(it)) {
    long v = PyLong_AsLong(item);
    Py_DECREF(item);
    if ((v == -1 && PyErr_Occurred()) || v < 0 || v > 255) {
      ok = false;
      break;
    }
    out.push_back(static_cast<char>(v));
  }
  Py_DECREF(it);
  return ok && !PyErr_Occurred();
}

bool IsNumpyBool(PyObject* obj) {
  PyTypeObject* tp = Py_TYPE(obj);
  PyObject* name = PyType_GetName(tp);
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool name_ok = PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                 PyUnicode_CompareWithASCIIString(name, "bool") == 0;
  Py_DECREF(name);
  if (!name_ok) return false;
  static OnceObject module_name;
  PyObject* attr = module_name.Get([] { return PyUnicode_InternFromString("__module__"); });
  if (attr == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* module = PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), attr);
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool module_ok = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  return module_ok;
}

}  // namespace

bool ConvertKeySlow(PyObject* obj, KeyBuf& out) {
  switch (bind::BorrowKey(obj, &out)) {
    case bind::KeyKind::kBytes: return true;
    case bind::KeyKind::kError: return false;
    case bind::KeyKind::kUnencodable: break;  // lone surrogates: no other attempt applies to a str
    case bind::KeyKind::kOther:
      if (!PySequence_Check(obj)) break;
      if (KeyFromSequence(obj, out.owned)) {
        out.UseOwned();
        return true;
      }
      if (MustPropagate()) return false;
      PyErr_Clear();
      break;
  }
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

bool ConvertPath(PyObject* obj, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    RaiseTypeMismatch(obj, "str");
    return Fail("path");
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return Fail("path");  // UnicodeEncodeError passes unchanged
  *out = {utf8, static_cast<size_t>(len)};
  return true;
}

bool ConvertVerify(PyObject* obj, bool* out) {
  if (obj == nullptr || obj == Py_True) {
    *out = true;
    return true;
  }
  if (obj == Py_False) {
    *out = false;
    return true;
  }
  if (!IsNumpyBool(obj)) {
    RaiseTypeMismatch(obj, "bool");
    return Fail("verify");
  }
  PyTypeObject* tp = Py_TYPE(obj);
  inquiry nb_bool = tp->tp_as_number ? tp->tp_as_number->nb_bool : nullptr;
  if (nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(tp));
    return Fail("verify");
  }
  int truth = nb_bool(obj);
  if (truth < 0) return Fail("verify");
  *out = truth != 0;
  return true;
}

bool ConvertRawBytes(PyObject* obj, Bytes* out) {
  if (!PyBytes_Check(obj)) {
    RaiseTypeMismatch(obj, "bytes");
    return Fail("raw_bytes");
  }
  *out = {reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(obj)),
          static_cast<size_t>(PyBytes_GET_SIZE(obj))};
  return true;
}

bool ConvertObjId(PyObject* obj, uint64_t* out) {
  unsigned long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return Fail("obj_id");
    v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Fail("obj_id");
  if constexpr (std::numeric_limits<size_t>::max() < std::numeric_limits<unsigned long long>::max()) {
    if (v > std::numeric_limits<size_t>::max()) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
  }
  *out = v;
  return true;
}

PyObject* DecodeKey(std::string_view key) {
  return PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace");
}

}  // namespace velk::py
