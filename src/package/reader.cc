// velkstore._native.Reader: an open store as a read-only mapping.  Lookups
// hold the interpreter lock (they are shorter than letting it go); the
// open, the batch lookups and verify() let it go while they work.
#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/reader/header_claims.h"
#include "bind/error_table.h"
#include "core/reader/mapping.h"
#include "package/api.h"
#include "package/frame.h"
#include "package/reader.h"

namespace velk::native {
namespace {

using Self = ReaderObject;

// Batches shorter than this are looked up holding the lock: giving it up
// and taking it back costs more than they do.
constexpr size_t kReleaseLockFrom = 64;

const StoreReader* Open(Self* self) {
  const StoreReader* r = self->store.get();
  if (r == nullptr) [[unlikely]] RaiseClosed("reader");
  return r;
}

// Looks key up in the store r of self: 1 found (*payload set), 0 absent,
// -1 with its fault raised.
[[gnu::always_inline]] inline int LookupIn(const Self* self, const StoreReader& r, std::string_view key,
                                           Bytes* payload) {
  std::optional<StoreError> fault;
  const StoreReader::Found found = r.Lookup(key, payload, &fault);
  if (found == StoreReader::Found::kFound) [[likely]] return 1;
  if (found == StoreReader::Found::kAbsent) return 0;
  return RaiseStoreError(*fault, self->path), -1;
}

// Whether r of self holds key: 1, 0, or -1 with the fault raised.
[[gnu::always_inline]] inline int ContainsIn(const Self* self, const StoreReader& r, std::string_view key) {
  auto found = r.Contains(key);
  if (!found.ok()) [[unlikely]] return RaiseStoreError(found.error(), self->path), -1;
  return found.value() ? 1 : 0;
}

// ---- construction -----------------------------------------------------

// For a store that failed to open as damaged: when the file is shorter
// than its header claims, raises CorruptError saying it is truncated (the
// checksum or index error it also fails says less) and returns true.
bool RaisedTruncated(const std::string& path, PyObject* filename) {
  auto mapped = Mapping::Open(path);
  if (!mapped.ok()) return false;
  const uint64_t size = mapped.value().size();
  const uint64_t claimed = ClaimedMinimumSize(mapped.value().bytes());
  Ref text;
  if (size < claimed) {
    text = Ref(PyUnicode_FromFormat("truncated: the file has %llu bytes, its header claims at least %llu: %R",
                                    static_cast<unsigned long long>(size),
                                    static_cast<unsigned long long>(claimed), filename));
  } else {
    // Long enough for the header's claims, but cut inside the index.
    auto unchecked = StoreReader::Open(path, false);
    if (unchecked.ok() || unchecked.error().reason() != Reason::kIndexTruncated) return false;
    text = Ref(PyUnicode_FromFormat("truncated: the file (%llu bytes) ends inside its index: %R",
                                    static_cast<unsigned long long>(size), filename));
  }
  if (!text) return true;
  Ref exc(PyObject_CallOneArg(imports.corrupt_error, text.get()));
  if (!exc || PyObject_SetAttrString(exc.get(), "filename", filename) < 0) return true;
  PyErr_SetObject(imports.corrupt_error, exc.get());
  return true;
}

const char* const kNewNames[] = {"path", "verify"};
const Params kNewParams{"VelkReader()", kNewNames, 2, 1, 1};

PyObject* NewReader(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    NewArgs arg;
    if (!arg.Parse(kNewParams, args, kwargs)) return nullptr;
    PyObject* path_arg = arg[0];
    PyObject* verify_arg = arg[1];
    // None (or absent): a file with the lookup index is checked as it is
    // read, one without it by its whole-file CRC now.
    OpenCheck check = OpenCheck::kUnlessIndexed;
    if (verify_arg != nullptr && verify_arg != Py_None) {
      const int truth = PyObject_IsTrue(verify_arg);
      if (truth < 0) return nullptr;
      check = truth ? OpenCheck::kWholeFile : OpenCheck::kNone;
    }
    Ref given;
    std::string path;
    if (!ToPath(path_arg, &given, &path)) return nullptr;
    // The open maps the file and, when the check asks it, reads all of it
    // for its CRC.
    auto opened = WithoutLock([&] { return StoreReader::OpenIndexed(path, check); });
    if (!opened.ok()) {
      if (bind::RowFor(opened.error().reason()).package == bind::PackageClass::kCorrupt) {
        if (RaisedTruncated(path, given.get())) return nullptr;
      }
      return RaiseStoreError(opened.error(), given.get());
    }
    auto store = std::make_shared<const StoreReader>(std::move(opened).value());
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = reinterpret_cast<Self*>(obj);
    new (&self->store) std::shared_ptr<const StoreReader>(std::move(store));
    self->path = given.release();
    self->check = check;
    return obj;
  });
}

