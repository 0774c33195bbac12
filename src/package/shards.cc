// The per-key work of sharded stores, done here rather than in Python:
// split_pairs() sorts a batch of (key, value) pairs into per-shard lists
// for the sharded writers, and ShardRouter answers a sharded reader's exact
// lookups, each key sent to its shard's open reader.  A key lives in shard
// xxh3_64(key bytes, seed) % num_shards, as in velkstore.sharded.manifest.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#define XXH_INLINE_ALL  // header-only: no library to link
#include <xxhash.h>

#include "core/writer/commit.h"
#include "package/api.h"
#include "package/pack.h"
#include "package/reader.h"

namespace velk::native {
namespace {

constexpr size_t kMaxKeyBytes = 65535;
// Batches shorter than this are looked up holding the lock (as the reader does).
constexpr size_t kReleaseLockFrom = 64;

uint64_t ShardOf(std::string_view key, uint64_t seed, uint64_t num_shards) {
  return XXH3_64bits_withSeed(key.data(), key.size(), seed) % num_shards;
}

// ---- split_pairs ----------------------------------------------------------

// The stored key of a pair as a new bytes object, or nullptr with TypeError
// or LimitError set.
PyObject* StoredKey(PyObject* key) {
  if (PyBytes_CheckExact(key)) {
    if (static_cast<size_t>(PyBytes_GET_SIZE(key)) <= kMaxKeyBytes) return Py_NewRef(key);
  }
  KeyBuf buf;
  switch (ToKey(key, &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: return PyErr_Format(imports.limit_error, "key %R cannot be encoded as UTF-8", key);
    case KeyConv::kError: return nullptr;
  }
  if (buf.view.size() > kMaxKeyBytes) {
    return PyErr_Format(imports.limit_error, "key of %zu bytes exceeds the limit of %zu", buf.view.size(),
                        kMaxKeyBytes);
  }
  return KeyBytes(buf.view);
}

// The stored bytes of a value: raw bytes-like as bytes, else its MessagePack
// encoding (plain values here, the rest through pack).  New reference.
PyObject* StoredValue(PyObject* value, bool raw, PyObject* pack, std::string* scratch) {
  if (raw) {
    if (PyBytes_CheckExact(value)) return Py_NewRef(value);
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) return PyBytes_FromObject(value);
    return PyErr_Format(PyExc_TypeError, "raw must be bytes, not '%.200s'", Py_TYPE(value)->tp_name);
  }
  scratch->clear();
  if (PackPlain(value, scratch)) {
    return PyBytes_FromStringAndSize(scratch->data(), static_cast<Py_ssize_t>(scratch->size()));
  }
  return PyObject_CallOneArg(pack, value);
}

// A pair's two items (borrowed from *seq), or false with TypeError set.
bool Unpair(PyObject* pair, Ref* seq, PyObject** key, PyObject** value) {
  *seq = Ref(PySequence_Fast(pair, ""));
  if (*seq && PySequence_Fast_GET_SIZE(seq->get()) == 2) {
    *key = PySequence_Fast_ITEMS(seq->get())[0];
    *value = PySequence_Fast_ITEMS(seq->get())[1];
    return true;
  }
  if (!*seq && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyErr_Clear();
  Ref text(PyObject_Repr(pair));
  if (!text) return false;
  PyErr_Format(PyExc_TypeError, "expected a (key, value) pair, not %.60U", text.get());
  return false;
}

// One list per shard from splitter.<name>, as new references.
bool ShardLists(PyObject* splitter, const char* name, std::vector<Ref>* out) {
  Ref outer(PyObject_GetAttrString(splitter, name));
  if (!outer) return false;
  if (!PyList_Check(outer.get()) || PyList_GET_SIZE(outer.get()) == 0) {
    PyErr_Format(PyExc_TypeError, "splitter.%s must be a non-empty list of lists", name);
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outer.get()); ++i) {
    PyObject* inner = PyList_GET_ITEM(outer.get(), i);
    if (!PyList_Check(inner)) {
      PyErr_Format(PyExc_TypeError, "splitter.%s must be a non-empty list of lists", name);
      return false;
    }
    out->emplace_back(Py_NewRef(inner));
  }
  return true;
}

// Adds up to limit pairs to the splitter's lists, adding to *added the bytes
// added (keys, values and per_pair for each), also those before a failure.
// Returns 1 when pairs ran out, 0 when limit pairs were taken first, -1 with
// the error set.
int SplitInto(PyObject* splitter, PyObject* pairs, bool raw, size_t limit, size_t* added) {
  std::vector<Ref> keys, raws;
  if (!ShardLists(splitter, "keys", &keys) || !ShardLists(splitter, "raws", &raws)) return -1;
  if (keys.size() != raws.size()) {
    PyErr_SetString(PyExc_ValueError, "splitter.keys and splitter.raws differ in length");
    return -1;
  }
  Ref seed_obj(PyObject_GetAttrString(splitter, "seed"));
  if (!seed_obj) return -1;
  const uint64_t seed = PyLong_AsUnsignedLongLong(seed_obj.get());
  if (PyErr_Occurred()) return -1;
  Ref overhead_obj(PyObject_GetAttrString(splitter, "PAIR_OVERHEAD"));
  if (!overhead_obj) return -1;
  const size_t per_pair = PyLong_AsSize_t(overhead_obj.get());
  if (PyErr_Occurred()) return -1;
  Ref pack;
  if (!raw) {
    pack = Ref(PyObject_GetAttrString(splitter, "pack"));
    if (!pack) return -1;
  }
  Ref it(PyObject_GetIter(pairs));
  if (!it) return -1;
  const uint64_t n = keys.size();
  std::string scratch;
  for (size_t taken = 0; taken < limit; ++taken) {
    Ref pair(PyIter_Next(it.get()));
    if (!pair) return PyErr_Occurred() ? -1 : 1;
    Ref seq;
    PyObject *key, *value;
    if (!Unpair(pair.get(), &seq, &key, &value)) return -1;
    Ref kb(StoredKey(key));
    if (!kb) return -1;
    Ref vb(StoredValue(value, raw, pack.get(), &scratch));
    if (!vb) return -1;
    if (!PyBytes_Check(vb.get())) {
      PyErr_Format(PyExc_TypeError, "pack() returned '%.200s', not bytes", Py_TYPE(vb.get())->tp_name);
      return -1;
    }
    const std::string_view k{PyBytes_AS_STRING(kb.get()), static_cast<size_t>(PyBytes_GET_SIZE(kb.get()))};
    const size_t i = ShardOf(k, seed, n);
    if (PyList_Append(keys[i].get(), kb.get()) < 0) return -1;
    if (PyList_Append(raws[i].get(), vb.get()) < 0) {
      // Keep the two lists in step: the key goes too.
      PyList_SetSlice(keys[i].get(), PyList_GET_SIZE(keys[i].get()) - 1, PyList_GET_SIZE(keys[i].get()), nullptr);
      return -1;
    }
    *added += k.size() + static_cast<size_t>(PyBytes_GET_SIZE(vb.get())) + per_pair;
  }
  return 0;
}

const char* const kSplitNames[] = {"splitter", "pairs", "raw", "limit"};
const Params kSplitParams{"split_pairs()", kSplitNames, 4, 2, 4};

PyObject* SplitPairs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guard([&]() -> PyObject* {
    PyObject* slots[4];
    if (!ParseArgs(kSplitParams, args, nargs, kwnames, slots)) return nullptr;
    const int raw = slots[2] == nullptr ? 0 : PyObject_IsTrue(slots[2]);
    if (raw < 0) return nullptr;
    size_t limit = SIZE_MAX;
    if (slots[3] != nullptr && slots[3] != Py_None) {
      limit = PyLong_AsSize_t(slots[3]);
      if (PyErr_Occurred()) return nullptr;
    }
    size_t added = 0;
    const int rc = SplitInto(slots[0], slots[1], raw != 0, limit, &added);
    // splitter.pending counts what went in, also when a bad pair stopped the batch.
    PyObject* exc = rc < 0 ? PyErr_GetRaisedException() : nullptr;
    Ref pending(PyObject_GetAttrString(slots[0], "pending"));
    Ref total(pending ? PyNumber_Add(pending.get(), Ref(PyLong_FromSize_t(added)).get()) : nullptr);
    if (!total || PyObject_SetAttrString(slots[0], "pending", total.get()) < 0) {
      Py_XDECREF(exc);
      return nullptr;
    }
    if (exc != nullptr) {
      PyErr_SetRaisedException(exc);
      return nullptr;
    }
    return PyBool_FromLong(rc);
  });
}

// ---- pack_chunk -----------------------------------------------------------

void PutBigEndian(std::string* out, uint64_t v, int bytes) {
  for (int b = bytes - 1; b >= 0; --b) out->push_back(static_cast<char>((v >> (8 * b)) & 0xff));
}

void PutArrayHeader(std::string* out, size_t n) {
  if (n < 16) {
    out->push_back(static_cast<char>(0x90 | n));
  } else if (n <= 0xffff) {
    out->push_back(static_cast<char>(0xdc));
    PutBigEndian(out, n, 2);
  } else {
    out->push_back(static_cast<char>(0xdd));
    PutBigEndian(out, n, 4);
  }
}

// A list of bytes as a MessagePack array of bin; false with the error set.
bool PutBytesList(std::string* out, PyObject* list, const char* name) {
  if (!PyList_Check(list)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list of bytes", name);
    return false;
  }
  const size_t n = static_cast<size_t>(PyList_GET_SIZE(list));
  if (n > UINT32_MAX) return PyErr_SetString(PyExc_ValueError, "chunk too large"), false;
  PutArrayHeader(out, n);
  for (size_t i = 0; i < n; ++i) {
    PyObject* b = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    if (!PyBytes_Check(b)) {
      PyErr_Format(PyExc_TypeError, "%s must be a list of bytes", name);
      return false;
    }
    const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(b));
    if (len < 0x100) {
      out->push_back(static_cast<char>(0xc4));
      PutBigEndian(out, len, 1);
    } else if (len <= 0xffff) {
      out->push_back(static_cast<char>(0xc5));
      PutBigEndian(out, len, 2);
    } else if (len <= UINT32_MAX) {
      out->push_back(static_cast<char>(0xc6));
      PutBigEndian(out, len, 4);
    } else {
      return PyErr_SetString(PyExc_ValueError, "value too large for a chunk"), false;
    }
    out->append(PyBytes_AS_STRING(b), len);
  }
  return true;
}

