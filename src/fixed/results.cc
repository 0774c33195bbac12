#include "fixed/results.h"

#include "fixed/convert.h"

namespace velk::py {
namespace {

// Builds a list of n items from make(i); nullptr if any item fails.
template <typename Make>
PyObject* BuildList(size_t n, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* KeyPayloadPair(std::string_view key, Bytes payload) {
  PyObject* k = DecodeKey(key);
  if (k == nullptr) return nullptr;
  PyObject* v = NewBytes(payload);
  if (v == nullptr) {
    Py_DECREF(k);
    return nullptr;
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(k);
    Py_DECREF(v);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, k);
  PyTuple_SET_ITEM(pair, 1, v);
  return pair;
}

// Payloads are copied in key order, which need not be file order: each
// list starts loading the payload kCopyLookahead items ahead, so the copies
// do not wait on one cache miss after another.
constexpr size_t kCopyLookahead = 8;

void PrefetchPayload(Bytes payload) {
  if (payload.empty()) return;
  __builtin_prefetch(payload.data());
  __builtin_prefetch(payload.data() + payload.size() - 1);
}

bool SetItem(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

}  // namespace

PyObject* ToPython(NoneResult) { Py_RETURN_NONE; }

PyObject* ToPython(NewRef r) { return r.obj; }

PyObject* ToPython(bool b) { return PyBool_FromLong(b); }

PyObject* ToPython(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* ToPython(std::string&& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* ToPython(EntryList&& list) {
  return BuildList(list.entries.size(), [&](size_t i) {
    if (i + kCopyLookahead < list.entries.size()) PrefetchPayload(list.entries[i + kCopyLookahead].payload);
    const EntryList::Entry& e = list.entries[i];
    return KeyPayloadPair(e.key, e.payload);
  });
}

PyObject* ToPython(KeyList&& list) {
  return BuildList(list.keys.size(), [&](size_t i) { return DecodeKey(list.keys[i]); });
}

PyObject* ToPython(ObjectList&& list) {
  return BuildList(list.objects.size(), [&](size_t i) {
    if (i + kCopyLookahead < list.objects.size()) PrefetchPayload(list.objects[i + kCopyLookahead]);
    return NewBytes(list.objects[i]);
  });
}

PyObject* ToPython(StatsResult&& stats) {
  const StoreReader& r = *stats.reader;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const std::string crc = FormatCrc(r.file_crc32());
  const bool ok =
      SetItem(dict, "path", PyUnicode_FromStringAndSize(r.path().data(), static_cast<Py_ssize_t>(r.path().size()))) &&
      SetItem(dict, "version", PyLong_FromLong(kFormatVersion)) &&
      SetItem(dict, "num_keys", PyLong_FromUnsignedLongLong(r.num_keys())) &&
      SetItem(dict, "num_objects", PyLong_FromUnsignedLongLong(r.num_objects())) &&
      SetItem(dict, "index_offset", PyLong_FromUnsignedLongLong(r.index_offset())) &&
      SetItem(dict, "data_offset", PyLong_FromUnsignedLongLong(kHeaderSize)) &&
      SetItem(dict, "file_size_kb", PyFloat_FromDouble(static_cast<double>(r.file_size()) * (1.0 / 1024.0))) &&
      SetItem(dict, "file_crc32", PyUnicode_FromStringAndSize(crc.data(), static_cast<Py_ssize_t>(crc.size())));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace velk::py