void DeallocReader(PyObject* obj) {
  auto* self = reinterpret_cast<Self*>(obj);
  self->store.~shared_ptr();
  Py_XDECREF(self->path);
  bind::FreeInstance(obj);
}

// ---- lookups ------------------------------------------------------------

// Lookup for a key that is not a plain one: converted first, as converting
// can run Python code (a buffer's __buffer__, a registered error handler)
// that closes this reader; nothing between taking the store and the end of
// the probe runs any.
[[gnu::noinline]] int LookupConverted(Self* self, PyObject* key, Bytes* payload) {
  KeyBuf buf;
  switch (ToKey(key, &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: return Open(self) == nullptr ? -1 : 0;
    case KeyConv::kError: return -1;
  }
  const StoreReader* r = Open(self);
  return r == nullptr ? -1 : LookupIn(self, *r, buf.view, payload);
}

// Looks key up: 1 found (payload set), 0 absent, -1 error set.  Inline, with
// the plain keys of nearly every call borrowed in place (which runs no
// Python code): the hot path of get_raw, r[k] and get.
[[gnu::always_inline]] inline int Lookup(Self* self, PyObject* key, Bytes* payload) {
  std::string_view plain;
  if (!BorrowPlainKey(key, &plain)) [[unlikely]] return LookupConverted(self, key, payload);
  const StoreReader* r = Open(self);
  return r == nullptr ? -1 : LookupIn(self, *r, plain, payload);
}

// get_raw (the value's bytes) and get_stored (the bytes as stored, which
// differ only for a compressed value).
template <bool kStored>
PyObject* GetBytes(Self* self, PyObject* key) {
  Bytes payload;
  const int rc = Lookup(self, key, &payload);
  if (rc <= 0) return rc < 0 ? nullptr : Py_NewRef(Py_None);
  // The store the key was found in: no Python code has run since.
  if (!kStored && !ValueOf(*self->store, payload, self->path, &payload)) return nullptr;
  return NewBytes(payload);
}

PyObject* Subscript(PyObject* obj, PyObject* key) {
  auto* self = reinterpret_cast<Self*>(obj);
  Bytes payload;
  const int rc = Lookup(self, key, &payload);
  if (rc < 0) return nullptr;
  if (rc == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  if (!ValueOf(*self->store, payload, self->path, &payload)) return nullptr;
  return Decode(payload, key);
}

// `in` for a key that is not a plain one, converted before the store is
// taken, as in LookupConverted.
[[gnu::noinline]] int ContainsConverted(Self* self, PyObject* key) {
  KeyBuf buf;
  const KeyConv conv = ToKey(key, &buf);
  if (conv == KeyConv::kError) {
    // `5 in r` answers False, as for a dict with str keys.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
  }
  const StoreReader* r = Open(self);
  if (r == nullptr) return -1;
  return conv != KeyConv::kOk ? 0 : ContainsIn(self, *r, buf.view);
}

int Contains(PyObject* obj, PyObject* key) {
  auto* self = reinterpret_cast<Self*>(obj);
  std::string_view plain;
  if (!BorrowPlainKey(key, &plain)) [[unlikely]] return ContainsConverted(self, key);
  const StoreReader* r = Open(self);
  return r == nullptr ? -1 : ContainsIn(self, *r, plain);
}

Py_ssize_t Length(PyObject* obj) {
  const StoreReader* r = Open(reinterpret_cast<Self*>(obj));
  return r == nullptr ? -1 : static_cast<Py_ssize_t>(r->entry_count());
}

const char* const kGetNames[] = {"key", "default"};
const Params kGetParams{"get()", kGetNames, 2, 1, 2};

PyObject* Get(Self* self, PyObject* const* args) {
  Bytes payload;
  const int rc = Lookup(self, args[0], &payload);
  if (rc < 0) return nullptr;
  if (rc == 0) return Py_NewRef(args[1] != nullptr ? args[1] : Py_None);
  if (!ValueOf(*self->store, payload, self->path, &payload)) return nullptr;
  return Decode(payload, args[0]);
}

// get_many(keys, default=None) and get_many_raw(keys): keys converted
// holding the lock, then the whole batch looked up without it, then the
// results built holding it.  The keys are read in place while the lock is
// let go: from a tuple of the call's own, since another thread may change
// a list then (and decoding runs Python code that may too).
template <bool kDecode>
PyObject* GetMany(Self* self, PyObject* const* args) {
  Ref seq(KeyTuple(args[0]));
  if (!seq) return nullptr;
  if (Open(self) == nullptr) return nullptr;
  std::shared_ptr<const StoreReader> store = self->store;
  const size_t n = static_cast<size_t>(PyTuple_GET_SIZE(seq.get()));
  PyObject** items = &PyTuple_GET_ITEM(seq.get(), 0);
  BatchKeys keys;
  if (!keys.Convert(items, n)) return nullptr;
  const std::vector<uint8_t>& usable = keys.usable;
  std::vector<StoreReader::Found> found(n);
  std::vector<Bytes> payloads(n);
  DecodeBuffer arena;  // the batch's decompressed values
  std::optional<StoreError> fault;
  auto lookup = [&] {
    LookupPart(*store, keys.views, usable.data(), found.data(), payloads.data(), &arena, &fault);
    return true;
  };
  if (n >= kReleaseLockFrom) {
    WithoutLock(lookup);
  } else {
    lookup();
  }
  // A damaged record fails the whole call, before any result exists.
  if (fault) return RaiseStoreError(*fault, self->path);
  Ref out(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item;
    if (!usable[i] || found[i] != StoreReader::Found::kFound) {
      item = Py_NewRef(kDecode && args[1] != nullptr ? args[1] : Py_None);
    } else {
      item = kDecode ? Decode(payloads[i], items[i]) : NewBytes(payloads[i]);
      if (item == nullptr) return nullptr;
    }
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

const char* const kGetManyNames[] = {"keys", "default"};
const Params kGetManyParams{"get_many()", kGetManyNames, 2, 1, 2};
const Params kGetManyRawParams{"get_many_raw()", kGetManyNames, 1, 1, 1};

// ---- scans --------------------------------------------------------------

// The scan of keys starting with prefix and within [start, stop).
PyObject* Scan(Self* self, PyObject* prefix, PyObject* start, PyObject* stop, KeyForm key, ValueForm value) {
  ScanKeys keys;
  if (!keys.Parse(prefix, start, stop)) return nullptr;
  if (Open(self) == nullptr) return nullptr;
  size_t begin = 0, end = 0;
  if (!keys.Range(*self->store, self->path, &begin, &end)) return nullptr;
  return NewScan(self->path, self->store, begin, end, key, value);
}

PyObject* Iter(PyObject* obj) {
  return Guard([&] { return Scan(reinterpret_cast<Self*>(obj), nullptr, nullptr, nullptr, KeyForm::kStr, ValueForm::kNone); });
}

// A scan method: which parameter bounds the scan by prefix, start and stop
// (-1: none), and what the scan yields.
template <int kPrefix, int kStart, int kStop, KeyForm kKey, ValueForm kValue>
PyObject* ScanOp(Self* self, PyObject* const* args) {
  auto arg = [&](int i) { return i < 0 ? nullptr : args[i]; };
  return Scan(self, arg(kPrefix), arg(kStart), arg(kStop), kKey, kValue);
}

template <KeyForm kKey, ValueForm kValue>
PyObject* WholeScan(Self* self) {
  return Scan(self, nullptr, nullptr, nullptr, kKey, kValue);
}

// items_bytes(prefix, start, stop, *, raw): raw picks the values' form.
PyObject* ItemsBytes(Self* self, PyObject* const* args) {
  int raw = 0;
  if (args[3] != nullptr && (raw = PyObject_IsTrue(args[3])) < 0) return nullptr;
  return Scan(self, args[0], args[1], args[2], KeyForm::kBytes, raw ? ValueForm::kRaw : ValueForm::kDecoded);
}

const char* const kPrefixNames[] = {"prefix"};
const Params kPrefixParams{"prefix()", kPrefixNames, 1, 1, 1};
const Params kPrefixRawParams{"prefix_raw()", kPrefixNames, 1, 1, 1};
const char* const kRangeNames[] = {"start", "stop"};
const Params kRangeParams{"range()", kRangeNames, 2, 0, 2};
const Params kRangeRawParams{"range_raw()", kRangeNames, 2, 0, 2};
const char* const kBytesNames[] = {"prefix", "start", "stop", "raw"};
const Params kKeysBytesParams{"keys_bytes()", kBytesNames, 3, 0, 3};
const Params kItemsBytesParams{"items_bytes()", kBytesNames, 4, 0, 3};

// ---- the file -----------------------------------------------------------

PyObject* Stats(Self* self) {
  if (Open(self) == nullptr) return nullptr;
  // Held for the call: building the dicts may start a collection (before
  // Python 3.12), and code it runs may close the reader.
  const std::shared_ptr<const StoreReader> store = self->store;
  const StoreReader* r = store.get();
  Ref compression;
  if (r->values().compressed()) {
    const CompressionInfo& c = r->values().info();
    compression = Ref(Py_BuildValue("{sssisKsKsK}", "codec", "zstd", "level", c.level, "dictionary_size",
                                    static_cast<unsigned long long>(c.dictionary_size), "value_bytes",
                                    static_cast<unsigned long long>(c.value_bytes), "stored_bytes",
                                    static_cast<unsigned long long>(c.stored_bytes)));
    if (!compression) return nullptr;
  } else {
    compression = Ref(Py_NewRef(Py_None));
  }
  // Objects are those keys can name: the extension area's records are the
  // file's own.
  return Py_BuildValue("{sOsisIsIsKsKsKsksOsO}", "path", self->path, "version", int{kFormatVersion}, "num_keys",
                       r->num_keys(), "num_objects", r->num_objects() - r->extension_records(), "index_offset",
                       static_cast<unsigned long long>(r->index_offset()), "data_offset",
                       static_cast<unsigned long long>(kHeaderSize), "file_size",
                       static_cast<unsigned long long>(r->file_size()), "file_crc32",
                       static_cast<unsigned long>(r->file_crc32()), "index", r->indexed() ? Py_True : Py_False,
                       "compression", compression.get());
}

PyObject* Verify(Self* self) {
  if (Open(self) == nullptr) return nullptr;
  std::shared_ptr<const StoreReader> store = self->store;
  auto checked = WithoutLock([&] { return store->Verify(); });
  if (!checked.ok()) return RaiseStoreError(checked.error(), self->path);
  Py_RETURN_TRUE;
}

PyObject* Close(Self* self) {
  self->store.reset();
  Py_RETURN_NONE;
}

PyObject* GetClosed(PyObject* obj, void*) { return PyBool_FromLong(reinterpret_cast<Self*>(obj)->store == nullptr); }
PyObject* GetPath(PyObject* obj, void*) { return Py_NewRef(reinterpret_cast<Self*>(obj)->path); }
PyObject* GetVerify(PyObject* obj, void*) {
  switch (reinterpret_cast<Self*>(obj)->check) {
    case OpenCheck::kUnlessIndexed: Py_RETURN_NONE;
    case OpenCheck::kWholeFile: Py_RETURN_TRUE;
    case OpenCheck::kNone: break;
  }
  Py_RETURN_FALSE;
}

constexpr KeyForm kStr = KeyForm::kStr, kBytes = KeyForm::kBytes, kNoKey = KeyForm::kNone;
constexpr ValueForm kRaw = ValueForm::kRaw, kDecoded = ValueForm::kDecoded, kNoValue = ValueForm::kNone;

PyMethodDef kMethods[] = {
    MethodO<Self, GetBytes<false>>(
        "get_raw", "get_raw($self, key, /)\n--\n\nThe encoded value of key (decompressed), or None when it is absent."),
    MethodO<Self, GetBytes<true>>(
        "get_stored",
        "get_stored($self, key, /)\n--\n\nThe bytes stored for key (compressed or not), or None when it is absent."),
    Method<Self, kGetParams, Get>(
        "get", "get($self, key, default=None)\n--\n\nThe value of key, or default when it is absent."),
    Method<Self, kGetManyParams, GetMany<true>>(
        "get_many",
        "get_many($self, keys, default=None)\n--\n\nThe values of keys, in the order asked (default for absent keys)."),
    Method<Self, kGetManyRawParams, GetMany<false>>(
        "get_many_raw",
        "get_many_raw($self, keys)\n--\n\nThe encoded values of keys (decompressed), in the order asked (None for absent keys)."),
    Method<Self, kPrefixParams, ScanOp<0, -1, -1, kStr, kDecoded>>(
        "prefix", "prefix($self, prefix)\n--\n\nLazily, (key, value) for every key starting with prefix, in key order."),
    Method<Self, kPrefixRawParams, ScanOp<0, -1, -1, kStr, kRaw>>(
        "prefix_raw", "prefix_raw($self, prefix)\n--\n\nLazily, (key, encoded value) for every key starting with prefix."),
    Method<Self, kRangeParams, ScanOp<-1, 0, 1, kStr, kDecoded>>(
        "range", "range($self, start=None, stop=None)\n--\n\nLazily, (key, value) for start <= key < stop, in key order."),
    Method<Self, kRangeRawParams, ScanOp<-1, 0, 1, kStr, kRaw>>(
        "range_raw", "range_raw($self, start=None, stop=None)\n--\n\nLazily, (key, encoded value) for start <= key < stop."),
    MethodNoArgs<Self, WholeScan<kStr, kRaw>>(
        "items_raw", "items_raw($self)\n--\n\nLazily, (key, encoded value) for every key, in key order."),
    Method<Self, kKeysBytesParams, ScanOp<0, 1, 2, kBytes, kNoValue>>(
        "keys_bytes",
        "keys_bytes($self, prefix=b'', start=None, stop=None)\n--\n\nLazily, the keys as bytes, in key order."),
    Method<Self, kItemsBytesParams, ItemsBytes>(
        "items_bytes",
        "items_bytes($self, prefix=b'', start=None, stop=None, *, raw=False)\n--\n\n"
        "Lazily, (bytes key, value), or (bytes key, encoded value) with raw."),
    MethodNoArgs<Self, WholeScan<kStr, kDecoded>>("_iter_items", nullptr),
    MethodNoArgs<Self, WholeScan<kNoKey, kDecoded>>("_iter_values", nullptr),
    MethodNoArgs<Self, Stats>("stats", "stats($self)\n--\n\nFile metadata; sizes in bytes, the CRC-32 as an int."),
    MethodNoArgs<Self, Verify>(
        "verify",
        "verify($self)\n--\n\nCheck the whole-file CRC-32, every object's, the key order and the lookup index;\n"
        "True, or CorruptError."),
    MethodNoArgs<Self, Close>(
        "close", "close($self)\n--\n\nRelease the file (once running scans and batch lookups end).  Idempotent."),
    kEndOfTable,
};

PyGetSetDef kGetSet[] = {
    {"closed", GetClosed, nullptr, "True once close() has been called.", nullptr},
    {"path", GetPath, nullptr, "The path as given (str or bytes).", nullptr},
    {"_verify", GetVerify, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Reader(path, *, verify=None)\n--\n\nAn open store file.")},
    {Py_tp_new, reinterpret_cast<void*>(NewReader)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocReader)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_iter, reinterpret_cast<void*>(Iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(Slot<Subscript>::Call)},
    {Py_mp_length, reinterpret_cast<void*>(Slot<Length>::Call)},
    {Py_sq_contains, reinterpret_cast<void*>(Slot<Contains>::Call)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "velkstore._native.Reader",
    .basicsize = static_cast<int>(sizeof(Self)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* reader_type = nullptr;

PyObject* CreateReaderType(PyObject* module) {
  PyObject* t = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  reader_type = reinterpret_cast<PyTypeObject*>(t);  // kept alive by the module
  return t;
}

// A scan bound given as a key or None (absent).  Text with no byte form
// sets *no_bytes where one is given, else is an error.  False with an error
// set.
static bool Bound(PyObject* arg, KeyBuf* buf, bool* present, bool* no_bytes = nullptr) {
  *present = arg != nullptr && arg != Py_None;
  if (!*present) return true;
  switch (ToKey(arg, buf)) {
    case KeyConv::kOk: return true;
    case KeyConv::kNoBytes:
      if (no_bytes != nullptr) {
        *present = false;
        *no_bytes = true;
        return true;
      }
      PyErr_Format(imports.limit_error, "key %R cannot be encoded as UTF-8", arg);
      return false;
    case KeyConv::kError: return false;
  }
  return false;
}

bool ScanKeys::Parse(PyObject* prefix_arg, PyObject* start_arg, PyObject* stop_arg) {
  return Bound(prefix_arg, &prefix, &has_prefix, &matches_none) && Bound(start_arg, &start, &has_start) &&
         Bound(stop_arg, &stop, &has_stop);
}

// The least key above every key that starts with prefix: prefix without
// its trailing 0xff bytes, its last byte raised by one.  nullopt when there
// is none (prefix empty or all 0xff): the keys with prefix run to the end.
static std::optional<std::string> PrefixSuccessor(std::string_view prefix) {
  std::string s(prefix);
  while (!s.empty() && static_cast<unsigned char>(s.back()) == 0xff) s.pop_back();
  if (s.empty()) return std::nullopt;
  s.back() = static_cast<char>(static_cast<unsigned char>(s.back()) + 1);
  return s;
}

bool ScanKeys::Range(const StoreReader& r, PyObject* path, size_t* begin_out, size_t* end_out) const {
  if (matches_none) {
    *begin_out = *end_out = 0;
    return true;
  }
  size_t begin = 0, end = r.entry_count();
  // Keys are in ascending order: each bound is a binary search.
  auto seek = [&](std::string_view bound, size_t* out) {
    auto at = r.Seek(bound);
    if (!at.ok()) return RaiseStoreError(at.error(), path), false;
    *out = at.value();
    return true;
  };
  size_t at = 0;
  if (has_prefix) {
    if (!seek(prefix.view, &begin)) return false;
    if (auto succ = PrefixSuccessor(prefix.view)) {
      if (!seek(*succ, &end)) return false;
    }
  }
  if (has_start) {
    if (!seek(start.view, &at)) return false;
    begin = std::max(begin, at);
  }
  if (has_stop) {
    if (!seek(stop.view, &at)) return false;
    end = std::min(end, at);
  }
  *begin_out = begin;
  *end_out = std::max(begin, end);
  return true;
}

}  // namespace velk::native