// pack_chunk(keys, raws): the MessagePack encoding of [keys, raws], two
// lists of bytes, byte for byte as msgpack.packb(..., use_bin_type=True).
PyObject* PackChunk(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return Guard([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "pack_chunk() takes exactly two arguments (%zd given)", nargs);
      return nullptr;
    }
    size_t size = 1;
    for (int a = 0; a < 2; ++a) {
      if (!PyList_Check(args[a])) continue;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[a]); ++i) {
        PyObject* b = PyList_GET_ITEM(args[a], i);
        size += 5 + (PyBytes_Check(b) ? static_cast<size_t>(PyBytes_GET_SIZE(b)) : 0);
      }
      size += 5;
    }
    std::string out;
    out.reserve(size);
    out.push_back(static_cast<char>(0x92));
    if (!PutBytesList(&out, args[0], "keys") || !PutBytesList(&out, args[1], "raws")) return nullptr;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

// ---- placement ------------------------------------------------------------

// shard_of(key, num_shards, seed=0): the shard that holds key's stored
// bytes.  num_shards is any positive int (2**64 gives the hash itself).
const char* const kShardOfNames[] = {"key", "num_shards", "seed"};
const Params kShardOfParams{"shard_of()", kShardOfNames, 3, 2, 3};

PyObject* ShardOfKey(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guard([&]() -> PyObject* {
    PyObject* slots[3];
    if (!ParseArgs(kShardOfParams, args, nargs, kwnames, slots)) return nullptr;
    if (!PyLong_Check(slots[1])) {
      return PyErr_Format(PyExc_TypeError, "num_shards must be an int, not '%.200s'", Py_TYPE(slots[1])->tp_name);
    }
    Ref zero(PyLong_FromLong(0));
    const int positive = zero ? PyObject_RichCompareBool(slots[1], zero.get(), Py_GT) : -1;
    if (positive <= 0) {
      return positive < 0 ? nullptr : PyErr_Format(PyExc_ValueError, "num_shards must be positive");
    }
    const uint64_t seed = slots[2] == nullptr ? 0 : PyLong_AsUnsignedLongLong(slots[2]);
    if (PyErr_Occurred()) return nullptr;
    KeyBuf buf;
    switch (ToKey(slots[0], &buf)) {
      case KeyConv::kOk: break;
      case KeyConv::kNoBytes: return PyErr_Format(imports.limit_error, "key %R cannot be encoded as UTF-8", slots[0]);
      case KeyConv::kError: return nullptr;
    }
    Ref hash(PyLong_FromUnsignedLongLong(XXH3_64bits_withSeed(buf.view.data(), buf.view.size(), seed)));
    return hash ? PyNumber_Remainder(hash.get(), slots[1]) : nullptr;
  });
}

