// What the files of the package's module share: the Python objects it uses
// from the package and from msgpack, key and path conversions, argument
// parsing and the one mapping of core errors to the package's exceptions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bind/args.h"
#include "bind/bytes.h"
#include "bind/guard.h"
#include "bind/python.h"
#include "core/base/status.h"
#include "core/format/format.h"
#include "core/reader/store_reader.h"

namespace velk {
class StagedStore;
}

namespace velk::native {

using bind::KeyBuf;
using bind::NewBytes;
using bind::Ref;
using bind::WithoutLock;

// The package's objects, handed over by _setup, and msgpack's, looked up
// when the module is executed; strong references held for the life of the
// process.
struct Imports {
  PyObject* velk_error;     // velkstore._errors.VelkError
  PyObject* corrupt_error;  // ...CorruptError
  PyObject* version_error;  // ...VersionError
  PyObject* limit_error;    // ...LimitError
  PyObject* closed_error;   // ...ClosedError
  PyObject* busy_error;     // ...BusyError
  PyObject* not_open_error;  // ...ShardNotOpenError
  PyObject* os_error;       // ...os_error(code, strerror, filename)
  PyObject* decode;         // velkstore._common.decode(raw, key): the full decoder; null until _setup
  PyObject* unpackb;        // msgpack.unpackb
  PyObject* packer_type;    // msgpack.Packer
  PyObject* new_packer;     // velkstore._common.new_packer(): the full encoder, one per writer; null until _setup
};
extern Imports imports;

// Fails a call: sets the exception and returns nullptr.
PyObject* RaiseClosed(const char* what);
// Raises err as the package's exception; filename (may be null) names the
// file involved.  Always returns nullptr.
PyObject* RaiseStoreError(const StoreError& err, PyObject* filename);

enum class KeyConv { kOk, kNoBytes, kError };
// Key conversion: str (UTF-8, lone surrogates U+DC80..U+DCFF as the bytes
// they escape), bytes, bytearray, memoryview.  kNoBytes: text with no byte
// form (no stored key can equal it), no error set.  kError: TypeError set.
KeyConv ToKey(PyObject* obj, KeyBuf* out);
// The keys of a batch lookup, converted holding the lock as every lookup
// converts them.  views[j] is the bytes of key j, pointing into the key
// object (which the caller keeps alive: in a tuple of its own, as nothing
// else can change it while the lock is let go) or into owned, for a key
// that needed a converted copy; usable[j] is 0 for text with no byte form,
// which no stored key can equal.
struct BatchKeys {
  std::vector<std::string_view> views;
  std::vector<uint8_t> usable;
  std::vector<std::string> owned;
  // Converts items[0, n); false with the error set.
  bool Convert(PyObject* const* items, size_t n);
};

// The keys argument of a batch lookup as a tuple of its own (new
// reference): the keys' bytes are read in place while the lock is let go,
// and no other thread can change it meanwhile.  nullptr with TypeError set
// for a single key (str or bytes) or a non-iterable.
PyObject* KeyTuple(PyObject* keys);

// One reader's part of a batch lookup, run with the lock or without it:
// found and payloads for keys as ProbeMany gives them, and the found values
// decompressed into *arena when the file compresses them.  usable (may be
// null: all) marks the keys whose answer counts.  The first fault met, a
// damaged record of a usable key or a damaged compressed value, goes to
// *fault (unless one is there already).  hashes as ProbeMany takes them.
void LookupPart(const StoreReader& store, std::span<const std::string_view> keys, const uint8_t* usable,
                StoreReader::Found* found, Bytes* payloads, DecodeBuffer* arena,
                std::optional<StoreError>* fault, const uint64_t* hashes = nullptr);

// A stored key as str (surrogateescape) or bytes.  New references.
inline PyObject* KeyStr(std::string_view k) {
  return PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "surrogateescape");
}
inline PyObject* KeyBytes(std::string_view k) { return NewBytes(k); }

// The value of a stored object as every read hands it on: decompressed
// when the file compresses its values (into a buffer of this thread's,
// valid until its next call), else stored itself.  False with
// CorruptError set (naming path) when the stored object is damaged.
bool DecompressedValueOf(const StoreReader& r, Bytes stored, PyObject* path, Bytes* value);
inline bool ValueOf(const StoreReader& r, Bytes stored, PyObject* path, Bytes* value) {
  if (!r.values().compressed()) [[likely]] {
    *value = stored;
    return true;
  }
  return DecompressedValueOf(r, stored, path, value);
}

