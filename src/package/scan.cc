// Lazy scans over a reader's key list: one entry per next(), read from the
// mapping on demand, so memory stays flat whatever the number of keys.
#include <memory>
#include <new>

#include "package/api.h"
#include "package/reader.h"

namespace velk::native {

PyTypeObject* scan_type = nullptr;

namespace {

struct ScanObject {
  PyObject_HEAD
  // The reader's path (an exact str or bytes), which names the file in
  // errors.  Not the reader itself: a reader that keeps its own scan (as an
  // attribute of a subclass) would then make a cycle that the collector,
  // which does not see into scans, could never free.
  PyObject* path;
  std::shared_ptr<const StoreReader> store;
  StoreReader::Cursor cursor;
  size_t end;
  KeyForm key;
  ValueForm value;
  KeptPairs kept;
};

// Entry item's key and value as the scan's forms ask (each left empty when
// not asked); false with the error set.
bool ItemParts(const StoreReader& r, const StoreReader::ScanItem& item, size_t next, size_t end, KeyForm key_form,
               ValueForm value_form, PyObject* path, Ref* key, Ref* value) {
  if (key_form != KeyForm::kNone) {
    *key = Ref(key_form == KeyForm::kStr ? KeyStr(item.key) : KeyBytes(item.key));
    if (!*key) return false;
    if (value_form == ValueForm::kNone) return true;
  }
  r.PrefetchAhead(item, next, end);
  auto read = r.ReadChecked(item.record);
  if (!read.ok()) [[unlikely]] {
    RaiseStoreError(read.error(), path);
    return false;
  }
  Bytes payload;
  if (!ValueOf(r, read.value(), path, &payload)) return false;
  *value = Ref(value_form == ValueForm::kRaw ? NewBytes(payload) : Decode(payload, key->get()));
  return bool(*value);
}

// A new tuple (key, value), taking both references.
PyObject* NewPair(Ref key, Ref value) {
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SET_ITEM(pair, 0, key.release());
  PyTuple_SET_ITEM(pair, 1, value.release());
  return pair;
}

// The pair (key, value), in a kept pair when one can be reused.
PyObject* Pair(KeptPairs* kept, ValueForm form, Ref key, Ref value) {
  for (PyObject* pair : kept->pairs) {
    if (pair != nullptr && Py_REFCNT(pair) == 1) {
      Py_SETREF(PyTuple_GET_ITEM(pair, 0), key.release());
      Py_SETREF(PyTuple_GET_ITEM(pair, 1), value.release());
      return Py_NewRef(pair);
    }
  }
  PyObject* pair = NewPair(std::move(key), std::move(value));
  if (pair != nullptr && form == ValueForm::kRaw) {
    Py_XSETREF(kept->pairs[kept->oldest], Py_NewRef(pair));
    kept->oldest ^= 1;
  }
  return pair;
}

PyObject* Next(PyObject* obj) {
  auto* self = reinterpret_cast<ScanObject*>(obj);
  if (self->cursor.index >= self->end) return nullptr;
  const StoreReader& r = *self->store;
  PyObject* path = self->path;
  auto item = r.Next(&self->cursor);
  PyObject* out = item.ok() ? ScanItem(r, item.value(), self->cursor.index, self->end, self->key, self->value, path,
                                       &self->kept)
                            : RaiseStoreError(item.error(), path);
  if (out == nullptr) self->cursor.index = self->end;  // a failed scan ends with its error
  return out;
}

PyObject* Self(PyObject* obj) { return Py_NewRef(obj); }

PyObject* LengthHint(PyObject* obj, PyObject*) {
  auto* self = reinterpret_cast<ScanObject*>(obj);
  return PyLong_FromSize_t(self->end - self->cursor.index);
}

void Dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<ScanObject*>(obj);
  self->store.~shared_ptr();
  Py_XDECREF(self->path);
  self->kept.Clear();
  bind::FreeInstance(obj);
}

PyMethodDef kMethods[] = {
    {"__length_hint__", Fn(LengthHint), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A lazy scan over a store's keys, in key order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(Self)},
    {Py_tp_iternext, reinterpret_cast<void*>(Slot<Next>::Call)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "velkstore._native.Scan",
    .basicsize = static_cast<int>(sizeof(ScanObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kSlots,
};

}  // namespace

PyObject* ScanItem(const StoreReader& r, const StoreReader::ScanItem& item, size_t next, size_t end,
                   KeyForm key_form, ValueForm value_form, PyObject* path, KeptPairs* kept) {
  Ref key, value;
  if (!ItemParts(r, item, next, end, key_form, value_form, path, &key, &value)) return nullptr;
  if (key_form == KeyForm::kNone) return value.release();
  if (value_form == ValueForm::kNone) return key.release();
  return Pair(kept, value_form, std::move(key), std::move(value));
}

PyObject* CreateScanType(PyObject* module) {
  PyObject* t = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  scan_type = reinterpret_cast<PyTypeObject*>(t);
  return t;
}

PyObject* NewScan(PyObject* path, std::shared_ptr<const StoreReader> store, size_t begin, size_t end,
                  KeyForm key, ValueForm value) {
  auto cursor = store->CursorAt(begin);
  if (!cursor.ok()) return RaiseStoreError(cursor.error(), path);
  PyObject* obj = scan_type->tp_alloc(scan_type, 0);
  if (obj == nullptr) return nullptr;
  auto* self = reinterpret_cast<ScanObject*>(obj);
  new (&self->store) std::shared_ptr<const StoreReader>(std::move(store));
  self->path = Py_NewRef(path);
  self->cursor = cursor.value();
  self->end = end;
  self->key = key;
  self->value = value;
  new (&self->kept) KeptPairs();
  return obj;
}

}  // namespace velk::native
