// Rows of an Arrow record batch as stored values, without a Python object
// per row: each row's key is the key column's bytes, its value the
// MessagePack map {column name: scalar} of the value columns, one column's
// scalar, or one binary column's bytes as they are.  The encoding is byte
// for byte what update() stores for the equal Python objects.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/base/utf8.h"
#include "core/writer/staged_store.h"
#include "package/api.h"
#include "package/arrow_abi.h"
#include "package/arrow_functions.h"
#include "package/pack.h"

namespace velk::native {
namespace {

enum class Mode : long { kMap = 0, kValue = 1, kRaw = 2 };

class RowPacker {
 public:
  // Views the batch's key column and value columns (indices into its
  // fields); false with the error set.
  bool Init(const arrow::CapsulePair& batch, Py_ssize_t key_index, PyObject* value_indices, Mode mode,
            long long row_base);
  int64_t rows() const { return rows_; }
  // Row i's key; false with the error set when it is null.
  bool Key(int64_t i, std::string_view* key) const;
  // Row i's stored value in *out (cleared first); false with the error set.
  bool Value(int64_t i, std::string* out) const;

 private:
  bool Field(const arrow::CapsulePair& batch, Py_ssize_t index, arrow::Column* col, std::string* name) const;
  bool Scalar(size_t c, int64_t i, std::string* out) const;