// Decodes stored MessagePack bytes; key (may be null) names the key in the
// error of a value that does not decode.  New reference.
PyObject* Decode(Bytes payload, PyObject* key);

// Parameters of a call: Params{"get_many()", names, count, required,
// max_positional}.  Parameters past max_positional are keyword-only; those
// past required are optional (their slots stay null when absent).
using Params = bind::ArgSpec;

// Fills slots[0..p.count) from METH_FASTCALL | METH_KEYWORDS arguments.
inline bool ParseArgs(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** slots) {
  const auto n = static_cast<size_t>(nargs);
  if (kwnames == nullptr && n >= p.required && n <= p.positional) [[likely]] {
    // All by position, as most calls are: nothing for the parser to check.
    std::copy_n(args, n, slots);
    std::fill(slots + n, slots + p.count, nullptr);
    return true;
  }
  bind::ArgSlots all;
  if (!bind::ParseFastcall(p, args, nargs, kwnames, all)) return false;
  std::copy_n(all.begin(), p.count, slots);
  return true;
}

// A constructor's arguments, from its tuple and dictionary.  Each is held
// for as long as this lives: the dictionary's values are borrowed, and
// Python code run while converting one (a truth value, an __index__) may
// empty the dictionary.
class NewArgs {
 public:
  NewArgs() { slots_.fill(nullptr); }
  NewArgs(const NewArgs&) = delete;
  NewArgs& operator=(const NewArgs&) = delete;
  ~NewArgs() {
    for (PyObject* obj : slots_) Py_XDECREF(obj);
  }
  // False with TypeError set.
  bool Parse(const Params& p, PyObject* args, PyObject* kwargs) {
    if (!bind::ParseTupleDict(p, args, kwargs, slots_)) {
      slots_.fill(nullptr);
      return false;
    }
    for (PyObject* obj : slots_) Py_XINCREF(obj);
    return true;
  }
  // The argument of parameter i, or nullptr when it was not given.
  PyObject* operator[](size_t i) const { return slots_[i]; }

 private:
  bind::ArgSlots slots_;
};

// os.fspath(obj) as given (str or bytes) in *given and its bytes in *bytes.
bool ToPath(PyObject* obj, Ref* given, std::string* bytes);

// The face's internal fault is SystemError.
struct PackageFace {
  static PyObject* Fault(std::string_view text, const char* file, int line);
};

// Runs body with C++ exceptions turned into Python ones.
template <typename Body>
PyObject* Guard(Body&& body) noexcept {
  return bind::Guarded<PackageFace>(std::forward<Body>(body));
}

// A type slot's function run in the guard: Slot<F>::Call has F's type, for
// the slot tables.
template <auto kSlot>
struct Slot;
template <typename R, typename... A, R (*kSlot)(A...)>
struct Slot<kSlot> {
  static R Call(A... a) noexcept {
    if constexpr (std::is_pointer_v<R>) {
      return bind::GuardedSlot<PackageFace>([&] { return kSlot(a...); }, R{nullptr});
    } else {
      return bind::GuardedSlot<PackageFace>([&] { return kSlot(a...); }, R{-1});
    }
  }
};

// Method-table helper: casts a fastcall function to the table's type.
template <typename F>
PyCFunction Fn(F* f) {
  return bind::AsCFunction(f);
}

// The classes, created by the module's execution step.
PyObject* CreateReaderType(PyObject* module);
PyObject* CreateScanType(PyObject* module);
PyObject* CreateWriterType(PyObject* module);
// reindex(path): adds the lookup index to the file at path, atomically;
// (num_keys, num_objects, file_size, file_crc32) as _build gives them.
PyObject* ReindexFile(PyObject* module, PyObject* path);
PyObject* CreateRouterType(PyObject* module);
// _json_line(raw, key): the command line's JSON line for a stored value
// (key None) or for {"key": key, "value": value}; None when the general
// path must render it.
PyObject* JsonLine(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern PyTypeObject* scan_type;
extern PyTypeObject* reader_type;
extern PyTypeObject* writer_type;
// The staged store of writer (a package writer) when it may change now, and
// in *changes its count of bindings, which each binding staged raises by
// one; nullptr with the error set (not a writer, closed, being built).
StagedStore* WriterStore(PyObject* writer, uint64_t** changes);
// The module's functions: split_pairs.
extern PyMethodDef shard_functions[];

}  // namespace velk::native
