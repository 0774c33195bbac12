// Conversions, argument parsing and error mapping shared by the classes.
#include <cstring>
#include <string>
#include <string_view>

#include "package/api.h"

#include "bind/error_table.h"

namespace velk::native {

Imports imports;

PyObject* RaiseClosed(const char* what) {
  PyErr_Format(imports.closed_error, "%s is closed", what);
  return nullptr;
}

namespace {

PyObject* RaiseWithFilename(PyObject* type, const std::string& msg, PyObject* filename) {
  Ref text(filename == nullptr
               ? PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size()))
               : PyUnicode_FromFormat("%s: %R", msg.c_str(), filename));
  if (!text) return nullptr;
  Ref exc(PyObject_CallOneArg(type, text.get()));
  if (!exc) return nullptr;
  if (filename != nullptr && PyObject_SetAttrString(exc.get(), "filename", filename) < 0) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

}  // namespace

PyObject* RaiseStoreError(const StoreError& err, PyObject* filename) {
  const bind::ErrorRow& row = bind::RowFor(err.reason());
  switch (row.package) {
    case bind::PackageClass::kOs: {
      const int code = err.os_errno() != 0 ? err.os_errno() : row.package_errno;
      const std::string text =
          bind::Compose(row.package_head, err, err.os_errno() != 0 ? std::strerror(code) : "");
      Ref strerror(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (!strerror) return nullptr;
      Ref code_obj(PyLong_FromLong(code));
      if (!code_obj) return nullptr;
      Ref path;
      // The error's own path where the caller's is not what failed: a
      // directory that could not be synced is named, not the file in it.
      if ((filename == nullptr || err.reason() == Reason::kSyncDir) && !err.path().empty()) {
        path = Ref(PyUnicode_DecodeFSDefaultAndSize(err.path().data(), static_cast<Py_ssize_t>(err.path().size())));
        if (!path) return nullptr;
        filename = path.get();
      }
      PyObject* args[] = {code_obj.get(), strerror.get(), filename != nullptr ? filename : Py_None};
      Ref exc(PyObject_Vectorcall(imports.os_error, args, 3, nullptr));
      if (!exc) return nullptr;
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
      return nullptr;
    }
    case bind::PackageClass::kNotAStore:
      // A file that fails the first checks is most likely no store at all.
      return RaiseWithFilename(imports.corrupt_error, "not a velkstore file", filename);
    case bind::PackageClass::kCorrupt:
      return RaiseWithFilename(imports.corrupt_error, err.detail(), filename);
    case bind::PackageClass::kVersion:
      return RaiseWithFilename(imports.version_error, "unsupported version " + std::to_string(err.version()),
                               filename);
    case bind::PackageClass::kLimit:
      return RaiseWithFilename(imports.limit_error, err.detail(), nullptr);
  }
  return RaiseWithFilename(imports.velk_error, err.detail(), filename);
}

PyObject* PackageFace::Fault(std::string_view text, const char*, int) {
  if (text.empty()) text = "unknown exception";
  // A terminated copy: "%.*s" is formatted only from CPython 3.12 on.
  PyErr_Format(PyExc_SystemError, "internal error: %s", std::string(text).c_str());
  return nullptr;
}

KeyConv ToKey(PyObject* obj, KeyBuf* out) {
  switch (bind::BorrowKey(obj, out)) {
    case bind::KeyKind::kBytes: return KeyConv::kOk;
    case bind::KeyKind::kError: return KeyConv::kError;
    case bind::KeyKind::kUnencodable: {
      // Lone surrogates U+DC80..U+DCFF stand for the bytes they escape, as
      // the keys of files not in UTF-8 are listed.
      Ref escaped(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
      if (!escaped) {
        if (bind::MustPropagate()) return KeyConv::kError;
        PyErr_Clear();
        return KeyConv::kNoBytes;
      }
      out->owned.assign(PyBytes_AS_STRING(escaped.get()), static_cast<size_t>(PyBytes_GET_SIZE(escaped.get())));
      out->UseOwned();
      return KeyConv::kOk;
    }
    case bind::KeyKind::kOther: break;
  }
  if (PyMemoryView_Check(obj)) {
    // Copied: the buffer may change while Python code runs.
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS) < 0) {
      // A strided view has no run of bytes to be a key: the key's type is
      // what is wrong, as for any other unusable key.
      if (!PyErr_ExceptionMatches(PyExc_BufferError)) return KeyConv::kError;
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "key must be str or bytes, not a non-contiguous '%.200s'",
                   Py_TYPE(obj)->tp_name);
      return KeyConv::kError;
    }
    out->owned.assign(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    out->view = out->owned;
    return KeyConv::kOk;
  }
  PyErr_Format(PyExc_TypeError, "key must be str or bytes, not '%.200s'", Py_TYPE(obj)->tp_name);
  return KeyConv::kError;
}

bool BatchKeys::Convert(PyObject* const* items, size_t n) {
  views.assign(n, {});
  usable.assign(n, 1);
  owned.clear();
  std::vector<size_t> owned_at;
  constexpr size_t kAhead = 16;  // key objects lie anywhere: load them early
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      __builtin_prefetch(items[i + kAhead]);
      __builtin_prefetch(reinterpret_cast<const char*>(items[i + kAhead]) + 64);
    }
    KeyBuf buf;
    switch (ToKey(items[i], &buf)) {
      case KeyConv::kOk: break;
      case KeyConv::kNoBytes: usable[i] = 0; continue;
      case KeyConv::kError: return false;
    }
    if (!buf.owned.empty() || buf.view.data() == buf.owned.data()) {
      owned.push_back(std::move(buf.owned));
      owned_at.push_back(i);
    } else {
      views[i] = buf.view;
    }
  }
  // The copies stay put from here: views may point into them.
  for (size_t j = 0; j < owned_at.size(); ++j) views[owned_at[j]] = owned[j];
  return true;
}

