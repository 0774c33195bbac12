// The per-key work of sharded stores, done here rather than in Python:
// split_pairs() sorts a batch of (key, value) pairs into per-shard lists
// for the sharded writers, and ShardRouter answers a sharded reader's exact
// lookups, each key sent to its shard's open reader.  A key lives in shard
// xxh3_64(key bytes, seed) % num_shards, as in velkstore.sharded.manifest.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/base/endian.h"
#include "core/writer/commit.h"
#include "core/format/format.h"
#include "package/api.h"
#include "package/frame.h"
#include "package/pack.h"
#include "package/placement.h"
#include "package/reader.h"
// The member table constants (T_OBJECT_EX, READONLY), named alike on every
// supported Python.
#include <structmember.h>

namespace velk::native {
namespace {

// Batches shorter than this are looked up holding the lock (as the reader does).
constexpr size_t kReleaseLockFrom = 64;

// ---- Splitter -------------------------------------------------------------

// What a staged pair costs beyond its bytes (two list slots and two bytes
// objects): counted in pending, which decides when the writer spills.
constexpr size_t kPairOverhead = 90;

// The stored key of a pair as a new bytes object, or nullptr with TypeError
// or LimitError set.  The length limit is the store format's.
PyObject* StoredKey(PyObject* key) {
  if (PyBytes_CheckExact(key) && static_cast<uint64_t>(PyBytes_GET_SIZE(key)) <= kMaxKeyLength) {
    return Py_NewRef(key);
  }
  KeyBuf buf;
  switch (ToKey(key, &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: return PyErr_Format(imports.limit_error, "key %R cannot be encoded as UTF-8", key);
    case KeyConv::kError: return nullptr;
  }
  if (buf.view.size() > kMaxKeyLength) {
    return PyErr_Format(imports.limit_error, "key of %zu bytes exceeds the limit of %llu", buf.view.size(),
                        static_cast<unsigned long long>(kMaxKeyLength));
  }
  return KeyBytes(buf.view);
}

// The stored bytes of a value: raw bytes-like as bytes, else its MessagePack
// encoding.  New reference.
PyObject* StoredValue(PyObject* value, bool raw, PyObject* pack, std::string* scratch) {
  if (raw) {
    if (PyBytes_CheckExact(value)) return Py_NewRef(value);
    // Any bytes-like object, as VelkWriter takes.
    if (PyObject_CheckBuffer(value)) return PyBytes_FromObject(value);
    return PyErr_Format(PyExc_TypeError, "raw must be bytes, not '%.200s'", Py_TYPE(value)->tp_name);
  }
  scratch->clear();
  if (!EncodeValue(value, scratch, pack)) return nullptr;
  return PyBytes_FromStringAndSize(scratch->data(), static_cast<Py_ssize_t>(scratch->size()));
}

// A pair's two items, held: converting them may run code that empties a
// list pair.  False with TypeError set for anything but a pair.
bool Unpair(PyObject* pair, Ref* key, Ref* value) {
  Ref seq(PySequence_Fast(pair, ""));
  if (seq && PySequence_Fast_GET_SIZE(seq.get()) == 2) {
    *key = Ref(Py_NewRef(PySequence_Fast_ITEMS(seq.get())[0]));
    *value = Ref(Py_NewRef(PySequence_Fast_ITEMS(seq.get())[1]));
    return true;
  }
  if (!seq && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyErr_Clear();
  Ref text(PyObject_Repr(pair));
  if (!text) return false;
  PyErr_Format(PyExc_TypeError, "expected a (key, value) pair, not %.60U", text.get());
  return false;
}

// Pairs grouped by shard, in the order they came: keys[i] and raws[i] are
// the lists of shard i (the writers take and replace them), pending the
// bytes staged since the last clear(), kPairOverhead per pair included.
struct SplitterObject {
  PyObject_HEAD
  PyObject* keys;  // a list of num_shards lists of bytes
  PyObject* raws;  // the same, of the stored values
  uint64_t seed;
  Py_ssize_t num_shards;
  Py_ssize_t pending;
  PyObject* pack;  // NewPack(), for values PackPlain leaves
};

// A list of n empty lists, or nullptr with the error set.
PyObject* EmptyLists(Py_ssize_t n) {
  Ref outer(PyList_New(n));
  if (!outer) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* inner = PyList_New(0);
    if (inner == nullptr) return nullptr;
    PyList_SET_ITEM(outer.get(), i, inner);
  }
  return outer.release();
}

const char* const kSplitterNames[] = {"num_shards", "seed"};
const Params kSplitterParams{"Splitter()", kSplitterNames, 2, 1, 2};

PyObject* NewSplitter(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    NewArgs slots;
    if (!slots.Parse(kSplitterParams, args, kwargs)) return nullptr;
    const Py_ssize_t n = PyLong_AsSsize_t(slots[0]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 1) return PyErr_Format(PyExc_ValueError, "num_shards must be positive, not %zd", n);
    const uint64_t seed = slots[1] == nullptr ? 0 : PyLong_AsUnsignedLongLong(slots[1]);
    if (PyErr_Occurred()) return nullptr;
    Ref keys(EmptyLists(n));
    if (!keys) return nullptr;
    Ref raws(EmptyLists(n));
    if (!raws) return nullptr;
    Ref pack(NewPack());
    if (!pack) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = reinterpret_cast<SplitterObject*>(obj);
    self->keys = keys.release();
    self->raws = raws.release();
    self->seed = seed;
    self->num_shards = n;
    self->pending = 0;
    self->pack = pack.release();
    return obj;
  });
}

void DeallocSplitter(PyObject* obj) {
  auto* self = reinterpret_cast<SplitterObject*>(obj);
  Py_XDECREF(self->keys);
  Py_XDECREF(self->raws);
  Py_XDECREF(self->pack);
  bind::FreeInstance(obj);
}

// Shard i's list in outer (the writers may have replaced it), or nullptr
// with TypeError set.
PyObject* ShardList(PyObject* outer, Py_ssize_t i) {
  if (PyList_GET_SIZE(outer) <= i) {
    PyErr_SetString(PyExc_ValueError, "the splitter's shard lists were removed");
    return nullptr;
  }
  PyObject* inner = PyList_GET_ITEM(outer, i);
  if (!PyList_Check(inner)) {
    PyErr_Format(PyExc_TypeError, "shard %zd's list was replaced by '%.200s'", i, Py_TYPE(inner)->tp_name);
    return nullptr;
  }
  return inner;
}

// Adds up to limit pairs, counting in pending what went in (also before a
// failure).  Returns 1 when pairs ran out, 0 when limit pairs were taken
// first, -1 with the error set; a bad pair adds nothing of itself.
int SplitInto(SplitterObject* self, PyObject* pairs, bool raw, size_t limit) {
  Ref it(PyObject_GetIter(pairs));
  if (!it) return -1;
  const auto n = static_cast<uint64_t>(self->num_shards);
  std::string scratch;
  for (size_t taken = 0; taken < limit; ++taken) {
    Ref pair(PyIter_Next(it.get()));
    if (!pair) return PyErr_Occurred() ? -1 : 1;
    Ref key, value;
    if (!Unpair(pair.get(), &key, &value)) return -1;
    Ref kb(StoredKey(key.get()));
    if (!kb) return -1;
    Ref vb(StoredValue(value.get(), raw, self->pack, &scratch));
    if (!vb) return -1;
    const std::string_view k{PyBytes_AS_STRING(kb.get()), static_cast<size_t>(PyBytes_GET_SIZE(kb.get()))};
    const auto i = static_cast<Py_ssize_t>(ShardOf(k, self->seed, n));
    // Converting the pair ran Python code: the lists are looked up after it.
    PyObject* keys = ShardList(self->keys, i);
    if (keys == nullptr) return -1;
    PyObject* raws = ShardList(self->raws, i);
    if (raws == nullptr) return -1;
    if (PyList_Append(keys, kb.get()) < 0) return -1;
    if (PyList_Append(raws, vb.get()) < 0) {
      // Keep the two lists in step: the key goes too.
      PyList_SetSlice(keys, PyList_GET_SIZE(keys) - 1, PyList_GET_SIZE(keys), nullptr);
      return -1;
    }
    self->pending += static_cast<Py_ssize_t>(k.size() + static_cast<size_t>(PyBytes_GET_SIZE(vb.get())) + kPairOverhead);
  }
  return 0;
}

const char* const kAddPairsNames[] = {"pairs", "raw", "limit"};
const Params kAddPairsParams{"add_pairs()", kAddPairsNames, 3, 1, 3};

PyObject* AddPairs(SplitterObject* self, PyObject* const* args) {
  const int raw = args[1] == nullptr ? 0 : PyObject_IsTrue(args[1]);
  if (raw < 0) return nullptr;
  size_t limit = SIZE_MAX;
  if (args[2] != nullptr && args[2] != Py_None) {
    limit = PyLong_AsSize_t(args[2]);
    if (PyErr_Occurred()) return nullptr;
  }
  const int rc = SplitInto(self, args[0], raw != 0, limit);
  return rc < 0 ? nullptr : PyBool_FromLong(rc);
}

// Empties every shard's lists (new lists: lists taken keep their pairs).
bool Clear(SplitterObject* self) {
  for (Py_ssize_t i = 0; i < self->num_shards; ++i) {
    for (PyObject* outer : {self->keys, self->raws}) {
      PyObject* empty = PyList_New(0);
      if (empty == nullptr || PyList_SetItem(outer, i, empty) < 0) return false;
    }
  }
  self->pending = 0;
  return true;
}

PyObject* ClearSplitter(SplitterObject* self) {
  if (!Clear(self)) return nullptr;
  Py_RETURN_NONE;
}

// take(): one chunk per shard (empty ones too), each the MessagePack
// encoding of [keys, raws]; the splitter is left empty.
PyObject* TakeChunks(SplitterObject* self) {
  Ref chunks(PyList_New(self->num_shards));
  if (!chunks) return nullptr;
  std::string out;
  for (Py_ssize_t i = 0; i < self->num_shards; ++i) {
    PyObject* keys = ShardList(self->keys, i);
    if (keys == nullptr) return nullptr;
    PyObject* raws = ShardList(self->raws, i);
    if (raws == nullptr) return nullptr;
    Ref pair(PyList_New(2));
    if (!pair) return nullptr;
    PyList_SET_ITEM(pair.get(), 0, Py_NewRef(keys));
    PyList_SET_ITEM(pair.get(), 1, Py_NewRef(raws));
    out.clear();
    if (!EncodeValue(pair.get(), &out, self->pack)) return nullptr;
    PyObject* chunk = PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    if (chunk == nullptr) return nullptr;
    PyList_SET_ITEM(chunks.get(), i, chunk);
  }
  if (!Clear(self)) return nullptr;
  return chunks.release();
}

PyMethodDef kSplitterMethods[] = {
    Method<SplitterObject, kAddPairsParams, AddPairs>(
        "add_pairs",
        "add_pairs($self, pairs, raw=False, limit=None)\n--\n\n"
        "Add each (key, value) pair to its shard's lists, the value MessagePack-encoded or, with raw, bytes;\n"
        "at most limit pairs when given.  True when pairs ran out.  A bad pair raises with the pairs before\n"
        "it added and nothing of it."),
    MethodNoArgs<SplitterObject, ClearSplitter>(
        "clear", "clear($self, /)\n--\n\nEmpty every shard's lists; pending goes to 0."),
    MethodNoArgs<SplitterObject, TakeChunks>(
        "take", "take($self, /)\n--\n\nOne packed chunk per shard (empty ones too); the splitter is left empty."),
    kEndOfTable,
};

PyMemberDef kSplitterMembers[] = {
    {"keys", T_OBJECT_EX, offsetof(SplitterObject, keys), READONLY, "Per shard, the list of its keys (bytes)."},
    {"raws", T_OBJECT_EX, offsetof(SplitterObject, raws), READONLY, "Per shard, the list of its stored values."},
    {"num_shards", T_PYSSIZET, offsetof(SplitterObject, num_shards), READONLY, nullptr},
    {"seed", T_ULONGLONG, offsetof(SplitterObject, seed), READONLY, nullptr},
    {"pending", T_PYSSIZET, offsetof(SplitterObject, pending), READONLY,
     "Bytes staged since the last clear(), a fixed overhead per pair included."},
    {nullptr, 0, 0, 0, nullptr} /* sentinel */
};

PyType_Slot kSplitterSlots[] = {
    {Py_tp_doc, const_cast<char*>("Splitter(num_shards, seed=0)\n--\n\n"
                                  "Pairs grouped by the shard of their key, in the order they came.")},
    {Py_tp_new, reinterpret_cast<void*>(NewSplitter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocSplitter)},
    {Py_tp_methods, kSplitterMethods},
    {Py_tp_members, kSplitterMembers},
    {0, nullptr},
};

PyType_Spec kSplitterSpec = {
    .name = "velkstore._native.Splitter",
    .basicsize = static_cast<int>(sizeof(SplitterObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSplitterSlots,
};

// ---- placement ------------------------------------------------------------

// shard_of(key, num_shards, seed=0): the shard that holds key's stored
// bytes.  num_shards is any positive int (2**64 gives the hash itself).
const char* const kShardOfNames[] = {"key", "num_shards", "seed"};
const Params kShardOfParams{"shard_of()", kShardOfNames, 3, 2, 3};

PyObject* ShardOfKey(PyObject*, PyObject* const* args) {
  // As the package's own checks: a bool is no count and no seed.
  if (!PyLong_Check(args[1]) || PyBool_Check(args[1])) {
    return PyErr_Format(PyExc_TypeError, "num_shards must be an int, not '%.200s'", Py_TYPE(args[1])->tp_name);
  }
  Ref zero(PyLong_FromLong(0));
  const int positive = zero ? PyObject_RichCompareBool(args[1], zero.get(), Py_GT) : -1;
  if (positive <= 0) {
    return positive < 0 ? nullptr : PyErr_Format(PyExc_ValueError, "num_shards must be positive");
  }
  uint64_t seed = 0;
  if (args[2] != nullptr) {
    if (PyLong_Check(args[2]) && !PyBool_Check(args[2])) seed = PyLong_AsUnsignedLongLong(args[2]);
    if (!PyLong_Check(args[2]) || PyBool_Check(args[2]) || PyErr_Occurred()) {
      PyErr_Clear();
      return PyErr_Format(PyExc_ValueError, "seed must be an int in [0, 2**64), not %R", args[2]);
    }
  }
  KeyBuf buf;
  switch (ToKey(args[0], &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: return PyErr_Format(imports.limit_error, "key %R cannot be encoded as UTF-8", args[0]);
    case KeyConv::kError: return nullptr;
  }
  Ref hash(PyLong_FromUnsignedLongLong(XXH3_64bits_withSeed(buf.view.data(), buf.view.size(), seed)));
  return hash ? PyNumber_Remainder(hash.get(), args[1]) : nullptr;
}

// misplaced_key(reader, index, num_shards, seed, limit=None): the first of
// (at most limit of) the reader's keys that does not belong in shard index,
// as bytes, or None when every key checked belongs there.
const char* const kMisplacedNames[] = {"reader", "index", "num_shards", "seed", "limit"};
const Params kMisplacedParams{"misplaced_key()", kMisplacedNames, 5, 4, 5};

PyObject* MisplacedKey(PyObject*, PyObject* const* args) {
  if (!PyObject_TypeCheck(args[0], reader_type)) {
    return PyErr_Format(PyExc_TypeError, "reader must be a reader, not '%.200s'", Py_TYPE(args[0])->tp_name);
  }
  uint64_t values[3];
  for (int a = 0; a < 3; ++a) {
    values[a] = PyLong_AsUnsignedLongLong(args[a + 1]);
    if (PyErr_Occurred()) return nullptr;
  }
  const auto [index, n, seed] = values;
  if (n == 0) return PyErr_Format(PyExc_ValueError, "num_shards must be positive");
  size_t limit = SIZE_MAX;
  if (args[4] != nullptr && args[4] != Py_None) {
    limit = PyLong_AsSize_t(args[4]);
    if (PyErr_Occurred()) return nullptr;
  }
  // A copy of the store: the scan below lets go of the lock.
  std::shared_ptr<const StoreReader> store = reinterpret_cast<ReaderObject*>(args[0])->store;
  if (store == nullptr) return RaiseClosed("reader");
  const size_t end = std::min(limit, store->entry_count());
  // The first misplaced key, or nullopt; an error from a damaged index.
  auto scan = [&]() -> Result<std::optional<std::string_view>> {
    auto cursor = store->CursorAt(0);
    if (!cursor.ok()) return std::move(cursor).error();
    for (size_t i = 0; i < end; ++i) {
      auto item = store->Next(&cursor.value());
      if (!item.ok()) return std::move(item).error();
      if (ShardOf(item.value().key, seed, n) != index) return std::optional(item.value().key);
    }
    return std::optional<std::string_view>();
  };
  auto found = end >= kReleaseLockFrom ? WithoutLock(scan) : scan();
  if (!found.ok()) return RaiseStoreError(found.error(), reinterpret_cast<ReaderObject*>(args[0])->path);
  if (!found.value()) Py_RETURN_NONE;
  return KeyBytes(*found.value());
}

// commit_file(path, data): data as the new content of path, committed
// atomically (a fresh temporary name, synced, renamed over path, the
// directory synced).
const char* const kCommitNames[] = {"path", "data"};
const Params kCommitParams{"commit_file()", kCommitNames, 2, 2, 2};

PyObject* CommitFileFn(PyObject*, PyObject* const* args) {
  Ref given;
  std::string path;
  if (!ToPath(args[0], &given, &path)) return nullptr;
  if (!PyBytes_Check(args[1])) {
    return PyErr_Format(PyExc_TypeError, "data must be bytes, not '%.200s'", Py_TYPE(args[1])->tp_name);
  }
  // Held across the lock's release, so the buffer stays put.
  Ref data(Py_NewRef(args[1]));
  const Bytes part{reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(data.get())),
                   static_cast<size_t>(PyBytes_GET_SIZE(data.get()))};
  Result<void> done =
      WithoutLock([&] { return writer::CommitFile(path, std::span<const Bytes>(&part, 1), writer::TempNaming::kUnique); });
  if (!done.ok()) return RaiseStoreError(done.error(), given.get());
  Py_RETURN_NONE;
}

// ---- ShardRouter ----------------------------------------------------------

struct RouterObject {
  PyObject_HEAD
  // One per shard; Py_None for a shard not open.  Emptied by close().
  std::vector<Ref> readers;
  uint64_t seed;
  size_t num_shards;
};

using Router = RouterObject;

// A router starts with no readers (and answers as a closed reader would);
// _attach gives it its shards.  The arguments are the subclass's own.
PyObject* NewRouter(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* self = reinterpret_cast<Router*>(obj);
  new (&self->readers) std::vector<Ref>();
  self->seed = 0;
  self->num_shards = 0;
  return obj;
}

const char* const kAttachNames[] = {"readers", "seed"};
const Params kAttachParams{"_attach()", kAttachNames, 2, 2, 2};

// _attach(readers, seed): one reader (or None, a shard not open) per shard.
PyObject* RouteAttach(Router* self, PyObject* const* args) {
  const uint64_t seed = PyLong_AsUnsignedLongLong(args[1]);
  if (PyErr_Occurred()) return nullptr;
  Ref seq(PySequence_Tuple(args[0]));
  if (!seq) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "a sharded store has at least one shard");
    return nullptr;
  }
  std::vector<Ref> list;
  list.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* r = PyTuple_GET_ITEM(seq.get(), i);
    if (r != Py_None && !PyObject_TypeCheck(r, reader_type)) {
      PyErr_Format(PyExc_TypeError, "readers must be readers or None, not '%.200s'", Py_TYPE(r)->tp_name);
      return nullptr;
    }
    list.emplace_back(Py_NewRef(r));
  }
  // The old list (if any) is let go once the new one is in place.
  self->readers.swap(list);
  self->seed = seed;
  self->num_shards = static_cast<size_t>(n);
  Py_RETURN_NONE;
}

