// The call frame: every method, constructor and repr of both classes runs
// through one of the entry points below.  The frame parses arguments,
// checks the receiver, takes its borrow, runs the operation, converts the
// native result into a Python object and turns every failure into a Python
// exception.  No C++ exception ever leaves it.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "bind/args.h"
#include "fixed/borrow.h"
#include "fixed/convert.h"
#include "core/base/status.h"
#include "fixed/errors.h"
#include "bind/guard.h"
#include "bind/python.h"
#include "fixed/results.h"

namespace velk::py {

using bind::ArgSlots;
using bind::ArgSpec;
using bind::HeldArgs;
using bind::ParseFastcall;
using bind::ParseTupleDict;
using bind::Wording;

// A Python exception is already set (an argument conversion failed).
struct PyErrorSet {};

// What an operation returns: its native result, a store error, or a
// pending Python exception.
template <typename T>
class Outcome {
 public:
  Outcome(T value) : r_(std::move(value)) {}              // NOLINT
  Outcome(StoreError err) : r_(std::move(err)) {}         // NOLINT
  Outcome(Result<T>&& r) : r_(std::move(r)) {}            // NOLINT
  Outcome(PyErrorSet) : r_(StoreError::General({})), py_error_set_(true) {}  // NOLINT

  bool ok() const { return !py_error_set_ && r_.ok(); }
  T&& value() && { return std::move(r_).value(); }
  // For a failed outcome: raises the store error (or keeps the pending
  // exception) and returns nullptr.
  PyObject* Raise() const {
    if (!py_error_set_) return RaiseStoreError(r_.error());
    return nullptr;
  }

 private:
  Result<T> r_;
  bool py_error_set_ = false;
};

// Converts a native result with ToPython.  The interpreter failing to
// create the result object is an internal fault.
template <typename T>
PyObject* Convert(T&& value) {
  PyObject* obj = ToPython(std::move(value));
  if (obj == nullptr) return UnraisableFault("failed to create the result object", __FILE__, __LINE__);
  return obj;
}

template <typename T>
PyObject* Finish(Outcome<T>&& out) {
  if (!out.ok()) return out.Raise();
  return Convert(std::move(out).value());
}

// The Python object of either class: header, native state, borrow counter.
template <typename State>
struct Instance {
  PyObject_HEAD
  State state;
  std::atomic<int32_t> borrow;
};

// The face's internal fault is PanicException.
struct FixedFace {
  static PyObject* Fault(std::string_view text, const char* file, int line) { return RaisePanic(text, file, line); }
};

// Runs body with every C++ exception turned into a Python one.
template <typename Body>
PyObject* Guarded(Body&& body) noexcept {
  return bind::Guarded<FixedFace>(std::forward<Body>(body));
}

// Class traits supply: using State; static PyTypeObject* Type() (nullptr
// with an error set on failure); static constexpr const char* kName.
template <typename Cls>
using InstanceOf = Instance<typename Cls::State>;

template <typename Cls>
InstanceOf<Cls>* CheckReceiver(PyObject* self) {
  PyTypeObject* type = Cls::Type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    RaiseTypeMismatch(self, Cls::kName);
    return nullptr;
  }
  return reinterpret_cast<InstanceOf<Cls>*>(self);
}

// Runs body(InstanceOf<Cls>*) on a checked receiver under its borrow.
template <typename Cls, Borrow kBorrow, typename Body>
PyObject* WithReceiver(PyObject* self, Body&& body) {
  auto* obj = CheckReceiver<Cls>(self);
  if (obj == nullptr) return nullptr;
  BorrowGuard guard(&obj->borrow, kBorrow);
  if (!guard.ok()) return nullptr;
  return body(obj);
}

// An operation: Outcome<T> op(InstanceOf<Cls>* self, const ArgSlots& args).
template <typename Cls, Borrow kBorrow, auto kOp>
PyObject* Invoke(PyObject* self, const ArgSlots& slots) {
  return WithReceiver<Cls, kBorrow>(self, [&](InstanceOf<Cls>* obj) { return Finish(kOp(obj, slots)); });
}