// misplaced_key(reader, index, num_shards, seed, limit=None): the first of
// (at most limit of) the reader's keys that does not belong in shard index,
// as bytes, or None when every key checked belongs there.
const char* const kMisplacedNames[] = {"reader", "index", "num_shards", "seed", "limit"};
const Params kMisplacedParams{"misplaced_key()", kMisplacedNames, 5, 4, 5};

PyObject* MisplacedKey(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guard([&]() -> PyObject* {
    PyObject* slots[5];
    if (!ParseArgs(kMisplacedParams, args, nargs, kwnames, slots)) return nullptr;
    if (!PyObject_TypeCheck(slots[0], reader_type)) {
      return PyErr_Format(PyExc_TypeError, "reader must be a reader, not '%.200s'", Py_TYPE(slots[0])->tp_name);
    }
    uint64_t values[3];
    for (int a = 0; a < 3; ++a) {
      values[a] = PyLong_AsUnsignedLongLong(slots[a + 1]);
      if (PyErr_Occurred()) return nullptr;
    }
    const auto [index, n, seed] = values;
    if (n == 0) return PyErr_Format(PyExc_ValueError, "num_shards must be positive");
    size_t limit = SIZE_MAX;
    if (slots[4] != nullptr && slots[4] != Py_None) {
      limit = PyLong_AsSize_t(slots[4]);
      if (PyErr_Occurred()) return nullptr;
    }
    // A copy of the store: the scan below lets go of the lock.
    std::shared_ptr<const StoreReader> store = reinterpret_cast<ReaderObject*>(slots[0])->store;
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
    if (!found.ok()) return RaiseStoreError(found.error(), reinterpret_cast<ReaderObject*>(slots[0])->path);
    if (!found.value()) Py_RETURN_NONE;
    return KeyBytes(*found.value());
  });
}

