#include "package/arrow_abi.h"

#include <cstring>
#include <new>

namespace velk::native::arrow {
namespace {

// Readable names of the types the package does not read, for errors.
struct Named {
  std::string_view prefix;
  const char* name;
};
constexpr Named kOtherTypes[] = {
    {"e", "float16"},        {"w:", "fixed_size_binary"}, {"d:", "decimal"},       {"tdD", "date32"},
    {"tdm", "date64"},       {"tt", "time"},              {"tD", "duration"},      {"ti", "interval"},
    {"+l", "list"},          {"+L", "large_list"},        {"+vl", "list_view"},    {"+vL", "large_list_view"},
    {"+w:", "fixed_size_list"}, {"+s", "struct"},         {"+m", "map"},           {"+u", "union"},
    {"+r", "run_end_encoded"},
};

struct Simple {
  std::string_view format;
  Kind kind;
};
constexpr Simple kSimpleTypes[] = {
    {"n", Kind::kNull},    {"b", Kind::kBool},       {"c", Kind::kInt8},         {"s", Kind::kInt16},
    {"i", Kind::kInt32},   {"l", Kind::kInt64},      {"C", Kind::kUInt8},        {"S", Kind::kUInt16},
    {"I", Kind::kUInt32},  {"L", Kind::kUInt64},     {"f", Kind::kFloat32},      {"g", Kind::kFloat64},
    {"u", Kind::kString},  {"U", Kind::kLargeString}, {"vu", Kind::kStringView}, {"z", Kind::kBinary},
    {"Z", Kind::kLargeBinary}, {"vz", Kind::kBinaryView},
};

// Buffers the array of a kind has; views have at least this many (their
// data buffers and the buffer of their sizes follow).
int64_t BufferCount(Kind k) {
  switch (k) {
    case Kind::kNull: return 0;
    case Kind::kString: case Kind::kLargeString: case Kind::kBinary: case Kind::kLargeBinary: return 3;
    case Kind::kStringView: case Kind::kBinaryView: return 3;
    default: return 2;
  }
}

// Item i of a buffer of T.  Buffers need not be aligned (those of an array
// read from a pickle or a message often are not), so items are copied out.
template <typename T>
T Load(const void* buffer, int64_t i) {
  T v;
  std::memcpy(&v, static_cast<const std::byte*>(buffer) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return v;
}

// Offsets of rows [begin, begin + n] in order and non-negative.
template <typename Offset>
bool OffsetsInOrder(const void* buffer, int64_t begin, int64_t n) {
  Offset prev = Load<Offset>(buffer, begin);
  if (prev < 0) return false;
  for (int64_t i = 1; i <= n; ++i) {
    const Offset next = Load<Offset>(buffer, begin + i);
    if (next < prev) return false;
    prev = next;
  }
  return true;
}

// A view of the binary-view layout: 16 bytes, the length first; up to 12
// bytes inline, else a prefix, the data buffer's index and the offset in it.
struct View {
  int32_t size;
  int32_t prefix_or_inline;
  int32_t buffer;
  int32_t offset;
};
constexpr int32_t kInlineMax = 12;

}  // namespace

bool ParseFormat(const char* format, Type* type, std::string* name) {
  const std::string_view f = format == nullptr ? std::string_view() : std::string_view(format);
  for (const Simple& s : kSimpleTypes) {
    if (f == s.format) {
      *type = Type{.kind = s.kind};
      return true;
    }
  }
  // Timestamps: "ts" + unit + ":" + time zone (empty for none).
  if (f.size() >= 4 && f.substr(0, 2) == "ts" && f[3] == ':') {
    int64_t per_second = 0;
    switch (f[2]) {
      case 's': per_second = 1; break;
      case 'm': per_second = 1000; break;
      case 'u': per_second = 1000000; break;
      case 'n': per_second = 1000000000; break;
      default: break;
    }
    if (per_second != 0) {
      *type = Type{.kind = Kind::kTimestamp, .per_second = per_second, .zoned = f.size() > 4};
      return true;
    }
  }
  *name = std::string(f);
  for (const Named& n : kOtherTypes) {
    if (f.substr(0, n.prefix.size()) == n.prefix) {
      *name = n.name;
      break;
    }
  }
  return false;
}

bool Column::Init(const ArrowSchema& schema, const ArrowArray& array, std::string* err) {
  return InitSlice(schema, array, 0, array.length, err);
}

bool Column::InitSlice(const ArrowSchema& schema, const ArrowArray& array, int64_t skip, int64_t length,
                       std::string* err) {
  std::string name;
  if (schema.dictionary != nullptr) {
    *err = "type dictionary is not supported";
    return false;
  }
  if (!ParseFormat(schema.format, &type_, &name)) {
    *err = "type " + name + " is not supported";
    return false;
  }
  // Positions are bit positions in the validity buffer: keep them far
  // from overflowing.
  constexpr int64_t kMaxPosition = INT64_MAX / 16;
  if (array.length < 0 || array.offset < 0 || array.offset > kMaxPosition || array.length > kMaxPosition ||
      skip < 0 || length < 0 || skip > array.length || length > array.length - skip) {
    *err = "the array's length or offset is out of range";
    return false;
  }
  const int64_t want = BufferCount(type_.kind);
  const bool views = type_.kind == Kind::kStringView || type_.kind == Kind::kBinaryView;
  if (views ? array.n_buffers < want : array.n_buffers != want) {
    *err = "the array has " + std::to_string(array.n_buffers) + " buffers, not " + std::to_string(want);
    return false;
  }
  if (want > 0 && array.buffers == nullptr) {
    *err = "the array has no buffer list";
    return false;
  }
  length_ = length;
  offset_ = array.offset + skip;
  validity_ = want > 0 && array.null_count != 0 ? static_cast<const uint8_t*>(array.buffers[0]) : nullptr;
  values_ = want > 1 ? array.buffers[1] : nullptr;
  data_ = nullptr;
  variadic_ = nullptr;
  if (length_ == 0 || type_.kind == Kind::kNull) return true;
  if (values_ == nullptr) {
    *err = "the array's values buffer is missing";
    return false;
  }
  switch (type_.kind) {
    case Kind::kString: case Kind::kBinary: case Kind::kLargeString: case Kind::kLargeBinary: {
      const bool large = type_.kind == Kind::kLargeString || type_.kind == Kind::kLargeBinary;
      if (!(large ? OffsetsInOrder<int64_t>(values_, offset_, length_) : OffsetsInOrder<int32_t>(values_, offset_, length_))) {
        *err = "the array's offsets are out of order";
        return false;
      }
      data_ = static_cast<const uint8_t*>(array.buffers[2]);
      const int64_t first = large ? Load<int64_t>(values_, offset_) : Load<int32_t>(values_, offset_);
      const int64_t last = large ? Load<int64_t>(values_, offset_ + length_) : Load<int32_t>(values_, offset_ + length_);
      if (data_ == nullptr && first != last) {
        *err = "the array's data buffer is missing";
        return false;
      }
      return true;
    }
    case Kind::kStringView: case Kind::kBinaryView: {
      const int64_t n_data = array.n_buffers - want;
      variadic_ = reinterpret_cast<const uint8_t* const*>(array.buffers + 2);
      const void* sizes = array.buffers[array.n_buffers - 1];
      if (n_data > 0 && sizes == nullptr) {
        *err = "the array's buffer sizes are missing";
        return false;
      }
      for (int64_t i = 0; i < length_; ++i) {
        if (IsNull(i)) continue;
        const View x = Load<View>(values_, offset_ + i);
        if (x.size < 0) {
          *err = "the array has a view of negative length";
          return false;
        }
        if (x.size <= kInlineMax) continue;
        if (x.buffer < 0 || x.buffer >= n_data || x.offset < 0 || variadic_[x.buffer] == nullptr) {
          *err = "the array has a view outside its data buffers";
          return false;
        }
        const int64_t size = Load<int64_t>(sizes, x.buffer);
        if (x.offset > size || x.size > size - x.offset) {
          *err = "the array has a view outside its data buffers";
          return false;
        }
      }
      return true;
    }
    default: return true;
  }
}

std::string_view Column::Bytes(int64_t i) const {
  const int64_t at = offset_ + i;
  int64_t begin, end;
  switch (type_.kind) {
    case Kind::kString: case Kind::kBinary:
      begin = Load<int32_t>(values_, at);
      end = Load<int32_t>(values_, at + 1);
      break;
    case Kind::kLargeString: case Kind::kLargeBinary:
      begin = Load<int64_t>(values_, at);
      end = Load<int64_t>(values_, at + 1);
      break;
    default: {  // views
      const View v = Load<View>(values_, at);
      if (v.size <= kInlineMax) {
        return {reinterpret_cast<const char*>(values_) + at * static_cast<int64_t>(sizeof(View)) + 4,
                static_cast<size_t>(v.size)};
      }
      return {reinterpret_cast<const char*>(variadic_[v.buffer]) + v.offset, static_cast<size_t>(v.size)};
    }
  }
  if (begin == end) return {};
  return {reinterpret_cast<const char*>(data_) + begin, static_cast<size_t>(end - begin)};
}

int64_t Column::Signed(int64_t i) const {
  const int64_t at = offset_ + i;
  switch (type_.kind) {
    case Kind::kInt8: return Load<int8_t>(values_, at);
    case Kind::kInt16: return Load<int16_t>(values_, at);
    case Kind::kInt32: return Load<int32_t>(values_, at);
    default: return Load<int64_t>(values_, at);
  }
}

uint64_t Column::Unsigned(int64_t i) const {
  const int64_t at = offset_ + i;
  switch (type_.kind) {
    case Kind::kUInt8: return Load<uint8_t>(values_, at);
    case Kind::kUInt16: return Load<uint16_t>(values_, at);
    case Kind::kUInt32: return Load<uint32_t>(values_, at);
    default: return Load<uint64_t>(values_, at);
  }
}

double Column::Float(int64_t i) const {
  const int64_t at = offset_ + i;
  if (type_.kind == Kind::kFloat32) return Load<float>(values_, at);
  return Load<double>(values_, at);
}

bool FromCapsules(PyObject* pair, CapsulePair* out) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    PyErr_SetString(PyExc_TypeError, "expected a (schema capsule, array capsule) pair");
    return false;
  }
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 0), "arrow_schema"));
  if (schema == nullptr) return false;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 1), "arrow_array"));
  if (array == nullptr) return false;
  if (schema->release == nullptr || array->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow array was released already");
    return false;
  }
  out->schema = schema;
  out->array = array;
  return true;
}

