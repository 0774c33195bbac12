// velkstore._native.Writer: stages (key, payload) bindings in the core's
// writer and builds the file.  Equal payloads are stored once.  The build
// lets go of the interpreter lock; while it runs, the writer refuses every
// change (BusyError) instead of waiting.
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/reindex/reindex.h"
#include "core/writer/staged_store.h"
#include "package/api.h"
#include "package/frame.h"
#include "package/pack.h"

namespace velk::native {
namespace {

// Equal payloads are stored once, objects that no key names any longer
// (after a rebinding) are left out of the file, the records follow the key
// order and the file carries its lookup index.
constexpr WriterOptions kOptions{.dedup = true, .drop_orphans = true, .key_order = true, .index = true};

// A pair that update() has checked and counted but not staged yet (see
// EarlyPair::Hold): staged before anything else reads or changes the store.
struct HeldPair {
  std::string key;
  std::string payload;
  StagedStore::PairHashes hashes;
  bool held = false;
};

struct State {
  std::unique_ptr<StagedStore> store = std::make_unique<StagedStore>(kOptions);  // null once closed
  uint64_t changes = 0;  // successful bindings so far: tells a build out of date
  bool building = false;
  // Builds go into a directory only this writer's caller writes in
  // (_unshared_directory()): nothing there to reclaim.
  bool unshared_directory = false;
  HeldPair held;
};

struct WriterObject {
  PyObject_HEAD
  State state;
  PyObject* pack;  // velkstore._common.new_packer(), for values PackPlain leaves
};

using Self = WriterObject;

Bytes AsPayload(const std::string& s) { return {reinterpret_cast<const std::byte*>(s.data()), s.size()}; }

// Stages the pair update() holds back, if there is one; false with the
// error set.  A pair is held only while the writer is open and no build
// runs: a build and close() settle it first.  Its checks were made when it
// was held, and the count limits were not near (EarlyPair::Hold), so only
// an allocation can fail here.
bool Settle(Self* self) {
  HeldPair& h = self->state.held;
  if (!h.held) return true;
  h.held = false;
  auto checked = StagedStore::CheckKey(h.key);
  if (!checked.ok()) return RaiseStoreError(checked.error(), nullptr), false;
  auto added = self->state.store->AddPair(checked.value(), AsPayload(h.payload), h.hashes);
  if (!added.ok()) return RaiseStoreError(added.error(), nullptr), false;
  return true;
}

// The writer's store when it may be changed, else nullptr with the error
// set.  A pair held back is staged first.
StagedStore* Changeable(Self* self) {
  if (self->state.building) {
    PyErr_SetString(imports.busy_error, "the writer is being built; it cannot change until the build returns");
    return nullptr;
  }
  if (self->state.store == nullptr) return RaiseClosed("writer"), nullptr;
  if (!Settle(self)) return nullptr;
  return self->state.store.get();
}

// A key to stage: its bytes, or false with TypeError or LimitError set.
bool StageKey(PyObject* obj, KeyBuf* buf) {
  switch (ToKey(obj, buf)) {
    case KeyConv::kOk: return true;
    case KeyConv::kNoBytes:
      PyErr_Format(imports.limit_error, "key %R cannot be encoded as UTF-8", obj);
      return false;
    case KeyConv::kError: return false;
  }
  return false;
}

// The MessagePack encoding of value in *out (cleared first).
bool Encode(Self* self, PyObject* value, std::string* out) {
  out->clear();
  return EncodeValue(value, out, self->pack);
}

// Raw payloads: bytes-like objects, borrowed for the call.
class RawView {
 public:
  ~RawView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool Take(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj) || PyUnicode_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "raw value must be bytes, not '%.200s'", Py_TYPE(obj)->tp_name);
      return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    return true;
  }
  Bytes bytes() const { return {static_cast<const std::byte*>(view_.buf), static_cast<size_t>(view_.len)}; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Stages payload once and binds the checked key to it.
bool Bind(Self* self, StagedStore* store, StagedStore::CheckedKey key, Bytes payload) {
  auto id = store->AddObject(payload);
  if (!id.ok()) return RaiseStoreError(id.error(), nullptr), false;
  auto bound = store->AddKey(key, id.value());
  if (!bound.ok()) return RaiseStoreError(bound.error(), nullptr), false;
  ++self->state.changes;
  return true;
}

// Bind for a key not checked yet, which fails before its payload is
// staged when the file cannot hold it.  A key converted before its payload
// is made has its table slots start loading (Start) while the value is
// encoded, and the payload's as soon as it is made (Bind), so that the two
// cache misses of staging a pair overlap each other and the encoding
// instead of following one another.
class EarlyPair {
 public:
  // Starts loading the slots key will probe, when the writer can change.
  void Start(const Self* self, std::string_view key) {
    early_ = self->state.building ? nullptr : self->state.store.get();
    if (early_ != nullptr) key_hash_ = early_->PrefetchKey(key);
  }

  // Stages the pair.
  bool Bind(Self* self, StagedStore* store, std::string_view key, Bytes payload) const {
    auto checked = StagedStore::CheckKey(key);
    if (!checked.ok()) return RaiseStoreError(checked.error(), nullptr), false;
    auto added = store->AddPair(checked.value(), payload, Hashes(store, key, payload));
    if (!added.ok()) return RaiseStoreError(added.error(), nullptr), false;
    ++self->state.changes;
    return true;
  }

  // Bind, except that the pair is checked and counted here but staged only
  // at the next Settle, which update() makes when its next pair has come:
  // by then the table slots the pair probes have loaded, while Python made
  // that next pair.  *payload is taken (left with an earlier buffer).  At
  // the count limits, where staging could still fail, the pair is staged
  // at once.
  bool Hold(Self* self, StagedStore* store, std::string_view key, std::string* payload) const {
    const Bytes bytes = AsPayload(*payload);
    if (store->object_count() >= kMaxCount || store->key_count() >= kMaxCount) return Bind(self, store, key, bytes);
    auto checked = StagedStore::CheckKey(key);
    if (!checked.ok()) return RaiseStoreError(checked.error(), nullptr), false;
    auto fits = store->CheckPayload(bytes);
    if (!fits.ok()) return RaiseStoreError(fits.error(), nullptr), false;
    HeldPair& h = self->state.held;  // empty: Changeable settled it
    h.hashes = Hashes(store, key, bytes);
    h.key.assign(key);
    h.payload.swap(*payload);
    h.held = true;
    ++self->state.changes;
    return true;
  }

 private:
  // The pair's hashes, its slots loading: the key's from Start serves only
  // the store it was taken for (the encoding may have run Python code that
  // closed the writer).
  StagedStore::PairHashes Hashes(const StagedStore* store, std::string_view key, Bytes payload) const {
    return {.key = store == early_ ? key_hash_ : store->PrefetchKey(key), .payload = store->PrefetchPayload(payload)};
  }

  const StagedStore* early_ = nullptr;
  uint64_t key_hash_ = 0;
};

// ---- construction -------------------------------------------------------

PyObject* NewWriter(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    (void)args;
    (void)kwargs;  // the path is the Python class's
    Ref pack(NewPack());
    if (!pack) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = reinterpret_cast<Self*>(obj);
    self->pack = pack.release();
    new (&self->state) State();
    return obj;
  });
}