// commit_file(path, data): data as the new content of path, committed
// atomically (a fresh temporary name, synced, renamed over path, the
// directory synced).
const char* const kCommitNames[] = {"path", "data"};
const Params kCommitParams{"commit_file()", kCommitNames, 2, 2, 2};

PyObject* CommitFileFn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guard([&]() -> PyObject* {
    PyObject* slots[2];
    if (!ParseArgs(kCommitParams, args, nargs, kwnames, slots)) return nullptr;
    Ref given;
    std::string path;
    if (!ToPath(slots[0], &given, &path)) return nullptr;
    if (!PyBytes_Check(slots[1])) {
      return PyErr_Format(PyExc_TypeError, "data must be bytes, not '%.200s'", Py_TYPE(slots[1])->tp_name);
    }
    // Held across the lock's release, so the buffer stays put.
    Ref data(Py_NewRef(slots[1]));
    const Bytes part{reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(data.get())),
                     static_cast<size_t>(PyBytes_GET_SIZE(data.get()))};
    Result<void> done =
        WithoutLock([&] { return writer::CommitFile(path, std::span<const Bytes>(&part, 1), writer::TempNaming::kUnique); });
    if (!done.ok()) return RaiseStoreError(done.error(), given.get());
    Py_RETURN_NONE;
  });
}