void DeallocRouter(PyObject* obj) {
  auto* self = reinterpret_cast<Router*>(obj);
  std::destroy_at(&self->readers);
  bind::FreeInstance(obj);
}

bool Live(Router* self) {
  if (self->readers.empty()) [[unlikely]] {
    PyErr_SetString(imports.closed_error, "ShardedReader is closed");
    return false;
  }
  return true;
}

PyObject* RaiseNotOpen(std::string_view key, size_t shard) {
  Ref kb(KeyBytes(key));
  if (!kb) return nullptr;
  PyErr_Format(imports.not_open_error, "key %R belongs to shard %zu, which this reader did not open", kb.get(), shard);
  return nullptr;
}

// The open reader of shard i (borrowed), or nullptr with the error set.
ReaderObject* ShardReader(Router* self, std::string_view key, size_t i) {
  PyObject* r = self->readers[i].get();
  if (r == Py_None) return RaiseNotOpen(key, i), nullptr;
  auto* reader = reinterpret_cast<ReaderObject*>(r);
  if (reader->store == nullptr) return RaiseClosed("reader"), nullptr;
  return reader;
}

// A key's bytes: borrowed from an exact ASCII str or bytes (no Python code
// runs), else converted into buf.  KeyConv as ToKey gives it.
KeyConv RouteKey(PyObject* key, KeyBuf* buf) {
  if (BorrowPlainKey(key, &buf->view)) [[likely]] return KeyConv::kOk;
  return ToKey(key, buf);
}