  Mode mode_ = Mode::kMap;
  int64_t rows_ = 0;
  long long row_base_ = 0;  // the batch's first row in the input, for errors
  arrow::Column key_;
  std::string key_name_;
  std::vector<arrow::Column> values_;
  std::vector<std::string> names_;     // the value columns' names
  std::vector<std::string> encoded_;   // ... as MessagePack str
  std::string header_;                 // the map header
};

bool RowPacker::Field(const arrow::CapsulePair& batch, Py_ssize_t index, arrow::Column* col,
                      std::string* name) const {
  const ArrowSchema& s = *batch.schema;
  const ArrowArray& a = *batch.array;
  if (index < 0 || index >= s.n_children || index >= a.n_children) {
    PyErr_Format(PyExc_IndexError, "column index %zd out of range", index);
    return false;
  }
  const ArrowSchema* cs = s.children[index];
  const ArrowArray* ca = a.children[index];
  if (cs == nullptr || ca == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow batch has a missing column");
    return false;
  }
  *name = cs->name == nullptr ? std::string() : std::string(cs->name);
  arrow::Type type;
  std::string type_name;
  if (cs->dictionary != nullptr) type_name = "dictionary";
  if (cs->dictionary != nullptr || !arrow::ParseFormat(cs->format, &type, &type_name)) {
    PyErr_Format(PyExc_TypeError, "column '%s' has Arrow type %s, which cannot be stored", name->c_str(),
                 type_name.c_str());
    return false;
  }
  std::string err;
  if (!col->InitSlice(*cs, *ca, a.offset, a.length, &err)) {
    PyErr_Format(PyExc_ValueError, "column '%s': %s", name->c_str(), err.c_str());
    return false;
  }
  return true;
}

bool RowPacker::Init(const arrow::CapsulePair& batch, Py_ssize_t key_index, PyObject* value_indices, Mode mode,
                     long long row_base) {
  const ArrowSchema& s = *batch.schema;
  const ArrowArray& a = *batch.array;
  if (s.format == nullptr || std::strcmp(s.format, "+s") != 0 || s.n_children != a.n_children || a.length < 0 ||
      a.offset < 0 || (s.n_children > 0 && (s.children == nullptr || a.children == nullptr))) {
    PyErr_SetString(PyExc_TypeError, "expected an Arrow record batch (a struct array)");
    return false;
  }
  if (a.null_count != 0 && a.n_buffers > 0 && a.buffers != nullptr && a.buffers[0] != nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow batch has null rows");
    return false;
  }
  mode_ = mode;
  rows_ = a.length;
  row_base_ = row_base;
  if (!Field(batch, key_index, &key_, &key_name_)) return false;
  if (!key_.type().bytes_like()) {
    PyErr_Format(PyExc_TypeError, "key column '%s' must hold strings or binary, not Arrow format '%s'",
                 key_name_.c_str(), s.children[key_index]->format);
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(value_indices);
  values_.resize(static_cast<size_t>(n));
  names_.resize(static_cast<size_t>(n));
  encoded_.resize(static_cast<size_t>(n));
  for (Py_ssize_t c = 0; c < n; ++c) {
    const Py_ssize_t index = PyLong_AsSsize_t(PyTuple_GET_ITEM(value_indices, c));
    if (index == -1 && PyErr_Occurred()) return false;
    const auto at = static_cast<size_t>(c);
    if (!Field(batch, index, &values_[at], &names_[at])) return false;
    const arrow::Type& t = values_[at].type();
    if (mode == Mode::kRaw) {
      if (t.kind != arrow::Kind::kBinary && t.kind != arrow::Kind::kLargeBinary && t.kind != arrow::Kind::kBinaryView) {
        PyErr_Format(PyExc_TypeError, "raw column '%s' must hold binary values, not Arrow format '%s'",
                     names_[at].c_str(), s.children[index]->format);
        return false;
      }
    } else if (t.kind == arrow::Kind::kTimestamp && !t.zoned) {
      PyErr_Format(PyExc_TypeError,
                   "column '%s' holds timestamps without a time zone, which are ambiguous; give the column "
                   "one, e.g. pyarrow.timestamp('us', tz='UTC')",
                   names_[at].c_str());
      return false;
    }
    if (!ValidUtf8(names_[at]) || !PackStr(names_[at], &encoded_[at])) {
      PyErr_SetString(PyExc_ValueError, "a column name is not valid UTF-8");
      return false;
    }
  }
  if (mode != Mode::kMap && n != 1) {
    PyErr_SetString(PyExc_ValueError, "a single value column is needed");
    return false;
  }
  if (mode == Mode::kMap && !PackMapHeader(static_cast<size_t>(n), &header_)) {
    PyErr_SetString(PyExc_ValueError, "too many value columns");
    return false;
  }
  return true;
}

bool RowPacker::Key(int64_t i, std::string_view* key) const {
  if (key_.IsNull(i)) {
    PyErr_Format(PyExc_ValueError, "key column '%s' is null in row %lld; every row needs a key", key_name_.c_str(),
                 row_base_ + i);
    return false;
  }
  *key = key_.Bytes(i);
  return true;
}

bool RowPacker::Scalar(size_t c, int64_t i, std::string* out) const {
  const arrow::Column& col = values_[c];
  if (col.IsNull(i)) {
    out->push_back(static_cast<char>(0xc0));
    return true;
  }
  using arrow::Kind;
  switch (col.type().kind) {
    case Kind::kNull: out->push_back(static_cast<char>(0xc0)); return true;
    case Kind::kBool: out->push_back(static_cast<char>(col.Bool(i) ? 0xc3 : 0xc2)); return true;
    case Kind::kInt8: case Kind::kInt16: case Kind::kInt32: case Kind::kInt64:
      PackSigned(col.Signed(i), out);
      return true;
    case Kind::kUInt8: case Kind::kUInt16: case Kind::kUInt32: case Kind::kUInt64:
      PackUnsigned(col.Unsigned(i), out);
      return true;
    case Kind::kFloat32: case Kind::kFloat64: PackDouble(col.Float(i), out); return true;
    case Kind::kString: case Kind::kLargeString: case Kind::kStringView: {
      const std::string_view s = col.Bytes(i);
      if (!ValidUtf8(s)) {
        PyErr_Format(PyExc_ValueError, "column '%s' holds text that is not valid UTF-8 in row %lld",
                     names_[c].c_str(), row_base_ + i);
        return false;
      }
      if (PackStr(s, out)) return true;
      break;
    }
    case Kind::kBinary: case Kind::kLargeBinary: case Kind::kBinaryView:
      if (PackBin(col.Bytes(i), out)) return true;
      break;
    case Kind::kTimestamp: {
      // Whole seconds (rounded down) and the nanoseconds past them.
      const int64_t per = col.type().per_second;
      const int64_t v = col.Signed(i);
      int64_t seconds = v / per, part = v % per;
      if (part < 0) {
        part += per;
        --seconds;
      }
      PackTimestamp(seconds, static_cast<uint32_t>(part * (1000000000 / per)), out);
      return true;
    }
  }
  PyErr_Format(imports.limit_error, "column '%s' holds a value of more than 4 GiB in row %lld", names_[c].c_str(),
               row_base_ + i);
  return false;
}

bool RowPacker::Value(int64_t i, std::string* out) const {
  out->clear();
  switch (mode_) {
    case Mode::kRaw: {
      if (values_[0].IsNull(i)) {
        PyErr_Format(PyExc_ValueError, "raw column '%s' is null in row %lld; a raw value must be bytes",
                     names_[0].c_str(), row_base_ + i);
        return false;
      }
      const std::string_view v = values_[0].Bytes(i);
      out->assign(v.data(), v.size());
      return true;
    }
    case Mode::kValue: return Scalar(0, i, out);
    case Mode::kMap: break;
  }
  out->append(header_);
  for (size_t c = 0; c < values_.size(); ++c) {
    out->append(encoded_[c]);
    if (!Scalar(c, i, out)) return false;
  }
  return true;
}

// The arguments both entry points share: (batch, key_index, value_indices,
// mode, row_base) from args[first...].
bool ParseBatch(PyObject* const* args, arrow::CapsulePair* batch, RowPacker* packer, Ref* indices) {
  if (!arrow::FromCapsules(args[0], batch)) return false;
  const Py_ssize_t key_index = PyLong_AsSsize_t(args[1]);
  if (key_index == -1 && PyErr_Occurred()) return false;
  *indices = Ref(PySequence_Tuple(args[2]));
  if (!*indices) return false;
  const long mode = PyLong_AsLong(args[3]);
  if (mode == -1 && PyErr_Occurred()) return false;
  if (mode < 0 || mode > 2) {
    PyErr_SetString(PyExc_ValueError, "mode must be 0, 1 or 2");
    return false;
  }
  const long long row_base = PyLong_AsLongLong(args[4]);
  if (row_base == -1 && PyErr_Occurred()) return false;
  return packer->Init(*batch, key_index, indices->get(), static_cast<Mode>(mode), row_base);
}

Bytes AsPayload(const std::string& s) { return {reinterpret_cast<const std::byte*>(s.data()), s.size()}; }

// Stages one packed row, with the hashes its prefetch returned; false with
// the error set.
bool StageRow(StagedStore* store, uint64_t* changes, std::string_view key, const std::string& payload,
              const StagedStore::PairHashes& hashes) {
  auto checked = StagedStore::CheckKey(key);
  if (!checked.ok()) return RaiseStoreError(checked.error(), nullptr), false;
  auto added = store->AddPair(checked.value(), AsPayload(payload), hashes);
  if (!added.ok()) return RaiseStoreError(added.error(), nullptr), false;
  ++*changes;
  return true;
}

PyObject* Stage(PyObject* writer, PyObject* const* args, PyObject* rows_ahead) {
  arrow::CapsulePair batch;
  RowPacker packer;
  Ref indices;
  if (!ParseBatch(args, &batch, &packer, &indices)) return nullptr;
  const long long ahead = PyLong_AsLongLong(rows_ahead);
  if (ahead == -1 && PyErr_Occurred()) return nullptr;
  uint64_t* changes = nullptr;
  StagedStore* store = WriterStore(writer, &changes);
  if (store == nullptr) return nullptr;
  store->ExpectMore(static_cast<uint64_t>(std::max<long long>({ahead, static_cast<long long>(packer.rows()), 0})));
  // Rows are packed a block at a time, and the hash table slots each will
  // probe are loaded while the next are packed: the cache misses of a
  // block overlap instead of coming one after another.
  constexpr int64_t kBlock = 16;
  std::string payloads[kBlock];
  std::string_view keys[kBlock];
  StagedStore::PairHashes hashes[kBlock];
  for (int64_t base = 0; base < packer.rows(); base += kBlock) {
    const int64_t m = std::min(kBlock, packer.rows() - base);
    int64_t packed = 0;
    while (packed < m && packer.Key(base + packed, &keys[packed]) && packer.Value(base + packed, &payloads[packed])) {
      hashes[packed] = store->Prefetch(keys[packed], AsPayload(payloads[packed]));
      ++packed;
    }
    // A row that fails leaves the rows before it staged, as update() does.
    Ref failed(packed < m ? PyErr_GetRaisedException() : nullptr);
    for (int64_t j = 0; j < packed; ++j) {
      if (!StageRow(store, changes, keys[j], payloads[j], hashes[j])) return nullptr;
    }
    if (failed) {
      PyErr_SetRaisedException(failed.release());
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyObject* Pack(PyObject* const* args) {
  arrow::CapsulePair batch;
  RowPacker packer;
  Ref indices;
  if (!ParseBatch(args, &batch, &packer, &indices)) return nullptr;
  const auto n = static_cast<Py_ssize_t>(packer.rows());
  Ref keys(PyList_New(n)), values(PyList_New(n));
  if (!keys || !values) return nullptr;
  std::string payload;
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view key;
    if (!packer.Key(i, &key) || !packer.Value(i, &payload)) return nullptr;
    PyObject* k = KeyBytes(key);
    if (k == nullptr) return nullptr;
    PyList_SET_ITEM(keys.get(), i, k);
    PyObject* v = PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size()));
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(values.get(), i, v);
  }
  return PyTuple_Pack(2, keys.get(), values.get());
}

}  // namespace

PyObject* ArrowStage(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return Guard([&]() -> PyObject* {
    if (nargs != 7) {
      PyErr_SetString(PyExc_TypeError,
                      "_arrow_stage(writer, batch, key_index, value_indices, mode, row_base, rows_ahead)");
      return nullptr;
    }
    return Stage(args[0], args + 1, args[6]);
  });
}

PyObject* ArrowPack(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return Guard([&]() -> PyObject* {
    if (nargs != 5) {
      PyErr_SetString(PyExc_TypeError, "_arrow_pack(batch, key_index, value_indices, mode, row_base)");
      return nullptr;
    }
    return Pack(args);
  });
}

}  // namespace velk::native
