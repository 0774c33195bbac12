// Argument descriptions and the argument parse shared by every callable.
// Every parameter may be given by position or by keyword; the first
// `required` parameters must be given.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "bind/python.h"

namespace velk::py {

inline constexpr size_t kMaxParams = 3;

struct ArgSpec {
  const char* full_name;  // "_VelkReader.get_raw()"
  std::array<const char*, kMaxParams> names;
  size_t count;
  size_t required;
  // Interned copies of names, made on first use: keywords spelled in source
  // are interned too, so most match by pointer without comparing text.
  mutable std::array<PyObject*, kMaxParams> interned{};
};

// Borrowed references, one per parameter; nullptr where none was given.
using ArgSlots = std::array<PyObject*, kMaxParams>;

// Strong references to the filled slots for as long as it lives.
class HeldArgs {
 public:
  explicit HeldArgs(const ArgSlots& slots) : slots_(slots) {
    for (PyObject* obj : slots_) Py_XINCREF(obj);
  }
  HeldArgs(const HeldArgs&) = delete;
  HeldArgs& operator=(const HeldArgs&) = delete;
  ~HeldArgs() {
    for (PyObject* obj : slots_) Py_XDECREF(obj);
  }

 private:
  ArgSlots slots_;
};

// Fast-call form: args holds nargs positional values, then one value per
// name in kwnames.  Returns false with a TypeError set.
bool ParseFastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, ArgSlots& slots);

// Tuple-and-dictionary form, used by constructors.
bool ParseTupleDict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, ArgSlots& slots);

}  // namespace velk::py
