#include "package/pack.h"

#include "package/api.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace velk::native {
namespace {

void PutBigEndian(std::string* out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void Put(std::string* out, uint8_t tag, uint64_t v, int bytes) {
  out->push_back(static_cast<char>(tag));
  PutBigEndian(out, v, bytes);
}

// A length-prefixed run: the smallest of the three (or four) forms that
// holds n.  fix_tag is 0 when the family has no fix form.
bool PutSized(std::string* out, const char* data, size_t n, uint8_t fix_tag, uint8_t tag8) {
  if (fix_tag != 0 && n < 32) {
    out->push_back(static_cast<char>(fix_tag | n));
  } else if (n <= 0xFF) {
    Put(out, tag8, n, 1);
  } else if (n <= 0xFFFF) {
    Put(out, tag8 + 1, n, 2);
  } else if (n <= 0xFFFFFFFF) {
    Put(out, tag8 + 2, n, 4);
  } else {
    return false;
  }
  out->append(data, n);
  return true;
}

bool PackInt(PyObject* obj, std::string* out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) {
    if (overflow < 0) return false;
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    Put(out, 0xcf, u, 8);
    return true;
  }
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  PackSigned(v, out);
  return true;
}

// A container header: fix form below 16 items, else the 16- or 32-bit one.
bool PutCount(std::string* out, size_t n, uint8_t fix_tag, uint8_t tag16) {
  if (n < 16) {
    out->push_back(static_cast<char>(fix_tag | n));
  } else if (n <= 0xFFFF) {
    Put(out, tag16, n, 2);
  } else if (n <= 0xFFFFFFFF) {
    Put(out, tag16 + 1, n, 4);
  } else {
    return false;
  }
  return true;
}

// Deeper values go to the full encoder, which applies its own limit.
constexpr int kMaxDepth = 32;

bool Pack(PyObject* obj, std::string* out, int depth);

bool PackItems(PyObject* const* items, Py_ssize_t n, std::string* out, int depth) {
  if (!PutCount(out, static_cast<size_t>(n), 0x90, 0xdc)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!Pack(items[i], out, depth + 1)) return false;
  }
  return true;
}

bool Pack(PyObject* obj, std::string* out, int depth) {
  if (PyBytes_CheckExact(obj)) {
    return PutSized(out, PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)), 0, 0xc4);
  }
  if (PyUnicode_CheckExact(obj)) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
    if (utf8 == nullptr) {
      PyErr_Clear();  // lone surrogates: the full encoder reports them
      return false;
    }
    return PutSized(out, utf8, static_cast<size_t>(n), 0xa0, 0xd9);
  }
  if (obj == Py_None) {
    out->push_back(static_cast<char>(0xc0));
    return true;
  }
  if (obj == Py_False || obj == Py_True) {
    out->push_back(static_cast<char>(obj == Py_True ? 0xc3 : 0xc2));
    return true;
  }
  if (PyLong_CheckExact(obj)) return PackInt(obj, out);
  if (PyFloat_CheckExact(obj)) {
    PackDouble(PyFloat_AS_DOUBLE(obj), out);
    return true;
  }
  if (depth >= kMaxDepth) return false;
  if (PyDict_CheckExact(obj)) {
    // In the dict's order, as the full encoder writes it.  Nothing here
    // runs Python code, so the dict cannot change meanwhile.
    if (!PutCount(out, static_cast<size_t>(PyDict_GET_SIZE(obj)), 0x80, 0xde)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(obj, &pos, &k, &v)) {
      if (!Pack(k, out, depth + 1) || !Pack(v, out, depth + 1)) return false;
    }
    return true;
  }
  if (PyList_CheckExact(obj)) return PackItems(PySequence_Fast_ITEMS(obj), PyList_GET_SIZE(obj), out, depth);
  if (PyTuple_CheckExact(obj)) return PackItems(PySequence_Fast_ITEMS(obj), PyTuple_GET_SIZE(obj), out, depth);
  return false;
}

}  // namespace

