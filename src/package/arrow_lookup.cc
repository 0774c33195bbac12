// Batch lookups into an Arrow binary array: the keys' bytes are read in
// place (from an Arrow array, or converted once from Python keys), looked
// up shard by shard and copied into the result's buffers without the
// interpreter lock and without a Python object per key.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "package/api.h"
#include "package/arrow_abi.h"
#include "package/arrow_functions.h"
#include "package/placement.h"
#include "package/reader.h"

namespace velk::native {
namespace {

// Batches shorter than this are looked up holding the lock, as get_many does.
constexpr size_t kReleaseLockFrom = 64;
constexpr size_t kNoSlot = SIZE_MAX;

// The keys of a call, as views of bytes kept alive by the call's arguments
// (or by owned, for keys that needed a converted copy).  A key that is
// null, or text with no byte form, is unusable: its result is null.
using Keys = BatchKeys;

// Keys from (schema capsule, array capsule) pairs, one per chunk.
bool ArrowKeys(PyObject* chunks, Keys* keys) {
  const Py_ssize_t n_chunks = PyTuple_GET_SIZE(chunks);
  std::vector<arrow::Column> columns(static_cast<size_t>(n_chunks));
  size_t total = 0;
  for (Py_ssize_t c = 0; c < n_chunks; ++c) {
    arrow::CapsulePair pair;
    if (!arrow::FromCapsules(PyTuple_GET_ITEM(chunks, c), &pair)) return false;
    arrow::Column& col = columns[static_cast<size_t>(c)];
    std::string err;
    if (!col.Init(*pair.schema, *pair.array, &err)) {
      PyErr_Format(PyExc_ValueError, "keys: %s", err.c_str());
      return false;
    }
    if (!col.type().bytes_like()) {
      PyErr_Format(PyExc_TypeError, "keys must be a string or binary array, not one of format '%s'",
                   pair.schema->format);
      return false;
    }
    total += static_cast<size_t>(col.length());
  }
  keys->views.resize(total);
  keys->usable.assign(total, 1);
  size_t at = 0;
  for (const arrow::Column& col : columns) {
    for (int64_t i = 0; i < col.length(); ++i, ++at) {
      if (col.IsNull(i)) {
        keys->usable[at] = 0;
      } else {
        keys->views[at] = col.Bytes(i);
      }
    }
  }
  return true;
}

// Keys from a tuple of str or bytes, converted as every lookup converts them.
bool PythonKeys(PyObject* seq, Keys* keys) {
  return keys->Convert(&PyTuple_GET_ITEM(seq, 0), static_cast<size_t>(PyTuple_GET_SIZE(seq)));
}

// What a lookup found where the lock was let go, reported once it is held.

// Builds the binary result: row j is the value found for key j, null when
// the key is absent or unusable.  values[k] and found[k] are in probe
// order; slot[j] is key j's place in it (kNoSlot: unusable), or with slot
// empty, j itself.
arrow::BinaryOut BuildResult(size_t n, const std::vector<size_t>& slot, const std::vector<StoreReader::Found>& found,
                             const std::vector<Bytes>& values) {
  uint64_t total = 0;
  for (size_t k = 0; k < found.size(); ++k) {
    if (found[k] == StoreReader::Found::kFound) total += values[k].size();
  }
  arrow::BinaryOut out;
  out.length = static_cast<int64_t>(n);
  out.large = total > static_cast<uint64_t>(INT32_MAX);
  out.validity = arrow::AllocBuffer((n + 7) / 8);
  std::memset(out.validity.get(), 0, (n + 7) / 8);
  out.offsets = arrow::AllocBuffer((n + 1) * (out.large ? 8 : 4));
  out.data = arrow::AllocBuffer(total);
  uint8_t* bits = out.validity.get();
  uint8_t* data = out.data.get();
  auto fill = [&](auto* offsets) {
    uint64_t at = 0;
    int64_t nulls = 0;
    offsets[0] = 0;
    for (size_t j = 0; j < n; ++j) {
      const size_t k = slot.empty() ? j : slot[j];
      if (k != kNoSlot && found[k] == StoreReader::Found::kFound) {
        const Bytes v = values[k];
        if (!v.empty()) std::memcpy(data + at, v.data(), v.size());
        at += v.size();
        bits[j >> 3] = static_cast<uint8_t>(bits[j >> 3] | (1u << (j & 7)));
      } else {
        ++nulls;
      }
      offsets[j + 1] = static_cast<std::remove_pointer_t<decltype(offsets)>>(at);
    }
    out.null_count = nulls;
  };
  if (out.large) {
    fill(reinterpret_cast<int64_t*>(out.offsets.get()));
  } else {
    fill(reinterpret_cast<int32_t*>(out.offsets.get()));
  }
  return out;
}

PyObject* RaiseNotOpen(std::string_view key, size_t shard) {
  Ref kb(KeyBytes(key));
  if (!kb) return nullptr;
  return PyErr_Format(imports.not_open_error, "key %R belongs to shard %zu, which this reader did not open", kb.get(),
                      shard);
}

PyObject* GetManyArrow(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return Guard([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_SetString(PyExc_TypeError, "_arrow_get_many(readers, seed, keys, arrow)");
      return nullptr;
    }
    const uint64_t seed = PyLong_AsUnsignedLongLong(args[1]);
    if (seed == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    const int arrow_keys = PyObject_IsTrue(args[3]);
    if (arrow_keys < 0) return nullptr;
    if (!arrow_keys && (PyUnicode_Check(args[2]) || PyBytes_Check(args[2]))) {
      PyErr_SetString(PyExc_TypeError, "get_many_arrow() takes keys, not a single key");
      return nullptr;
    }
    // Tuples of our own hold the keys (and the capsules their bytes live
    // in) and the readers until the result is built.
    Ref held_keys(PySequence_Tuple(args[2]));
    if (!held_keys) return nullptr;
    Ref readers(PySequence_Tuple(args[0]));
    if (!readers) return nullptr;
    Keys keys;
    if (!(arrow_keys ? ArrowKeys(held_keys.get(), &keys) : PythonKeys(held_keys.get(), &keys))) return nullptr;
    // Converting keys may have run Python code (closing a reader, say):
    // the stores are taken only now, and nothing below runs any.
    const size_t num_shards = static_cast<size_t>(PyTuple_GET_SIZE(readers.get()));
    if (num_shards == 0) {
      PyErr_SetString(PyExc_ValueError, "no readers");
      return nullptr;
    }
    for (size_t i = 0; i < num_shards; ++i) {
      PyObject* r = PyTuple_GET_ITEM(readers.get(), static_cast<Py_ssize_t>(i));
      if (r != Py_None && !PyObject_TypeCheck(r, reader_type)) {
        return PyErr_Format(PyExc_TypeError, "readers must be readers or None, not '%.200s'", Py_TYPE(r)->tp_name);
      }
    }
    const size_t n = keys.views.size();
    // The probe order: for one reader the keys as asked (unusable ones
    // probed too, and taken as absent); for shards the usable keys grouped
    // by shard in the order asked, count[i]..count[i+1] being shard i's
    // places and slot[j] key j's.
    std::vector<size_t> count(num_shards + 1, 0);
    std::vector<size_t> slot;
    std::vector<std::string_view> grouped;
    std::span<const std::string_view> batch;
    if (num_shards == 1) {
      count[1] = n;
      batch = keys.views;
    } else {
      std::vector<uint32_t> shard(n, 0);
      for (size_t j = 0; j < n; ++j) {
        if (!keys.usable[j]) continue;
        shard[j] = static_cast<uint32_t>(ShardOf(keys.views[j], seed, num_shards));
        ++count[shard[j] + 1];
      }
      for (size_t i = 0; i < num_shards; ++i) count[i + 1] += count[i];
      slot.assign(n, kNoSlot);
      grouped.resize(count[num_shards]);
      std::vector<size_t> next(count.begin(), count.end() - 1);
      for (size_t j = 0; j < n; ++j) {
        if (!keys.usable[j]) continue;
        const size_t k = next[shard[j]]++;
        slot[j] = k;
        grouped[k] = keys.views[j];
      }
      batch = grouped;
    }
    const bool all_usable = std::find(keys.usable.begin(), keys.usable.end(), 0) == keys.usable.end();
    std::vector<std::shared_ptr<const StoreReader>> stores(num_shards);
    for (size_t i = 0; i < num_shards; ++i) {
      // A lone reader must be open even for no keys, as get_many() asks.
      if (count[i] == count[i + 1] && num_shards > 1) continue;
      PyObject* r = PyTuple_GET_ITEM(readers.get(), static_cast<Py_ssize_t>(i));
      if (r == Py_None && count[i] == count[i + 1]) continue;
      if (r == Py_None && num_shards == 1) {
        // A lone shard's batch holds the unusable keys too: the error names
        // a key that belongs to it, and with none there is nothing to look up.
        const auto first = std::find(keys.usable.begin(), keys.usable.end(), 1);
        if (first != keys.usable.end()) return RaiseNotOpen(keys.views[first - keys.usable.begin()], i);
        count[1] = 0;
        continue;
      }
      if (r == Py_None) return RaiseNotOpen(batch[count[i]], i);
      stores[i] = reinterpret_cast<ReaderObject*>(r)->store;
      if (stores[i] == nullptr) return RaiseClosed("reader");
    }
    std::vector<StoreReader::Found> found(batch.size(), StoreReader::Found::kAbsent);
    std::vector<Bytes> values(batch.size());
    std::vector<DecodeBuffer> arenas(num_shards);  // decompressed values
    std::optional<StoreError> fault;
    size_t fault_shard = 0;
    arrow::BinaryOut out;
    auto work = [&] {
      for (size_t i = 0; i < num_shards && !fault; ++i) {
        const size_t b = count[i], e = count[i + 1];
        if (b == e) continue;
        // A lone shard's batch holds the unusable keys too, taken as absent.
        const uint8_t* usable = num_shards == 1 && !all_usable ? keys.usable.data() : nullptr;
        LookupPart(*stores[i], batch.subspan(b, e - b), usable, found.data() + b, values.data() + b, &arenas[i],
                   &fault);
        fault_shard = i;
        if (usable != nullptr) {
          for (size_t k = 0; k < n; ++k) {
            if (!usable[k]) found[k] = StoreReader::Found::kAbsent;
          }
        }
      }
      if (!fault) out = BuildResult(n, slot, found, values);
      return true;
    };
    if (n >= kReleaseLockFrom) {
      WithoutLock(work);
    } else {
      work();
    }
    if (fault) {
      PyObject* path = reinterpret_cast<ReaderObject*>(PyTuple_GET_ITEM(readers.get(), fault_shard))->path;
      return RaiseStoreError(*fault, path);
    }
    return arrow::ExportBinary(std::move(out));
  });
}

}  // namespace

PyObject* ArrowGetMany(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return GetManyArrow(module, args, nargs);
}

}  // namespace velk::native
