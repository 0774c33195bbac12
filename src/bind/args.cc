#include "bind/args.h"

#include <string>

namespace velk::bind {
namespace {

std::string Plural(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

void TooManyPositional(const ArgSpec& spec, Py_ssize_t n) {
  std::string msg = spec.full_name;
  const size_t most = spec.positional;
  const size_t least = std::min(spec.required, most);
  if (least == most) {
    msg += " takes " + std::to_string(most);
    msg += most == 1 && spec.wording == Wording::kPython ? " positional argument" : " positional arguments";
  } else {
    msg += " takes from " + std::to_string(least) + " to " + std::to_string(most) + " positional arguments";
  }
  msg += " but " + std::to_string(n) + " " + Plural(n) + " given";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void UnexpectedKeyword(const ArgSpec& spec, PyObject* name) {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.full_name, name);
}

// Slot index of the parameter called name, or -1.  Parameter names are
// ASCII, so comparing with them never needs the name's UTF-8 form (and a
// name that has none, such as one with lone surrogates, matches nothing).
Py_ssize_t FindParam(const ArgSpec& spec, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (size_t i = 0; i < spec.count; ++i) {
    if (spec.interned[i] == nullptr) {
      spec.interned[i] = PyUnicode_InternFromString(spec.names[i]);  // kept for the process
      if (spec.interned[i] == nullptr) PyErr_Clear();  // the text comparison still serves
    }
    if (name == spec.interned[i]) return static_cast<Py_ssize_t>(i);
  }
  for (size_t i = 0; i < spec.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, spec.names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

bool TakeKeyword(const ArgSpec& spec, PyObject* name, PyObject* value, ArgSlots& slots) {
  Py_ssize_t i = FindParam(spec, name);
  if (i < 0) {
    UnexpectedKeyword(spec, name);
    return false;
  }
  if (slots[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.full_name,
                 spec.names[i]);
    return false;
  }
  slots[i] = value;
  return true;
}

bool CheckMissing(const ArgSpec& spec, Py_ssize_t nargs, const ArgSlots& slots) {
  if (static_cast<size_t>(nargs) >= spec.required) return true;
  const char* missing[kMaxParams];
  size_t count = 0;
  for (size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == nullptr) missing[count++] = spec.names[i];
  }
  if (count == 0) return true;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string list;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) list += (i + 1 == count) ? " and " : " ";
    list += '\'';
    list += missing[i];
    list += '\'';
    if (count > 2 && i + 1 < count) list += ',';
  }
  std::string msg = spec.full_name;
  msg += " missing " + std::to_string(count) + " required positional " +
         (count == 1 ? "argument" : "arguments") + ": " + list;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool TakePositional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, ArgSlots& slots) {
  if (static_cast<size_t>(nargs) > spec.positional) {
    TooManyPositional(spec, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

}  // namespace

bool ParseFastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, ArgSlots& slots) {
  slots.fill(nullptr);
  if (!TakePositional(spec, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!TakeKeyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return CheckMissing(spec, nargs, slots);
}

bool ParseTupleDict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, ArgSlots& slots) {
  slots.fill(nullptr);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!TakePositional(spec, &PyTuple_GET_ITEM(args, 0), nargs, slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!TakeKeyword(spec, name, value, slots)) return false;
    }
  }
  return CheckMissing(spec, nargs, slots);
}

}  // namespace velk::bind