// METH_FASTCALL | METH_KEYWORDS methods.
template <typename Cls, Borrow kBorrow, const ArgSpec& kSpec, auto kOp>
PyObject* Method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guarded([&]() -> PyObject* {
    ArgSlots slots;
    if (kwnames == nullptr && static_cast<size_t>(nargs) == kSpec.count) {
      // Every parameter given by position: nothing for the parser to check.
      for (size_t i = 0; i < kSpec.count; ++i) slots[i] = args[i];
    } else if (!ParseFastcall(kSpec, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    return Invoke<Cls, kBorrow, kOp>(self, slots);
  });
}

// METH_FASTCALL | METH_KEYWORDS methods with one key parameter, the
// lookups that programs call millions of times.  A call with one plain key
// (see BorrowPlainKey) by position runs the lean form of the operation,
// Result<T> probe(InstanceOf<Cls>*, std::string_view key), which skips the
// parse and the general conversion; its fault (a damaged record) is raised
// as the general form kOp would raise it, so no message changes.  Any other
// argument shape takes kOp, which parses, converts and reports everything.
// A probe may also return the Python result itself (nullptr with the
// error raised), which spares the hottest lookups a Result on the way.
template <typename Cls, Borrow kBorrow, const ArgSpec& kSpec, auto kOp, auto kProbe>
PyObject* KeyMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  std::string_view key;
  if (kwnames != nullptr || nargs != 1 || !BorrowPlainKey(args[0], &key)) [[unlikely]] {
    return Method<Cls, kBorrow, kSpec, kOp>(self, args, nargs, kwnames);
  }
  return Guarded([&]() -> PyObject* {
    return WithReceiver<Cls, kBorrow>(self, [&](InstanceOf<Cls>* obj) -> PyObject* {
      if constexpr (std::is_same_v<decltype(kProbe(obj, key)), PyObject*>) {
        return kProbe(obj, key);
      } else {
        auto result = kProbe(obj, key);
        if (result.ok()) [[likely]] return Convert(std::move(result).value());
        return RaiseStoreError(result.error());
      }
    });
  });
}

// METH_NOARGS methods: the interpreter itself rejects any argument.
template <typename Cls, Borrow kBorrow, auto kOp>
PyObject* NoArgs(PyObject* self, PyObject* /*unused*/) noexcept {
  return Guarded([&]() -> PyObject* { return Invoke<Cls, kBorrow, kOp>(self, ArgSlots{}); });
}

// tp_repr.
template <typename Cls, Borrow kBorrow, auto kOp>
PyObject* Repr(PyObject* self) noexcept {
  return NoArgs<Cls, kBorrow, kOp>(self, nullptr);
}

// tp_new: parse, build the native state with
// Outcome<State> build(const ArgSlots&), then create the instance.
template <typename Cls, const ArgSpec& kSpec, auto kBuild>
PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return Guarded([&]() -> PyObject* {
    ArgSlots slots;
    if (!ParseTupleDict(kSpec, args, kwargs, slots)) return nullptr;
    // Keyword values are borrowed from the caller's dictionary, which Python
    // code run by a later conversion (a truth value, an attribute lookup)
    // can empty; the references held here keep every argument, and the
    // views into it such as a path's UTF-8 text, alive until the end.
    const HeldArgs held(slots);
    auto built = kBuild(slots);
    if (!built.ok()) return built.Raise();
    // The state is a local until the instance exists: a failed allocation
    // destroys it on the way out (unmapping the file, for a reader).
    typename Cls::State state = std::move(built).value();
    PyObject* empty = PyTuple_New(0);
    if (empty == nullptr) return nullptr;
    PyObject* self = PyBaseObject_Type.tp_new(type, empty, nullptr);
    Py_DECREF(empty);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<InstanceOf<Cls>*>(self);
    std::construct_at(&obj->state, std::move(state));
    std::construct_at(&obj->borrow, 0);
    return self;
  });
}

// tp_dealloc: no borrow check; the state goes first, then the memory, then
// the instance's reference to its heap type.
template <typename Cls>
void Dealloc(PyObject* self) noexcept {
  auto* obj = reinterpret_cast<InstanceOf<Cls>*>(self);
  std::destroy_at(&obj->state);
  std::destroy_at(&obj->borrow);
  bind::FreeInstance(self);
}

}  // namespace velk::py