PyObject* KeyTuple(PyObject* keys) {
  if (PyUnicode_Check(keys) || PyBytes_Check(keys)) {
    PyErr_SetString(PyExc_TypeError, "get_many() takes an iterable of keys, not a single key");
    return nullptr;
  }
  return PySequence_Tuple(keys);  // a tuple passed in is used as it is
}

void LookupPart(const StoreReader& store, std::span<const std::string_view> keys, const uint8_t* usable,
                StoreReader::Found* found, Bytes* payloads, DecodeBuffer* arena,
                std::optional<StoreError>* fault, const uint64_t* hashes) {
  std::vector<StoreReader::KeyFault> faults;
  store.ProbeMany(keys, found, payloads, &faults, hashes);
  for (StoreReader::KeyFault& f : faults) {
    if (usable != nullptr && !usable[f.key]) continue;
    if (!*fault) fault->emplace(std::move(f.error));
    return;
  }
  if (!store.values().compressed()) return;
  const size_t n = keys.size();
  std::vector<uint8_t> present(n);
  for (size_t k = 0; k < n; ++k) {
    present[k] = (usable == nullptr || usable[k]) && found[k] == StoreReader::Found::kFound;
  }
  size_t bad = 0;
  auto decoded = store.values().DecodeMany({payloads, n}, present, arena, &bad);
  if (!decoded.ok() && !*fault) fault->emplace(std::move(decoded).error());
}

bool DecompressedValueOf(const StoreReader& r, Bytes stored, PyObject* path, Bytes* value) {
  thread_local DecodeBuffer scratch;
  auto decoded = r.values().Decode(stored, &scratch);
  if (!decoded.ok()) return RaiseStoreError(decoded.error(), path), false;
  *value = decoded.value();
  return true;
}

namespace {

// Whether payload may hold a timestamp (extension type -1, in any of the
// extension headers: a writer uses the 4-, 8- and 12-byte forms, but any
// length reads the same way), which only the full decoder turns into a
// datetime.  A false alarm only costs the slower call.
// One pass for the type byte 0xff, which few values hold at all, then a
// look at what precedes it: 0xd4 to 0xd8 (fixext 1 to 16), or 0xc7, 0xc8,
// 0xc9 (ext 8, 16, 32) and their length.
bool MayHoldTimestamp(Bytes payload) {
  const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
  const size_t n = payload.size();
  for (size_t i = 0; i < n; ++i) {
    const void* hit = std::memchr(p + i, 0xff, n - i);
    if (hit == nullptr) return false;
    i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - p);
    if (i >= 1 && p[i - 1] >= 0xd4 && p[i - 1] <= 0xd8) return true;
    if ((i >= 2 && p[i - 2] == 0xc7) || (i >= 3 && p[i - 3] == 0xc8) || (i >= 5 && p[i - 5] == 0xc9)) return true;
  }
  return false;
}

}  // namespace

PyObject* Decode(Bytes payload, PyObject* key) {
  Ref raw(NewBytes(payload));
  if (!raw) return nullptr;
  if (MayHoldTimestamp(payload)) {
    PyObject* dargs[] = {raw.get(), key != nullptr ? key : Py_None};
    return PyObject_Vectorcall(imports.decode, dargs, 2, nullptr);
  }
  // The plain call, without keywords (which cost the decoder more to parse
  // than a small value costs to decode): it takes every value whose maps
  // have str or bytes keys, nearly all of them.
  PyObject* args[] = {raw.get()};
  PyObject* value = PyObject_Vectorcall(imports.unpackb, args, 1, nullptr);
  if (value != nullptr) return value;
  // The full decoder retries what the plain call refuses (maps with other
  // keys) and turns real failures into VelkDecodeError.  Interrupts and
  // exhausted memory are not the value's fault and go on as they are.
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  if (imports.decode == nullptr) return nullptr;
  PyErr_Clear();
  PyObject* dargs[] = {raw.get(), key != nullptr ? key : Py_None};
  return PyObject_Vectorcall(imports.decode, dargs, 2, nullptr);
}

bool ToPath(PyObject* obj, Ref* given, std::string* bytes) {
  Ref fs(PyOS_FSPath(obj));
  if (!fs) return false;
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(fs.get(), &converted) == 0) return false;
  Ref b(converted);
  bytes->assign(PyBytes_AS_STRING(converted), static_cast<size_t>(PyBytes_GET_SIZE(converted)));
  // Kept as an exact str or bytes: a subclass's instance may refer to
  // anything, the object holding the path among it.
  if (!PyUnicode_CheckExact(fs.get()) && !PyBytes_CheckExact(fs.get())) {
    fs = Ref(PyUnicode_Check(fs.get()) ? PyUnicode_FromObject(fs.get())
                                       : PyBytes_FromStringAndSize(PyBytes_AS_STRING(fs.get()), PyBytes_GET_SIZE(fs.get())));
    if (!fs) return false;
  }
  *given = std::move(fs);
  return true;
}

}  // namespace velk::native