void DeallocWriter(PyObject* obj) {
  auto* self = reinterpret_cast<Self*>(obj);
  std::destroy_at(&self->state);
  Py_XDECREF(self->pack);
  bind::FreeInstance(obj);
}

// ---- staging ------------------------------------------------------------

const char* const kAddNames[] = {"key", "value"};
const Params kAddParams{"add()", kAddNames, 2, 2, 2};
const Params kAddRawParams{"add_raw()", kAddNames, 2, 2, 2};
const char* const kAddManyNames[] = {"keys", "value"};
const Params kAddManyParams{"add_many()", kAddManyNames, 2, 2, 2};

PyObject* Add(Self* self, PyObject* const* args) {
  KeyBuf key;
  std::string payload;
  EarlyPair pair;
  if (!StageKey(args[0], &key)) return nullptr;
  pair.Start(self, key.view);
  if (!Encode(self, args[1], &payload)) return nullptr;
  StagedStore* store = Changeable(self);
  if (store == nullptr || !pair.Bind(self, store, key.view, AsPayload(payload))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* AddRaw(Self* self, PyObject* const* args) {
  KeyBuf key;
  RawView raw;
  if (!StageKey(args[0], &key) || !raw.Take(args[1])) return nullptr;
  StagedStore* store = Changeable(self);
  if (store == nullptr || !EarlyPair().Bind(self, store, key.view, raw.bytes())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* AddMany(Self* self, PyObject* const* args) {
  if (PyUnicode_Check(args[0]) || PyBytes_Check(args[0]) || PyByteArray_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "add_many() takes an iterable of keys, not a single key");
    return nullptr;
  }
  // A closed or busy writer refuses every call, an empty one too.
  if (Changeable(self) == nullptr) return nullptr;
  // Every key is converted before anything is staged.
  Ref it(PyObject_GetIter(args[0]));
  if (!it) return nullptr;
  // A deque: the checked keys view its strings, which must not move.
  std::deque<std::string> keys;
  std::vector<StagedStore::CheckedKey> checked_keys;
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref owned(item);
    KeyBuf key;
    if (!StageKey(item, &key)) return nullptr;
    auto checked = StagedStore::CheckKey(keys.emplace_back(key.view));
    if (!checked.ok()) return RaiseStoreError(checked.error(), nullptr);
    checked_keys.push_back(checked.value());
  }
  if (PyErr_Occurred()) return nullptr;
  // The value is checked even when there are no keys to bind it to.
  std::string payload;
  if (!Encode(self, args[1], &payload)) return nullptr;
  if (keys.empty()) Py_RETURN_NONE;
  StagedStore* store = Changeable(self);
  if (store == nullptr) return nullptr;
  for (StagedStore::CheckedKey k : checked_keys) {
    if (!Bind(self, store, k, AsPayload(payload))) return nullptr;
  }
  Py_RETURN_NONE;
}

// update and update_raw: pairs from a dict, a mapping (its items()) or any
// iterable of 2-item pairs.  Each pair is staged as it comes, so a failure
// leaves the pairs before it staged.  update() holds each pair back until
// the next one has come (EarlyPair::Hold), or the call ends; anything that
// reads or changes the writer meanwhile settles it first, so that none can
// tell.  Only a failure to allocate, staging a held pair, would show: after
// one more pair was taken from the iterable.
template <bool kRaw>
PyObject* UpdatePairs(Self* self, PyObject* pairs) {
  // A closed or busy writer refuses every call, one with no pairs too,
  // before anything is taken from the pairs.
  if (Changeable(self) == nullptr) return nullptr;
  std::string payload;
  KeyBuf key;
  auto stage = [&](PyObject* k, PyObject* v) -> bool {
    if (!Settle(self)) return false;
    key.owned.clear();
    if (!StageKey(k, &key)) return false;
    EarlyPair pair;
    pair.Start(self, key.view);
    Bytes bytes;
    RawView raw;
    if constexpr (kRaw) {
      if (!raw.Take(v)) return false;
      bytes = raw.bytes();
    } else {
      if (!Encode(self, v, &payload)) return false;
      bytes = AsPayload(payload);
    }
    StagedStore* store = Changeable(self);
    if (store == nullptr) return false;
    if constexpr (kRaw) {
      return pair.Bind(self, store, key.view, bytes);
    } else {
      return pair.Hold(self, store, key.view, &payload);
    }
  };
  // A dict or list tells how many pairs are coming: the writer's tables
  // grow for them at once.
  const Py_ssize_t expected = PyDict_CheckExact(pairs)   ? PyDict_GET_SIZE(pairs)
                              : PyList_CheckExact(pairs) ? PyList_GET_SIZE(pairs)
                                                         : 0;
  if (expected > 0 && !self->state.building && self->state.store != nullptr) {
    self->state.store->ExpectMore(static_cast<uint64_t>(expected));
  }
  if (PyDict_CheckExact(pairs)) {
    // The dict's own loop; a dict changed meanwhile fails as iteration does.
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    const Py_ssize_t size = PyDict_GET_SIZE(pairs);
    while (PyDict_Next(pairs, &pos, &k, &v)) {
      Ref hold_k(Py_NewRef(k)), hold_v(Py_NewRef(v));
      if (!stage(k, v)) return nullptr;
      if (PyDict_GET_SIZE(pairs) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return nullptr;
      }
    }
    Py_RETURN_NONE;
  }
  Ref source;
  // As dict.update: anything with keys() is a mapping (its items() are
  // the pairs); anything else an iterable of pairs.
  Ref keys_attr(PyObject_GetAttrString(pairs, "keys"));
  if (!keys_attr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  if (keys_attr) {
    Ref items(PyObject_CallMethod(pairs, "items", nullptr));
    if (!items) return nullptr;
    source = Ref(PyObject_GetIter(items.get()));
  } else {
    source = Ref(PyObject_GetIter(pairs));
  }
  if (!source) return nullptr;
  while (PyObject* item = PyIter_Next(source.get())) {
    Ref hold(item);
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
      if (!stage(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) return nullptr;
      continue;
    }
    Ref seq(PySequence_Fast(item, "update() takes (key, value) pairs"));
    if (!seq) return nullptr;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "update() takes (key, value) pairs, got one of %zd items",
                   PySequence_Fast_GET_SIZE(seq.get()));
      return nullptr;
    }
    // A list pair is the caller's own: encoding the value may run code that
    // empties it, so its items are held while they are staged.
    Ref k(Py_NewRef(PySequence_Fast_GET_ITEM(seq.get(), 0)));
    Ref v(Py_NewRef(PySequence_Fast_GET_ITEM(seq.get(), 1)));
    if (!stage(k.get(), v.get())) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

// UpdatePairs, then the pair it held back staged.  A failure staging that
// pair is the earlier one, and is raised instead of any later pair's.  The
// held pair's buffers go with the call: a large value is not kept twice.
template <bool kRaw>
PyObject* Update(Self* self, PyObject* pairs) {
  Ref done(UpdatePairs<kRaw>(self, pairs));
  Ref later(done ? nullptr : PyErr_GetRaisedException());
  const bool settled = Settle(self);
  self->state.held = HeldPair();
  if (!settled) return nullptr;
  if (later) {
    PyErr_SetRaisedException(later.release());
    return nullptr;
  }
  return done.release();
}

// _update_rows(names, rows, key_index, value_index): one binding per row (a
// list or tuple of len(names) fields).  The key is row[key_index] (str,
// bytes, or an int taken as its decimal text); the value row[value_index],
// or with value_index -1 the map of names to fields, encoded here without
// a dict per row.  Rows are staged as they come: a failure leaves the rows
// before it staged.
PyObject* UpdateRows(Self* self, PyObject* const* args) {
  if (!PyList_CheckExact(args[0]) || !PyList_CheckExact(args[1])) {
    PyErr_SetString(PyExc_TypeError, "_update_rows(names: list, rows: list, key_index: int, value_index: int)");
    return nullptr;
  }
  const Py_ssize_t width = PyList_GET_SIZE(args[0]);
  const Py_ssize_t key_index = PyLong_AsSsize_t(args[2]);
  const Py_ssize_t value_index = PyLong_AsSsize_t(args[3]);
  if (PyErr_Occurred()) return nullptr;
  if (key_index < 0 || key_index >= width || value_index < -1 || value_index >= width) {
    PyErr_SetString(PyExc_ValueError, "_update_rows(): field index out of range");
    return nullptr;
  }
  // The map header and each name, encoded once.
  std::string header;
  std::vector<std::string> names(static_cast<size_t>(width));
  if (value_index < 0) {
    if (width < 16) {
      header.push_back(static_cast<char>(0x80 | width));
    } else {
      const bool wide = width > 0xFFFF;
      header.push_back(static_cast<char>(wide ? 0xdf : 0xde));
      for (int i = wide ? 3 : 1; i >= 0; --i) header.push_back(static_cast<char>((width >> (8 * i)) & 0xFF));
    }
    for (Py_ssize_t j = 0; j < width; ++j) {
      PyObject* name = PyList_GET_ITEM(args[0], j);
      if (!PyUnicode_CheckExact(name) || !PackPlain(name, &names[static_cast<size_t>(j)])) {
        PyErr_SetString(PyExc_TypeError, "_update_rows(): names must be str");
        return nullptr;
      }
    }
  }
  std::string payload, field;
  KeyBuf key;
  // Encoding a value that is not plain may run Python code, which may
  // change the rows list or a row: the list's length is read again at every
  // step, the key and value are held while a value is encoded, and a row of
  // the caller's is taken as a tuple of its own before a field that is not
  // plain is encoded (rows of plain fields, the common case, are not copied).
  // A closed or busy writer refuses every call, one with no rows too.
  if (Changeable(self) == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[1]); ++i) {
    Ref item(Py_NewRef(PyList_GET_ITEM(args[1], i)));
    Ref row(PySequence_Fast(item.get(), "_update_rows(): a row must be a list or tuple"));
    if (!row) return nullptr;
    if (PySequence_Fast_GET_SIZE(row.get()) != width) {
      PyErr_Format(PyExc_ValueError, "row %zd has %zd fields, not %zd", i, PySequence_Fast_GET_SIZE(row.get()),
                   width);
      return nullptr;
    }
    PyObject* const* fields = PySequence_Fast_ITEMS(row.get());
    // Held for the whole row: the staged key views its bytes until the
    // pair is bound, and encoding a value may take it out of the row.
    Ref held_key(Py_NewRef(fields[key_index]));
    if (PyLong_CheckExact(held_key.get())) {
      held_key = Ref(PyObject_Str(held_key.get()));
      if (!held_key) return nullptr;
    }
    key.owned.clear();
    if (!StageKey(held_key.get(), &key)) return nullptr;
    EarlyPair pair;
    pair.Start(self, key.view);
    if (value_index >= 0) {
      const Ref held_value(Py_NewRef(fields[value_index]));
      if (!Encode(self, held_value.get(), &payload)) return nullptr;
    } else {
      payload = header;
      for (Py_ssize_t j = 0; j < width; ++j) {
        payload += names[static_cast<size_t>(j)];
        if (PackPlain(fields[j], &payload)) continue;
        if (row.get() == item.get() && PyList_Check(row.get())) {
          row = Ref(PyList_AsTuple(row.get()));
          if (!row) return nullptr;
          fields = PySequence_Fast_ITEMS(row.get());
        }
        if (!Encode(self, fields[j], &field)) return nullptr;
        payload += field;
      }
    }
    StagedStore* store = Changeable(self);
    if (store == nullptr || !pair.Bind(self, store, key.view, AsPayload(payload))) return nullptr;
  }
  Py_RETURN_NONE;
}

const char* const kUpdateRowsNames[] = {"names", "rows", "key_index", "value_index"};
const Params kUpdateRowsParams{"_update_rows()", kUpdateRowsNames, 4, 4, 4};

// ---- build --------------------------------------------------------------

// _build(path) -> (num_keys, num_objects, file_size, file_crc32)
PyObject* Build(Self* self, PyObject* path_arg) {
  Ref given;
  std::string path;
  if (!ToPath(path_arg, &given, &path)) return nullptr;
  StagedStore* store = Changeable(self);
  if (store == nullptr) return nullptr;
  self->state.building = true;
  struct Done {
    bool* flag;
    ~Done() { *flag = false; }
  } done{&self->state.building};
  // A unique temporary name: two builds of one target never meet.
  const auto naming = self->state.unshared_directory ? writer::TempNaming::kUniqueUnshared : writer::TempNaming::kUnique;
  auto built = WithoutLock([&] { return store->Build(path, naming); });
  if (!built.ok()) return RaiseStoreError(built.error(), given.get());
  const BuildResult& r = built.value();
  return Py_BuildValue("(KKKk)", static_cast<unsigned long long>(r.num_keys),
                       static_cast<unsigned long long>(r.num_objects), static_cast<unsigned long long>(r.file_size),
                       static_cast<unsigned long>(r.file_crc32));
}

// _compress(level): compress values at the builds, before anything is staged.
PyObject* Compress(Self* self, PyObject* level_arg) {
  const long level = PyLong_AsLong(level_arg);
  if (level == -1 && PyErr_Occurred()) return nullptr;
  if (level < writer::kMinCompressLevel || level > writer::kMaxCompressLevel) {
    PyErr_Format(PyExc_ValueError, "compress_level must be from %d to %d, not %ld", writer::kMinCompressLevel,
                 writer::kMaxCompressLevel, level);
    return nullptr;
  }
  StagedStore* store = Changeable(self);
  if (store == nullptr) return nullptr;
  if (store->object_count() != 0) {
    PyErr_SetString(PyExc_ValueError, "compression is chosen before anything is added");
    return nullptr;
  }
  store->CompressValues(static_cast<int>(level));
  Py_RETURN_NONE;
}

// _unshared_directory(): the builds go into a directory made for them, which
// no other build writes in (a sharded build's shards).
PyObject* UnsharedDirectory(Self* self) {
  self->state.unshared_directory = true;
  Py_RETURN_NONE;
}

PyObject* Close(Self* self) {
  if (self->state.building) {
    PyErr_SetString(imports.busy_error, "the writer is being built; it cannot close until the build returns");
    return nullptr;
  }
  self->state.held = HeldPair();  // freed with the rest
  self->state.store.reset();
  Py_RETURN_NONE;
}

PyObject* GetClosed(PyObject* obj, void*) {
  return PyBool_FromLong(reinterpret_cast<Self*>(obj)->state.store == nullptr);
}

PyObject* Counts(Self* self) {
  const StagedStore* store = self->state.store.get();
  if (store == nullptr) return RaiseClosed("writer");
  if (!Settle(self)) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(store->key_count()),
                       static_cast<unsigned long long>(store->object_count()));
}

PyMethodDef kMethods[] = {
    Method<Self, kAddParams, Add>("add", "add($self, key, value)\n--\n\nBind key to value, encoded with MessagePack."),
    Method<Self, kAddRawParams, AddRaw>("add_raw", "add_raw($self, key, value)\n--\n\nBind key to already encoded bytes."),
    Method<Self, kAddManyParams, AddMany>("add_many",
                                          "add_many($self, keys, value)\n--\n\nBind every key of keys to one value."),
    MethodO<Self, Update<false>>(
        "update", "update($self, pairs, /)\n--\n\nadd() for each (key, value) of a mapping or an iterable of pairs."),
    MethodO<Self, Update<true>>(
        "update_raw",
        "update_raw($self, pairs, /)\n--\n\nadd_raw() for each (key, bytes) of a mapping or an iterable of pairs."),
    Method<Self, kUpdateRowsParams, UpdateRows>("_update_rows", nullptr),
    MethodO<Self, Build>("_build", nullptr),
    MethodNoArgs<Self, Counts>("_counts", nullptr),
    MethodO<Self, Compress>("_compress", nullptr),
    MethodNoArgs<Self, UnsharedDirectory>("_unshared_directory", nullptr),
    MethodNoArgs<Self, Close>("close", "close($self)\n--\n\nFree the staged content.  Idempotent."),
    kEndOfTable,
};

PyObject* GetChanges(PyObject* obj, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<Self*>(obj)->state.changes);
}