// ---- ShardRouter ----------------------------------------------------------

struct RouterObject {
  PyObject_HEAD
  std::vector<Ref> readers;  // one per shard; Py_None for a shard not open
  uint64_t seed;
  PyObject* not_open;  // the exception class for a key of a shard not open
};

using Router = RouterObject;

PyObject* NewRouter(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    static const char* kwlist[] = {"readers", "seed", "not_open", nullptr};
    PyObject *readers_arg, *seed_arg, *not_open;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:ShardRouter", const_cast<char**>(kwlist), &readers_arg,
                                     &seed_arg, &not_open)) {
      return nullptr;
    }
    const uint64_t seed = PyLong_AsUnsignedLongLong(seed_arg);
    if (PyErr_Occurred()) return nullptr;
    Ref seq(PySequence_Tuple(readers_arg));
    if (!seq) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n == 0) {
      PyErr_SetString(PyExc_ValueError, "ShardRouter needs at least one shard");
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* r = PyTuple_GET_ITEM(seq.get(), i);
      if (r != Py_None && !PyObject_TypeCheck(r, reader_type)) {
        PyErr_Format(PyExc_TypeError, "readers must be readers or None, not '%.200s'", Py_TYPE(r)->tp_name);
        return nullptr;
      }
    }
    if (!PyExceptionClass_Check(not_open)) {
      PyErr_SetString(PyExc_TypeError, "not_open must be an exception class");
      return nullptr;
    }
    std::vector<Ref> list;
    list.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) list.emplace_back(Py_NewRef(PyTuple_GET_ITEM(seq.get(), i)));
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = reinterpret_cast<Router*>(obj);
    new (&self->readers) std::vector<Ref>(std::move(list));
    self->seed = seed;
    self->not_open = Py_NewRef(not_open);
    return obj;
  });
}

void DeallocRouter(PyObject* obj) {
  auto* self = reinterpret_cast<Router*>(obj);
  std::destroy_at(&self->readers);
  Py_XDECREF(self->not_open);
  PyTypeObject* tp = Py_TYPE(obj);
  tp->tp_free(obj);
  Py_DECREF(tp);
}

PyObject* RaiseNotOpen(Router* self, std::string_view key, size_t shard) {
  Ref kb(KeyBytes(key));
  if (!kb) return nullptr;
  PyErr_Format(self->not_open, "key %R belongs to shard %zu, which this reader did not open", kb.get(), shard);
  return nullptr;
}

// The open reader of shard i, or nullptr with the error set.
ReaderObject* ShardReader(Router* self, std::string_view key, size_t i) {
  PyObject* r = self->readers[i].get();
  if (r == Py_None) return RaiseNotOpen(self, key, i), nullptr;
  auto* reader = reinterpret_cast<ReaderObject*>(r);
  if (reader->store == nullptr) return RaiseClosed("reader"), nullptr;
  return reader;
}

PyObject* RaiseDamaged(const ReaderObject* reader, const StoreReader& store, std::string_view key) {
  auto got = store.Get(key);
  if (!got.ok()) return RaiseStoreError(got.error(), reader->path);
  PyErr_SetString(PyExc_SystemError, "record check disagrees with itself");
  return nullptr;
}

PyObject* RouteGetRaw(PyObject* obj, PyObject* key) {
  auto* self = reinterpret_cast<Router*>(obj);
  KeyBuf buf;
  switch (ToKey(key, &buf)) {
    case KeyConv::kOk: break;
    case KeyConv::kNoBytes: Py_RETURN_NONE;
    case KeyConv::kError: return nullptr;
  }
  const size_t i = ShardOf(buf.view, self->seed, self->readers.size());
  ReaderObject* reader = ShardReader(self, buf.view, i);
  if (reader == nullptr) return nullptr;
  Bytes payload;
  switch (reader->store->Probe(buf.view, &payload)) {
    case StoreReader::Found::kFound:
      if (!ValueOf(*reader->store, payload, reader->path, &payload)) return nullptr;
      return NewBytes(payload);
    case StoreReader::Found::kAbsent: Py_RETURN_NONE;
    case StoreReader::Found::kDamaged: break;
  }
  return RaiseDamaged(reader, *reader->store, buf.view);
}