void PackUnsigned(uint64_t v, std::string* out) {
  if (v < 0x80) {
    out->push_back(static_cast<char>(v));
  } else if (v <= 0xFF) {
    Put(out, 0xcc, v, 1);
  } else if (v <= 0xFFFF) {
    Put(out, 0xcd, v, 2);
  } else if (v <= 0xFFFFFFFF) {
    Put(out, 0xce, v, 4);
  } else {
    Put(out, 0xcf, v, 8);
  }
}

void PackSigned(int64_t v, std::string* out) {
  if (v >= 0) {
    PackUnsigned(static_cast<uint64_t>(v), out);
  } else if (v >= -32) {
    out->push_back(static_cast<char>(static_cast<uint8_t>(0xe0 | (v & 0x1f))));
  } else if (v >= -128) {
    Put(out, 0xd0, static_cast<uint64_t>(v), 1);
  } else if (v >= -32768) {
    Put(out, 0xd1, static_cast<uint64_t>(v), 2);
  } else if (v >= -2147483648LL) {
    Put(out, 0xd2, static_cast<uint64_t>(v), 4);
  } else {
    Put(out, 0xd3, static_cast<uint64_t>(v), 8);
  }
}

void PackDouble(double v, std::string* out) { Put(out, 0xcb, std::bit_cast<uint64_t>(v), 8); }

bool PackStr(std::string_view utf8, std::string* out) { return PutSized(out, utf8.data(), utf8.size(), 0xa0, 0xd9); }

bool PackBin(std::string_view data, std::string* out) { return PutSized(out, data.data(), data.size(), 0, 0xc4); }

bool PackMapHeader(size_t n, std::string* out) { return PutCount(out, n, 0x80, 0xde); }

void PackTimestamp(int64_t seconds, uint32_t nanoseconds, std::string* out) {
  constexpr char kType = -1;  // the timestamp extension
  if ((static_cast<uint64_t>(seconds) >> 34) == 0) {
    // Seconds fit 34 unsigned bits: 4 bytes of seconds when there are no
    // nanoseconds and they fit 32 bits, else 30 bits of nanoseconds above
    // them in 8 bytes.
    const uint64_t packed = (static_cast<uint64_t>(nanoseconds) << 34) | static_cast<uint64_t>(seconds);
    const int width = (packed >> 32) == 0 ? 4 : 8;
    out->push_back(static_cast<char>(width == 4 ? 0xd6 : 0xd7));  // fixext 4 / fixext 8
    out->push_back(kType);
    PutBigEndian(out, packed, width);
  } else {
    out->push_back(static_cast<char>(0xc7));  // ext 8 of 12 bytes
    out->push_back(12);
    out->push_back(kType);
    PutBigEndian(out, nanoseconds, 4);
    PutBigEndian(out, static_cast<uint64_t>(seconds), 8);
  }
}

bool PackPlain(PyObject* obj, std::string* out) {
  const size_t start = out->size();
  if (Pack(obj, out, 0)) return true;
  out->resize(start);  // part of a container may have been written
  return false;
}

PyObject* NewPack() {
  if (imports.new_packer != nullptr) return PyObject_CallNoArgs(imports.new_packer);
  Ref packer(PyObject_CallNoArgs(imports.packer_type));
  return packer ? PyObject_GetAttrString(packer.get(), "pack") : nullptr;
}

bool EncodeValue(PyObject* obj, std::string* out, PyObject* pack) {
  if (PackPlain(obj, out)) return true;
  Ref own;
  if (pack == nullptr) {
    own = Ref(NewPack());
    if (!own) return false;
    pack = own.get();
  }
  Ref packed(PyObject_CallOneArg(pack, obj));
  if (!packed) return false;
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(packed.get(), &data, &n) < 0) return false;
  out->append(data, static_cast<size_t>(n));
  return true;
}

PyObject* EncodeFn(PyObject*, PyObject* obj) {
  return Guard([&]() -> PyObject* {
    std::string out;
    if (!EncodeValue(obj, &out, nullptr)) return nullptr;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

}  // namespace velk::native