PyGetSetDef kGetSet[] = {
    {"closed", GetClosed, nullptr, "True once close() has been called.", nullptr},
    {"_changes", GetChanges, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Writer()\n--\n\nStaged bindings of keys to payloads.")},
    {Py_tp_new, reinterpret_cast<void*>(NewWriter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocWriter)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "velkstore._native.Writer",
    .basicsize = static_cast<int>(sizeof(Self)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = kSlots,
};

}  // namespace

PyObject* ReindexFile(PyObject*, PyObject* path_arg) {
  return Guard([&]() -> PyObject* {
    Ref given;
    std::string path;
    if (!ToPath(path_arg, &given, &path)) return nullptr;
    auto done = WithoutLock([&] { return Reindex(path); });
    if (!done.ok()) return RaiseStoreError(done.error(), given.get());
    const BuildResult& r = done.value();
    return Py_BuildValue("(KKKk)", static_cast<unsigned long long>(r.num_keys),
                         static_cast<unsigned long long>(r.num_objects), static_cast<unsigned long long>(r.file_size),
                         static_cast<unsigned long>(r.file_crc32));
  });
}

PyTypeObject* writer_type = nullptr;

PyObject* CreateWriterType(PyObject* module) {
  PyObject* t = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  writer_type = reinterpret_cast<PyTypeObject*>(t);  // kept alive by the module
  return t;
}

StagedStore* WriterStore(PyObject* writer, uint64_t** changes) {
  if (!PyObject_TypeCheck(writer, writer_type)) {
    PyErr_Format(PyExc_TypeError, "expected a writer, not '%.200s'", Py_TYPE(writer)->tp_name);
    return nullptr;
  }
  auto* self = reinterpret_cast<Self*>(writer);
  *changes = &self->state.changes;
  return Changeable(self);
}

}  // namespace velk::native