// get_many_raw(keys: list): one batch lookup per shard, answers in the order asked.
PyObject* RouteGetManyRaw(PyObject* obj, PyObject* keys_arg) {
  return Guard([&]() -> PyObject* {
    auto* self = reinterpret_cast<Router*>(obj);
    if (!PyList_Check(keys_arg)) {
      PyErr_SetString(PyExc_TypeError, "get_many_raw() takes a list of keys");
      return nullptr;
    }
    // A tuple of our own: the keys' bytes are read in place, and no one
    // else can change it while the results are built.
    Ref seq(PyList_AsTuple(keys_arg));
    if (!seq) return nullptr;
    const size_t n = static_cast<size_t>(PyTuple_GET_SIZE(seq.get()));
    const size_t num_shards = self->readers.size();
    std::vector<std::string_view> views(n);
    std::vector<std::string> owned;  // keys that needed a converted copy
    std::vector<size_t> owned_at;
    std::vector<uint32_t> shard_of(n, 0);
    std::vector<size_t> count(num_shards + 1, 0);
    constexpr uint32_t kUnusable = UINT32_MAX;
    for (size_t j = 0; j < n; ++j) {
      KeyBuf buf;
      switch (ToKey(PyTuple_GET_ITEM(seq.get(), j), &buf)) {
        case KeyConv::kOk: break;
        case KeyConv::kNoBytes: shard_of[j] = kUnusable; continue;
        case KeyConv::kError: return nullptr;
      }
      if (buf.view.data() == buf.owned.data()) {
        owned.push_back(std::move(buf.owned));
        owned_at.push_back(j);
      } else {
        views[j] = buf.view;
      }
    }
    for (size_t o = 0; o < owned.size(); ++o) views[owned_at[o]] = owned[o];
    for (size_t j = 0; j < n; ++j) {
      if (shard_of[j] == kUnusable) continue;
      shard_of[j] = static_cast<uint32_t>(ShardOf(views[j], self->seed, num_shards));
      ++count[shard_of[j] + 1];
    }
    // Positions of each shard's keys, contiguous per shard, in the order asked.
    for (size_t i = 0; i < num_shards; ++i) count[i + 1] += count[i];
    std::vector<size_t> order(count[num_shards]);
    {
      std::vector<size_t> next(count.begin(), count.end() - 1);
      for (size_t j = 0; j < n; ++j) {
        if (shard_of[j] != kUnusable) order[next[shard_of[j]]++] = j;
      }
    }
    std::vector<std::string_view> batch_keys(order.size());
    for (size_t k = 0; k < order.size(); ++k) batch_keys[k] = views[order[k]];
    std::vector<StoreReader::Found> found(order.size());
    std::vector<Bytes> payloads(order.size());
    // Readers kept alive (and their stores held) while the lock is let go.
    std::vector<std::shared_ptr<const StoreReader>> stores(num_shards);
    for (size_t i = 0; i < num_shards; ++i) {
      if (count[i] == count[i + 1]) continue;
      ReaderObject* reader = ShardReader(self, batch_keys[count[i]], i);
      if (reader == nullptr) return nullptr;
      stores[i] = reader->store;
    }
    // Compressed values are decompressed with the lookups, without the lock.
    std::vector<std::vector<std::byte>> arenas(num_shards);
    std::optional<std::pair<size_t, StoreError>> damaged_value;  // shard and error
    auto probe = [&] {
      for (size_t i = 0; i < num_shards; ++i) {
        const size_t b = count[i], e = count[i + 1];
        if (b == e) continue;
        stores[i]->ProbeMany({batch_keys.data() + b, e - b}, found.data() + b, payloads.data() + b);
        if (!stores[i]->values().compressed() || damaged_value) continue;
        std::vector<uint8_t> present(e - b);
        for (size_t k = b; k < e; ++k) present[k - b] = found[k] == StoreReader::Found::kFound;
        size_t bad = 0;
        auto decoded = stores[i]->values().DecodeMany({payloads.data() + b, e - b}, present, &arenas[i], &bad);
        if (!decoded.ok()) damaged_value.emplace(i, std::move(decoded).error());
      }
      return true;
    };
    if (order.size() >= kReleaseLockFrom) {
      WithoutLock(probe);
    } else {
      probe();
    }
    for (size_t i = 0; i < num_shards; ++i) {
      for (size_t k = count[i]; k < count[i + 1]; ++k) {
        if (found[k] == StoreReader::Found::kDamaged) {
          return RaiseDamaged(reinterpret_cast<ReaderObject*>(self->readers[i].get()), *stores[i], batch_keys[k]);
        }
      }
    }
    if (damaged_value) {
      return RaiseStoreError(damaged_value->second,
                             reinterpret_cast<ReaderObject*>(self->readers[damaged_value->first].get())->path);
    }
    Ref out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (size_t j = 0; j < n; ++j) PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(j), Py_NewRef(Py_None));
    for (size_t k = 0; k < order.size(); ++k) {
      if (found[k] != StoreReader::Found::kFound) continue;
      PyObject* item = NewBytes(payloads[k]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(order[k]), item);
    }
    return out.release();
  });
}

