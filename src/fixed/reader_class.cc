// _VelkReader: open, lookups, scans, stats and verification.
#include <optional>
#include <string>
#include <string_view>

#include "fixed/classes.h"
#include "fixed/convert.h"
#include "fixed/frame.h"
#include "bind/once.h"

namespace velk::py {
namespace {

using Self = InstanceOf<ReaderClass>;

ArgSpec kNewArgs{"_VelkReader.__new__()", {"path", "verify"}, 2, 1, Wording::kFixed};
ArgSpec kGetArgs{"_VelkReader.get_raw()", {"key"}, 1, 1, Wording::kFixed};
ArgSpec kExistsArgs{"_VelkReader.exists()", {"key"}, 1, 1, Wording::kFixed};
ArgSpec kPrefixArgs{"_VelkReader.prefix_raw()", {"prefix"}, 1, 1, Wording::kFixed};
ArgSpec kExitArgs{"_VelkReader.__exit__()", {"_exc_type", "_exc_val", "_exc_tb"}, 3, 3, Wording::kFixed};

Outcome<StoreReader> OpenReader(const ArgSlots& args) {
  std::string_view path;
  if (!ConvertPath(args[0], &path)) return PyErrorSet{};
  bool verify = true;
  if (!ConvertVerify(args[1], &verify)) return PyErrorSet{};
  return StoreReader::Open(std::string(path), verify);
}

Outcome<std::optional<Bytes>> GetRaw(Self* self, const ArgSlots& args) {
  KeyBuf key;
  if (!ConvertKey(args[0], key)) return PyErrorSet{};
  return self->state.Get(key.view);
}

// The lean forms of get_raw and exists, for plain keys.  get_raw's hands
// the bytes (or None) straight back: the found key's path carries no
// Result, only the payload's view.
PyObject* ProbeGetRaw(Self* self, std::string_view key) {
  Bytes payload;
  std::optional<StoreError> fault;
  switch (self->state.Lookup(key, &payload, &fault)) {
    case StoreReader::Found::kFound: return Convert(std::optional<Bytes>(payload));
    case StoreReader::Found::kAbsent: Py_RETURN_NONE;
    case StoreReader::Found::kDamaged: break;
  }
  return RaiseStoreError(*fault);
}

Result<bool> ProbeExists(Self* self, std::string_view key) { return self->state.Exists(key); }

Outcome<bool> Exists(Self* self, const ArgSlots& args) {
  KeyBuf key;
  if (!ConvertKey(args[0], key)) return PyErrorSet{};
  return self->state.Exists(key.view);
}

// Listings walk the core's cursor, as the package's scans do: every entry
// from begin on while keep(key) holds, to the end of the key list.
template <typename Visit>
Result<void> Walk(const StoreReader& r, size_t begin, Visit visit) {
  auto cursor = r.CursorAt(begin);
  if (!cursor.ok()) return std::move(cursor).error();
  StoreReader::Cursor& at = cursor.value();
  for (const size_t end = r.entry_count(); at.index < end;) {
    auto item = r.Next(&at);
    if (!item.ok()) return std::move(item).error();
    auto more = visit(item.value(), at.index, end);
    if (!more.ok()) return std::move(more).error();
    if (!more.value()) break;
  }
  return {};
}

// The entries from begin on while keep(key) holds, with their objects, in
// key order; the first damaged record fails the whole list.
template <typename Keep>
Outcome<EntryList> ReadEntries(const StoreReader& r, size_t begin, Keep keep) {
  EntryList list;
  auto walked = Walk(r, begin, [&](const StoreReader::ScanItem& item, size_t next, size_t end) -> Result<bool> {
    if (!keep(item.key)) return false;
    r.PrefetchAhead(item, next, end);
    auto payload = r.ReadChecked(item.record);
    if (!payload.ok()) return std::move(payload).error();
    list.entries.push_back({item.key, payload.value()});
    return true;
  });
  if (!walked.ok()) return std::move(walked).error();
  return list;
}

Outcome<EntryList> PrefixRaw(Self* self, const ArgSlots& args) {
  KeyBuf prefix;
  if (!ConvertKey(args[0], prefix)) return PyErrorSet{};
  const StoreReader& r = self->state;
  // Keys are in ascending order: those starting with prefix follow its
  // lower bound directly.
  auto begin = r.Seek(prefix.view);
  if (!begin.ok()) return std::move(begin).error();
  return ReadEntries(r, begin.value(), [&](std::string_view key) { return key.starts_with(prefix.view); });
}

Outcome<KeyList> Keys(Self* self, const ArgSlots&) {
  const StoreReader& r = self->state;
  KeyList list;
  list.keys.reserve(r.entry_count());
  auto walked = Walk(r, 0, [&](const StoreReader::ScanItem& item, size_t, size_t) -> Result<bool> {
    list.keys.push_back(item.key);
    return true;
  });
  if (!walked.ok()) return std::move(walked).error();
  return list;
}

Outcome<EntryList> ItemsRaw(Self* self, const ArgSlots&) {
  const StoreReader& r = self->state;
  return ReadEntries(r, 0, [](std::string_view) { return true; });
}

Outcome<ObjectList> ObjectsRaw(Self* self, const ArgSlots&) {
  auto r = self->state.Objects();
  if (!r.ok()) return std::move(r).error();
  return ObjectList{std::move(r).value()};
}

Outcome<StatsResult> Stats(Self* self, const ArgSlots&) { return StatsResult{&self->state}; }

Outcome<bool> Verify(Self* self, const ArgSlots&) {
  if (auto r = self->state.Verify(); !r.ok()) return std::move(r).error();
  return true;
}

// Releases nothing: the mapping and index live as long as the object, so a
// close in one thread can never pull them away from a read in another.
Outcome<NoneResult> Close(Self*, const ArgSlots&) { return NoneResult{}; }

Outcome<NewRef> Enter(Self* self, const ArgSlots&) {
  return NewRef{Py_NewRef(reinterpret_cast<PyObject*>(self))};
}

Outcome<bool> Exit(Self*, const ArgSlots&) { return false; }

Outcome<std::string> ReaderRepr(Self* self, const ArgSlots&) {
  const StoreReader& r = self->state;
  return "_VelkReader('" + r.path() + "', keys=" + std::to_string(r.num_keys()) +
         ", objects=" + std::to_string(r.num_objects()) + ")";
}

constexpr int kArgsFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"get_raw", AsCFunction(KeyMethod<ReaderClass, Borrow::kShared, kGetArgs, GetRaw, ProbeGetRaw>), kArgsFlags,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", AsCFunction(KeyMethod<ReaderClass, Borrow::kShared, kExistsArgs, Exists, ProbeExists>), kArgsFlags,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."},
    {"prefix_raw", AsCFunction(Method<ReaderClass, Borrow::kShared, kPrefixArgs, PrefixRaw>), kArgsFlags,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, Keys>), METH_NOARGS,
     "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, ItemsRaw>), METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"objects_raw", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, ObjectsRaw>), METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, Stats>), METH_NOARGS,
     "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, Verify>), METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, Close>), METH_NOARGS,
     "close($self)\n--\n\n"},
    {"__enter__", AsCFunction(NoArgs<ReaderClass, Borrow::kShared, Enter>), METH_NOARGS,
     "__enter__($self)\n--\n\n"},
    {"__exit__", AsCFunction(Method<ReaderClass, Borrow::kShared, kExitArgs, Exit>), kArgsFlags,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

constexpr char kDoc[] =
    "_VelkReader(path, verify=True)\n--\n\n"
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `velkstore.VelkReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc<ReaderClass>)},
    {Py_tp_methods, kMethods},
    {Py_tp_new, reinterpret_cast<void*>(New<ReaderClass, kNewArgs, OpenReader>)},
    {Py_tp_repr, reinterpret_cast<void*>(Repr<ReaderClass, Borrow::kShared, ReaderRepr>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins._VelkReader",
    .basicsize = static_cast<int>(sizeof(Self)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

OnceObject cached_type;

}  // namespace

PyObject* ReaderClass::Create() {
  return cached_type.Get([] { return PyType_FromSpec(&kSpec); });
}

PyTypeObject* ReaderClass::Type() {
  if (PyObject* type = cached_type.Peek()) [[likely]] return reinterpret_cast<PyTypeObject*>(type);
  return TypeOrFault(Create(), kName);
}

}  // namespace velk::py
