// Argument descriptions and the one argument parse of both faces.  The
// first `positional` parameters may be given by position or by keyword, the
// rest by keyword only; the first `required` ones must be given.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "bind/python.h"

namespace velk::bind {

inline constexpr size_t kMaxParams = 5;

// How the messages are worded.  kPython as the interpreter words its own
// functions' ("takes 1 positional argument but 2 were given"); kFixed as
// the fixed face's surface has always worded them, "arguments" whatever
// the count when there is no range.
enum class Wording { kPython, kFixed };

struct ArgSpec {
  ArgSpec(const char* name, std::initializer_list<const char*> params, size_t n, size_t n_required,
          Wording how = Wording::kPython)
      : full_name(name), count(n), required(n_required), positional(n), wording(how) {
    std::copy(params.begin(), params.end(), names.begin());
  }
  // A C array of names, the first max_positional of them positional.
  template <size_t N>
  ArgSpec(const char* name, const char* const (&params)[N], size_t n, size_t n_required, size_t max_positional)
      : full_name(name), count(n), required(n_required), positional(max_positional), wording(Wording::kPython) {
    static_assert(N <= kMaxParams);
    std::copy(params, params + N, names.begin());
  }

  const char* full_name;  // "_VelkReader.get_raw()"
  std::array<const char*, kMaxParams> names{};
  size_t count;
  size_t required;
  size_t positional;
  Wording wording;
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

}  // namespace velk::bind