PyMethodDef kRouterMethods[] = {
    {"get_raw", RouteGetRaw, METH_O,
     "get_raw($self, key, /)\n--\n\nThe stored bytes of key from its shard, or None when it is absent."},
    {"get_many_raw", RouteGetManyRaw, METH_O,
     "get_many_raw($self, keys, /)\n--\n\nThe stored bytes of each key of a list, in the order asked."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot kRouterSlots[] = {
    {Py_tp_doc, const_cast<char*>("ShardRouter(readers, seed, not_open)\n--\n\n"
                                  "Exact lookups sent to the reader of each key's shard (None: a shard not open).")},
    {Py_tp_new, reinterpret_cast<void*>(NewRouter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocRouter)},
    {Py_tp_methods, kRouterMethods},
    {0, nullptr},
};

PyType_Spec kRouterSpec = {
    .name = "velkstore._native.ShardRouter",
    .basicsize = static_cast<int>(sizeof(Router)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kRouterSlots,
};

}  // namespace

PyMethodDef shard_functions[] = {
    {"split_pairs", Fn(SplitPairs), METH_FASTCALL | METH_KEYWORDS,
     "split_pairs(splitter, pairs, raw=False, limit=None)\n--\n\n"
     "Append each (key, value) pair to splitter.keys[i] and splitter.raws[i] of its shard i, the value\n"
     "MessagePack-encoded or, with raw, bytes; splitter.pending grows by the bytes added.\n"
     "Takes at most limit pairs; True when pairs ran out."},
    {"shard_of", Fn(ShardOfKey), METH_FASTCALL | METH_KEYWORDS,
     "shard_of(key, num_shards, seed=0)\n--\n\n"
     "The shard that holds key (str or bytes) in a store of num_shards: xxh3_64(key bytes, seed) % num_shards."},
    {"misplaced_key", Fn(MisplacedKey), METH_FASTCALL | METH_KEYWORDS,
     "misplaced_key(reader, index, num_shards, seed, limit=None)\n--\n\n"
     "The first of the reader's keys (of its first limit keys) that does not belong in shard index, or None."},
    {"commit_file", Fn(CommitFileFn), METH_FASTCALL | METH_KEYWORDS,
     "commit_file(path, data)\n--\n\nReplace the file at path with data atomically and durably."},
    {"pack_chunk", Fn(PackChunk), METH_FASTCALL,
     "pack_chunk(keys, raws, /)\n--\n\nThe MessagePack encoding of [keys, raws], two lists of bytes."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyObject* CreateRouterType(PyObject* module) { return PyType_FromModuleAndSpec(module, &kRouterSpec, nullptr); }

}  // namespace velk::native
