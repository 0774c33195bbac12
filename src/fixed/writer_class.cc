// _VelkWriter: staging of objects and keys, and the build.
#include <unistd.h>

#include <string>

#include "fixed/classes.h"
#include "core/base/fd.h"
#include "fixed/convert.h"
#include "fixed/frame.h"
#include "bind/once.h"
#include "fixed/summary.h"

namespace velk::py {
namespace {

using Self = InstanceOf<WriterClass>;

ArgSpec kNewArgs{"_VelkWriter.__new__()", {}, 0, 0, Wording::kFixed};
ArgSpec kAddObjectArgs{"_VelkWriter.add_object_raw()", {"raw_bytes"}, 1, 1, Wording::kFixed};
ArgSpec kAddKeyArgs{"_VelkWriter.add_key()", {"key", "obj_id"}, 2, 2, Wording::kFixed};
ArgSpec kBuildArgs{"_VelkWriter.build()", {"path"}, 1, 1, Wording::kFixed};

Outcome<StagedStore> NewWriter(const ArgSlots&) { return StagedStore{}; }

Outcome<uint64_t> AddObjectRaw(Self* self, const ArgSlots& args) {
  Bytes raw;
  if (!ConvertRawBytes(args[0], &raw)) return PyErrorSet{};
  return self->state.AddObject(raw);
}

// obj_id is converted before the key, so when both are bad its error wins.
Outcome<NoneResult> AddKey(Self* self, const ArgSlots& args) {
  uint64_t obj_id = 0;
  if (!ConvertObjId(args[1], &obj_id)) return PyErrorSet{};
  KeyBuf key;
  if (!ConvertKey(args[0], key)) return PyErrorSet{};
  if (auto r = self->state.AddKey(key.view, obj_id); !r.ok()) return std::move(r).error();
  return NoneResult{};
}

Outcome<NoneResult> Build(Self* self, const ArgSlots& args) {
  std::string_view path;
  if (!ConvertPath(args[0], &path)) return PyErrorSet{};
  auto built = self->state.Build(path);
  if (!built.ok()) return std::move(built).error();
  // Straight to file descriptor 1, bypassing any stdio buffering.  The file
  // is committed by now, so a lost summary line is not an error.
  const BuildResult& r = built.value();
  const std::string line =
      SummaryLine(path, r.num_objects, r.num_keys, static_cast<double>(r.file_size) / 1024.0);
  (void)WriteAll(STDOUT_FILENO, AsBytes(line), "");
  return NoneResult{};
}

Outcome<std::string> WriterRepr(Self* self, const ArgSlots&) {
  return "_VelkWriter(objects=" + std::to_string(self->state.object_count()) +
         ", keys=" + std::to_string(self->state.key_count()) + ")";
}

PyMethodDef kMethods[] = {
    {"add_object_raw", AsCFunction(Method<WriterClass, Borrow::kExclusive, kAddObjectArgs, AddObjectRaw>),
     METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\n"
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", AsCFunction(Method<WriterClass, Borrow::kExclusive, kAddKeyArgs, AddKey>),
     METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\n"
     "Map *key* (str or bytes) to *obj_id*."},
    {"build", AsCFunction(Method<WriterClass, Borrow::kShared, kBuildArgs, Build>),
     METH_FASTCALL | METH_KEYWORDS,
     "build($self, path)\n--\n\n"
     "Atomically write the `.vlks` file: tmp \u2192 fsync \u2192 rename."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

constexpr char kDoc[] =
    "_VelkWriter()\n--\n\n"
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `velkstore.VelkWriter` (Python wrapper) instead of this directly.**";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc<WriterClass>)},
    {Py_tp_methods, kMethods},
    {Py_tp_new, reinterpret_cast<void*>(New<WriterClass, kNewArgs, NewWriter>)},
    {Py_tp_repr, reinterpret_cast<void*>(Repr<WriterClass, Borrow::kShared, WriterRepr>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins._VelkWriter",
    .basicsize = static_cast<int>(sizeof(Self)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

OnceObject cached_type;

}  // namespace

PyObject* WriterClass::Create() {
  return cached_type.Get([] { return PyType_FromSpec(&kSpec); });
}

PyTypeObject* WriterClass::Type() {
  if (PyObject* type = cached_type.Peek()) [[likely]] return reinterpret_cast<PyTypeObject*>(type);
  return TypeOrFault(Create(), kName);
}

}  // namespace velk::py