Buffer AllocBuffer(size_t n) {
  constexpr size_t kAlign = 64;
  const size_t rounded = (n + kAlign - 1) / kAlign * kAlign;
  void* p = std::aligned_alloc(kAlign, rounded == 0 ? kAlign : rounded);
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(static_cast<uint8_t*>(p));
}

namespace {

// What an exported array owns: its buffers and the list pointing at them.
struct Exported {
  Buffer validity, offsets, data;
  const void* buffers[3];
};

void ReleaseArray(ArrowArray* a) {
  delete static_cast<Exported*>(a->private_data);
  a->release = nullptr;
}

void ReleaseSchema(ArrowSchema* s) { s->release = nullptr; }  // its strings are static

// The capsules' destructors release what no consumer moved out.
void FreeSchemaCapsule(PyObject* capsule) {
  auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (s == nullptr) return PyErr_WriteUnraisable(capsule);
  if (s->release != nullptr) s->release(s);
  delete s;
}

void FreeArrayCapsule(PyObject* capsule) {
  auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (a == nullptr) return PyErr_WriteUnraisable(capsule);
  if (a->release != nullptr) a->release(a);
  delete a;
}

}  // namespace

PyObject* ExportBinary(BinaryOut&& out) {
  auto schema = std::make_unique<ArrowSchema>(ArrowSchema{
      .format = out.large ? "Z" : "z",
      .name = "",
      .metadata = nullptr,
      .flags = ARROW_FLAG_NULLABLE,
      .n_children = 0,
      .children = nullptr,
      .dictionary = nullptr,
      .release = ReleaseSchema,
      .private_data = nullptr,
  });
  auto owned = std::make_unique<Exported>();
  if (out.null_count == 0) out.validity.reset();
  owned->validity = std::move(out.validity);
  owned->offsets = std::move(out.offsets);
  owned->data = std::move(out.data);
  owned->buffers[0] = owned->validity.get();
  owned->buffers[1] = owned->offsets.get();
  owned->buffers[2] = owned->data.get();
  auto array = std::make_unique<ArrowArray>(ArrowArray{
      .length = out.length,
      .null_count = out.null_count,
      .offset = 0,
      .n_buffers = 3,
      .n_children = 0,
      .buffers = owned->buffers,
      .children = nullptr,
      .dictionary = nullptr,
      .release = ReleaseArray,
      .private_data = owned.get(),
  });
  owned.release();  // the array's now: freed by its release
  // From here each capsule owns its struct, released with it.
  PyObject* schema_capsule = PyCapsule_New(schema.get(), "arrow_schema", FreeSchemaCapsule);
  if (schema_capsule == nullptr) {
    array->release(array.get());
    return nullptr;
  }
  schema.release();
  PyObject* array_capsule = PyCapsule_New(array.get(), "arrow_array", FreeArrayCapsule);
  if (array_capsule == nullptr) {
    array->release(array.get());
    Py_DECREF(schema_capsule);
    return nullptr;
  }
  array.release();
  PyObject* pair = PyTuple_Pack(2, schema_capsule, array_capsule);
  Py_DECREF(schema_capsule);
  Py_DECREF(array_capsule);
  return pair;
}

}  // namespace velk::native::arrow