// The shard of key and its reader (nullptr with the error set), and in
// *hash the key's placement hash.
ReaderObject* Place(Router* self, std::string_view key, uint64_t* hash) {
  *hash = PlacementHash(key, self->seed);
  return ShardReader(self, key, *hash % self->num_shards);
}

// One exact lookup: 1 found (payload set), 0 absent (also a key with no
// byte form), -1 error set.  The key is converted before any store is
// looked at, as converting may run Python code; from there until the
// payload is copied out nothing does.  A shard whose lookup index hashes
// with the manifest's seed is probed with the placement hash, not hashing
// the key twice.
int RouteOne(Router* self, PyObject* key, Bytes* payload) {
  KeyBuf buf;
  switch (RouteKey(key, &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: return Live(self) ? 0 : -1;
    case KeyConv::kError: return -1;
  }
  if (!Live(self)) return -1;
  uint64_t hash;
  ReaderObject* reader = Place(self, buf.view, &hash);
  if (reader == nullptr) return -1;
  const StoreReader& store = *reader->store;
  auto got = store.HashedBy(self->seed) ? store.GetHashed(buf.view, hash) : store.Get(buf.view);
  if (got.ok() && got.value()) [[likely]] {
    *payload = *got.value();
    return ValueOf(store, *payload, reader->path, payload) ? 1 : -1;
  }
  if (got.ok()) return 0;
  RaiseStoreError(got.error(), reader->path);
  return -1;
}

PyObject* RouteGetRaw(Router* self, PyObject* key) {
  Bytes payload;
  const int rc = RouteOne(self, key, &payload);
  if (rc < 0) return nullptr;
  if (rc == 0) Py_RETURN_NONE;
  return NewBytes(payload);
}

const char* const kRouteGetNames[] = {"key", "default"};
const Params kRouteGetParams{"get()", kRouteGetNames, 2, 1, 2};

PyObject* RouteGet(Router* self, PyObject* const* args) {
  Bytes payload;
  const int rc = RouteOne(self, args[0], &payload);
  if (rc < 0) return nullptr;
  if (rc == 0) return Py_NewRef(args[1] != nullptr ? args[1] : Py_None);
  return Decode(payload, args[0]);
}

PyObject* RouteSubscript(PyObject* obj, PyObject* key) {
  Bytes payload;
  const int rc = RouteOne(reinterpret_cast<Router*>(obj), key, &payload);
  if (rc < 0) return nullptr;
  if (rc == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return Decode(payload, key);
}

// `key in reader`: a key of a type no store holds is simply not in it.
int RouteContains(PyObject* obj, PyObject* key) {
  auto* self = reinterpret_cast<Router*>(obj);
  KeyBuf buf;
  switch (RouteKey(key, &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: return Live(self) ? 0 : -1;
    case KeyConv::kError:
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
      PyErr_Clear();
      return Live(self) ? 0 : -1;
  }
  if (!Live(self)) return -1;
  uint64_t hash;
  const ReaderObject* reader = Place(self, buf.view, &hash);
  if (reader == nullptr) return -1;
  const StoreReader& store = *reader->store;
  // Contains, not Exists: a damaged index is an error, never "absent".
  auto found = store.HashedBy(self->seed) ? store.ContainsHashed(buf.view, hash) : store.Contains(buf.view);
  if (!found.ok()) return RaiseStoreError(found.error(), reader->path), -1;
  return found.value() ? 1 : 0;
}

// The shard of a placement hash: a mask when num_shards is a power of two.
inline size_t ShardIndex(uint64_t hash, size_t num_shards) {
  return (num_shards & (num_shards - 1)) == 0 ? static_cast<size_t>(hash & (num_shards - 1))
                                              : static_cast<size_t>(hash % num_shards);
}

// Keys of a batch lookup sorted by shard a part at a time: big enough that
// each shard's share is a batch of its own (whose misses overlap), small
// enough that its arrays stay in cache and allocate nothing per call
// beyond what one store's batch lookup does.
constexpr size_t kRoutePart = 4096;

// get_many / get_many_raw: keys converted holding the lock, then looked up
// a part at a time, each part's keys hashed, grouped by shard and each
// group one batch lookup (without the lock for large batches); the answers
// land in the order asked.
template <bool kDecode>
PyObject* RouteGetMany(Router* self, PyObject* const* args) {
  Ref seq(KeyTuple(args[0]));
  if (!seq) return nullptr;
  const size_t n = static_cast<size_t>(PyTuple_GET_SIZE(seq.get()));
  BatchKeys keys;
  if (!keys.Convert(&PyTuple_GET_ITEM(seq.get(), 0), n)) return nullptr;
  if (!Live(self)) return nullptr;
  const std::vector<std::string_view>& views = keys.views;
  const size_t num_shards = self->num_shards;
  const uint64_t seed = self->seed;
  size_t usable = 0;
  for (size_t j = 0; j < n; ++j) usable += keys.usable[j];
  // With a shard not open (or its reader closed), the first key asked of it
  // raises, before anything is looked up: each key's shard is found first.
  bool every_shard = true;
  for (const Ref& r : self->readers) {
    every_shard = every_shard && r.get() != Py_None && reinterpret_cast<ReaderObject*>(r.get())->store != nullptr;
  }
  if (!every_shard) {
    constexpr size_t kNone = SIZE_MAX;
    std::vector<size_t> first(num_shards, kNone);
    for (size_t j = 0; j < n; ++j) {
      if (!keys.usable[j]) continue;
      size_t& f = first[ShardIndex(PlacementHash(views[j], seed), num_shards)];
      if (f == kNone) f = j;
    }
    for (size_t i = 0; i < num_shards; ++i) {
      if (first[i] != kNone && ShardReader(self, views[first[i]], i) == nullptr) return nullptr;
    }
  }
  // Stores held while the lock is let go and the values are decoded.
  std::vector<std::shared_ptr<const StoreReader>> stores(num_shards);
  // The readers too, for their paths: a close meanwhile lets the router's go.
  std::vector<Ref> readers(num_shards);
  std::vector<uint8_t> hashed(num_shards);
  for (size_t i = 0; i < num_shards; ++i) {
    PyObject* r = self->readers[i].get();
    if (r == Py_None || reinterpret_cast<ReaderObject*>(r)->store == nullptr) continue;  // asked of no key
    readers[i] = Ref(Py_NewRef(r));
    stores[i] = reinterpret_cast<ReaderObject*>(r)->store;
    hashed[i] = stores[i]->HashedBy(seed);
  }
  std::vector<StoreReader::Found> found(n, StoreReader::Found::kAbsent);
  std::vector<Bytes> payloads(n);
  // Compressed values are decompressed with the lookups, without the lock,
  // each group's into an arena of its own that stays put.
  std::deque<DecodeBuffer> arenas;
  std::optional<StoreError> fault;
  size_t fault_shard = 0;
  auto probe = [&] {
    const size_t part = std::min(n, std::max(kRoutePart, 32 * num_shards));
    std::vector<size_t> count(num_shards + 1), next(num_shards), at(part);
    std::vector<uint64_t> hash_of(part);  // in the order asked
    std::vector<uint32_t> shard_of(part);
    std::vector<std::string_view> part_keys(part);  // grouped by shard
    std::vector<uint64_t> part_hashes(part);
    std::vector<StoreReader::Found> part_found(part);
    std::vector<Bytes> part_payloads(part);
    DecodeBuffer scratch;  // the arena of a store that does not compress
    for (size_t base = 0; base < n && !fault; base += part) {
      const size_t end = std::min(n, base + part);
      std::fill(count.begin(), count.end(), 0);
      for (size_t j = base; j < end; ++j) {
        if (!keys.usable[j]) continue;
        hash_of[j - base] = PlacementHash(views[j], seed);
        shard_of[j - base] = static_cast<uint32_t>(ShardIndex(hash_of[j - base], num_shards));
        ++count[shard_of[j - base] + 1];
      }
      for (size_t i = 0; i < num_shards; ++i) count[i + 1] += count[i];
      std::copy(count.begin(), count.end() - 1, next.begin());
      for (size_t j = base; j < end; ++j) {
        if (!keys.usable[j]) continue;
        const size_t k = next[shard_of[j - base]]++;
        at[k] = j;
        part_keys[k] = views[j];
        part_hashes[k] = hash_of[j - base];
      }
      for (size_t i = 0; i < num_shards && !fault; ++i) {
        const size_t b = count[i], e = count[i + 1];
        if (b == e) continue;
        DecodeBuffer* arena = stores[i]->values().compressed() ? &arenas.emplace_back() : &scratch;
        LookupPart(*stores[i], {part_keys.data() + b, e - b}, nullptr, part_found.data() + b,
                   part_payloads.data() + b, arena, &fault, hashed[i] ? part_hashes.data() + b : nullptr);
        fault_shard = i;
      }
      for (size_t k = 0; k < count[num_shards]; ++k) {
        found[at[k]] = part_found[k];
        payloads[at[k]] = part_payloads[k];
      }
    }
    return true;
  };
  if (usable >= kReleaseLockFrom) {
    WithoutLock(probe);
  } else {
    probe();
  }
  if (fault) return RaiseStoreError(*fault, reinterpret_cast<ReaderObject*>(readers[fault_shard].get())->path);
  PyObject* absent = kDecode && args[1] != nullptr ? args[1] : Py_None;
  Ref out(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  for (size_t j = 0; j < n; ++j) {
    PyObject* item;
    if (found[j] != StoreReader::Found::kFound) {
      item = Py_NewRef(absent);
    } else {
      item = kDecode ? Decode(payloads[j], PyTuple_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(j)))
                     : NewBytes(payloads[j]);
      if (item == nullptr) return nullptr;
    }
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(j), item);
  }
  return out.release();
}

const char* const kRouteManyNames[] = {"keys", "default"};
const Params kRouteManyParams{"get_many()", kRouteManyNames, 2, 1, 2};
const Params kRouteManyRawParams{"get_many_raw()", kRouteManyNames, 1, 1, 1};

// ---- merged scans -----------------------------------------------------------

// A lazy scan over several shards at once, in key order across them: a
// k-way merge of each shard's range of its sorted key list.  Shards hold
// disjoint keys, so the merge never meets a key twice.
struct Cursor {
  std::shared_ptr<const StoreReader> store;
  PyObject* path;  // the reader's, held by the scan's paths
  StoreReader::Cursor at;  // the entry after item
  size_t end;
  StoreReader::ScanItem item;  // the current entry, while live
  bool live;

  // Reads the entry at `at` into item (or ends the cursor at end); false
  // with the error set when the index is damaged.
  bool Step() {
    live = at.index < end;
    if (!live) return true;
    auto next = store->Next(&at);
    if (!next.ok()) return RaiseStoreError(next.error(), path), false;
    // Field by field: the core writes the key's pointer and length as two
    // words, and one wide load of both would wait for them to reach memory
    // (a failed store-to-load forward, dearer than the rest of the step).
    const StoreReader::ScanItem& got = next.value();
    const char* data = got.key.data();
    asm("" : "+r"(data));
    item.key = std::string_view(data, got.key.size());
    item.record = got.record;
    return true;
  }
};

// The merge is a tournament ("loser") tree over the cursors: each entry
// costs one comparison per level, ceil(log2(shards)), on the path from the
// winner's leaf to the root.  Cursors with no entries left lose every match.
//
// A match compares first the eight bytes of each key that follow the
// prefix every key of the scan shares (skip bytes), as one big-endian
// integer held beside the loser slots; only keys whose eight bytes agree
// are compared in full.  As the shards' keys interleave at random, the
// winner of a match is unpredictable: integer matches decided without a
// branch keep the merge from paying a mispredicted jump (and a memcmp
// call) at every level.
class Tournament {
 public:
  Tournament(std::vector<Cursor> cursors, size_t skip)
      : cursors_(std::move(cursors)), head_(cursors_.size()), loser_(cursors_.size(), 0), skip_(skip) {
    const size_t k = cursors_.size();
    if (k == 0) return;
    for (size_t i = 0; i < k; ++i) head_[i] = HeadOf(cursors_[i]);
    // Leaves at k..2k-1, matches at 1..k-1: each match keeps its loser and
    // sends its winner up.
    std::vector<size_t> winner(2 * k);
    for (size_t i = 0; i < k; ++i) winner[k + i] = i;
    for (size_t node = k - 1; node >= 1; --node) {
      const size_t a = winner[2 * node], b = winner[2 * node + 1];
      const bool a_wins = Before(a, b);
      winner[node] = a_wins ? a : b;
      loser_[node] = a_wins ? b : a;
    }
    loser_[0] = k == 1 ? 0 : winner[1];
  }

  // The cursor of the least key, or nullptr when every cursor is done.
  Cursor* Top() {
    if (cursors_.empty()) return nullptr;
    Cursor& c = cursors_[loser_[0]];
    return c.live ? &c : nullptr;
  }

  // Moves the top cursor on and replays its matches up to the root; false
  // with the error set when its index is damaged.
  bool Advance() {
    size_t w = loser_[0];
    if (!cursors_[w].Step()) return false;
    head_[w] = HeadOf(cursors_[w]);
    for (size_t node = (cursors_.size() + w) / 2; node >= 1; node /= 2) {
      // When the loser l beats w they trade places: done with a mask, as
      // compilers turn the plain choice into a jump.
      const size_t l = loser_[node];
      const size_t trade = (l ^ w) & (size_t{0} - static_cast<size_t>(Before(l, w)));
      loser_[node] = l ^ trade;
      w ^= trade;
    }
    loser_[0] = w;
    return true;
  }

  void Clear() { cursors_.clear(); }

  size_t Left() const {
    size_t left = 0;
    for (const Cursor& c : cursors_) left += c.end - c.at.index + (c.live ? 1 : 0);
    return left;
  }

 private:
  // The eight key bytes after skip_ as a big-endian integer (zeros past
  // the key's end), so integers order as the keys do unless equal; a done
  // cursor's is the largest there is.
  uint64_t HeadOf(const Cursor& c) const {
    if (!c.live) return UINT64_MAX;
    const std::string_view key = c.item.key;
    if (key.size() >= skip_ + 8) return LoadU64(key.data() + skip_);
    if (key.size() <= skip_) return 0;
    // Fewer than eight bytes after skip_: the key's last eight, shifted up
    // past the bytes before skip_, when the key has eight.
    const size_t tail = key.size() - skip_;
    if (key.size() >= 8) return LoadU64(key.data() + key.size() - 8) << (8 * (8 - tail));
    uint64_t head = 0;
    for (size_t i = 0; i < tail; ++i) head |= uint64_t{static_cast<uint8_t>(key[skip_ + i])} << (8 * (7 - i));
    return head;
  }

  // Whether cursor a's key comes before cursor b's (a done cursor never does).
  bool Before(size_t a, size_t b) const {
    const uint64_t x = head_[a], y = head_[b];
    if (x != y) [[likely]] return x < y;
    return Tie(a, b);
  }

  // Before for keys whose eight bytes agree (or cursors both done).
  [[gnu::noinline]] bool Tie(size_t a, size_t b) const {
    const Cursor &x = cursors_[a], &y = cursors_[b];
    if (!x.live) return false;
    if (!y.live) return true;
    return x.item.key < y.item.key;
  }

  std::vector<Cursor> cursors_;
  std::vector<uint64_t> head_;  // per cursor, HeadOf its current key
  std::vector<size_t> loser_;   // [0]: the overall winner
  size_t skip_;                 // bytes every key of the scan starts with alike
};

struct MergedScanObject {
  PyObject_HEAD
  // The shard readers' paths, which name files in errors (not the readers:
  // see ScanObject::path).
  std::vector<Ref> paths;
  Tournament merge;
  KeyForm key;
  ValueForm value;
  KeptPairs kept;
};

PyTypeObject* merged_scan_type = nullptr;

PyObject* MergedNext(PyObject* obj) {
  auto* self = reinterpret_cast<MergedScanObject*>(obj);
  Cursor* top = self->merge.Top();
  if (top == nullptr) return nullptr;
  PyObject* item =
      ScanItem(*top->store, top->item, top->at.index, top->end, self->key, self->value, top->path, &self->kept);
  if (item == nullptr || !self->merge.Advance()) {
    Py_XDECREF(item);
    self->merge.Clear();  // a failed scan ends with its error
    return nullptr;
  }
  return item;
}

PyObject* MergedLengthHint(PyObject* obj, PyObject*) {
  return PyLong_FromSize_t(reinterpret_cast<MergedScanObject*>(obj)->merge.Left());
}

void DeallocMerged(PyObject* obj) {
  auto* self = reinterpret_cast<MergedScanObject*>(obj);
  std::destroy_at(&self->merge);
  std::destroy_at(&self->paths);
  self->kept.Clear();
  bind::FreeInstance(obj);
}

PyObject* SelfIter(PyObject* obj) { return Py_NewRef(obj); }

PyMethodDef kMergedMethods[] = {
    {"__length_hint__", Fn(MergedLengthHint), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot kMergedSlots[] = {
    {Py_tp_doc, const_cast<char*>("A lazy scan over the open shards of a sharded store, in key order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocMerged)},
    {Py_tp_iter, reinterpret_cast<void*>(SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Slot<MergedNext>::Call)},
    {Py_tp_methods, kMergedMethods},
    {0, nullptr},
};

PyType_Spec kMergedSpec = {
    .name = "velkstore._native.MergedScan",
    .basicsize = static_cast<int>(sizeof(MergedScanObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kMergedSlots,
};

// scan(prefix=None, start=None, stop=None, *, keys=1, values=0): keys 0
// none, 1 str, 2 bytes; values 0 none, 1 stored bytes, 2 decoded.
const char* const kScanNames[] = {"prefix", "start", "stop", "keys", "values"};
const Params kScanParams{"_scan()", kScanNames, 5, 0, 3};

bool Form(PyObject* arg, long deflt, long* out) {
  *out = arg == nullptr ? deflt : PyLong_AsLong(arg);
  if (*out == -1 && PyErr_Occurred()) return false;
  if (*out < 0 || *out > 2) return PyErr_SetString(PyExc_ValueError, "scan form out of range"), false;
  return true;
}

// The length of the prefix every key the cursors will yield shares: that
// of their first keys and last keys, as every key lies between the least
// of those and the greatest.  0 when a last key cannot be read (the scan
// reports that fault when it gets there).
size_t SharedPrefix(const std::vector<Cursor>& cursors) {
  if (cursors.size() < 2) return 0;
  const std::string_view first = cursors[0].item.key;
  size_t shared = first.size();
  auto narrow = [&](std::string_view key) {
    shared = std::min(shared, key.size());
    shared = static_cast<size_t>(std::mismatch(first.begin(), first.begin() + static_cast<ptrdiff_t>(shared),
                                               key.begin()).first - first.begin());
  };
  for (const Cursor& c : cursors) {
    narrow(c.item.key);
    auto at = c.store->CursorAt(c.end - 1);
    if (!at.ok()) return 0;
    auto last = c.store->Next(&at.value());
    if (!last.ok()) return 0;
    narrow(last.value().key);
  }
  return shared;
}

PyObject* RouteScan(Router* self, PyObject* const* args) {
  long key_form, value_form;
  if (!Form(args[3], 1, &key_form) || !Form(args[4], 0, &value_form)) return nullptr;
  if (key_form == 0 && value_form == 0) return PyErr_Format(PyExc_ValueError, "a scan yields keys or values");
  ScanKeys keys;
  if (!keys.Parse(args[0], args[1], args[2])) return nullptr;
  if (!Live(self)) return nullptr;
  std::vector<Ref> paths;
  std::vector<Cursor> cursors;
  for (const Ref& r : self->readers) {
    if (r.get() == Py_None) continue;
    auto* reader = reinterpret_cast<ReaderObject*>(r.get());
    if (reader->store == nullptr) return RaiseClosed("reader");
    size_t begin = 0, end = 0;
    if (!keys.Range(*reader->store, reader->path, &begin, &end)) return nullptr;
    paths.emplace_back(Py_NewRef(reader->path));
    if (begin == end) continue;
    auto at = reader->store->CursorAt(begin);
    if (!at.ok()) return RaiseStoreError(at.error(), reader->path);
    Cursor c{reader->store, reader->path, at.value(), end, {}, false};
    if (!c.Step()) return nullptr;
    cursors.push_back(std::move(c));
  }
  const size_t skip = SharedPrefix(cursors);
  PyObject* out = merged_scan_type->tp_alloc(merged_scan_type, 0);
  if (out == nullptr) return nullptr;
  auto* scan = reinterpret_cast<MergedScanObject*>(out);
  new (&scan->paths) std::vector<Ref>(std::move(paths));
  new (&scan->merge) Tournament(std::move(cursors), skip);
  scan->key = static_cast<KeyForm>(key_form);
  scan->value = static_cast<ValueForm>(value_form);
  new (&scan->kept) KeptPairs();
  return out;
}

// close(): lookups and scans fail with ClosedError from now on; the
// readers are let go (scans already made keep theirs).
PyObject* RouteClose(Router* self) {
  std::vector<Ref> readers;
  readers.swap(self->readers);
  Py_RETURN_NONE;
}


PyMethodDef kRouterMethods[] = {
    MethodO<Router, RouteGetRaw>(
        "get_raw", "get_raw($self, key, /)\n--\n\nThe encoded value of key (decompressed) from its shard, or None when it is absent."),
    Method<Router, kRouteGetParams, RouteGet>(
        "get", "get($self, key, default=None)\n--\n\nThe object of key from its shard, or default when it is absent."),
    Method<Router, kRouteManyRawParams, RouteGetMany<false>>(
        "get_many_raw",
        "get_many_raw($self, keys)\n--\n\nThe encoded value of each key (decompressed; None when absent), in the order asked."),
    Method<Router, kRouteManyParams, RouteGetMany<true>>(
        "get_many",
        "get_many($self, keys, default=None)\n--\n\nThe object of each key (default when absent), in the order asked."),
    Method<Router, kAttachParams, RouteAttach>(
        "_attach", "_attach($self, readers, seed)\n--\n\nRoute to these readers (None: a shard not open), one per shard."),
    Method<Router, kScanParams, RouteScan>(
        "_scan",
        "_scan($self, prefix=None, start=None, stop=None, *, keys=1, values=0)\n--\n\n"
        "A lazy scan of the open shards in key order. keys: 0 none, 1 str, 2 bytes; values: 0 none, 1 stored\n"
        "bytes, 2 decoded."),
    MethodNoArgs<Router, RouteClose>(
        "_close", "_close($self, /)\n--\n\nLet the readers go; later calls raise ClosedError."),
    kEndOfTable,
};

PyType_Slot kRouterSlots[] = {
    {Py_tp_doc, const_cast<char*>("Lookups and scans of a sharded store: each key sent to the reader of its\n"
                                  "shard (None: a shard not open), scans merged across the open shards.")},
    {Py_tp_new, reinterpret_cast<void*>(NewRouter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocRouter)},
    {Py_tp_methods, kRouterMethods},
    {Py_mp_subscript, reinterpret_cast<void*>(Slot<RouteSubscript>::Call)},
    {Py_sq_contains, reinterpret_cast<void*>(Slot<RouteContains>::Call)},
    {0, nullptr},
};

PyType_Spec kRouterSpec = {
    .name = "velkstore._native.ShardRouter",
    .basicsize = static_cast<int>(sizeof(Router)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = kRouterSlots,
};

}  // namespace

PyMethodDef shard_functions[] = {
    {"encode", EncodeFn, METH_O,
     "encode(obj, /)\n--\n\nThe MessagePack encoding of obj, as every store of the package stores it."},
    Method<PyObject, kShardOfParams, ShardOfKey>(
        "shard_of",
        "shard_of(key, num_shards, seed=0)\n--\n\n"
        "The shard that holds key (str or bytes) in a store of num_shards: xxh3_64(key bytes, seed) % num_shards."),
    Method<PyObject, kMisplacedParams, MisplacedKey>(
        "misplaced_key",
        "misplaced_key(reader, index, num_shards, seed, limit=None)\n--\n\n"
        "The first of the reader's keys (of its first limit keys) that does not belong in shard index, or None."),
    Method<PyObject, kCommitParams, CommitFileFn>(
        "commit_file", "commit_file(path, data)\n--\n\nReplace the file at path with data atomically and durably."),
    kEndOfTable,
};

PyObject* CreateRouterType(PyObject* module) {
  Ref splitter(PyType_FromModuleAndSpec(module, &kSplitterSpec, nullptr));
  if (!splitter) return nullptr;
  Ref overhead(PyLong_FromSize_t(kPairOverhead));
  if (!overhead || PyObject_SetAttrString(splitter.get(), "PAIR_OVERHEAD", overhead.get()) < 0) return nullptr;
  if (PyModule_AddObjectRef(module, "Splitter", splitter.get()) < 0) return nullptr;
  if (merged_scan_type == nullptr) {
    merged_scan_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kMergedSpec, nullptr));
    if (merged_scan_type == nullptr) return nullptr;
  }
  return PyType_FromModuleAndSpec(module, &kRouterSpec, nullptr);
}

}  // namespace velk::native
