import gc
import importlib
import sys
import weakref

import pytest

import _velkstore
from _velkstore import _VelkReader, _VelkWriter

READER_DOC = (
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `velkstore.VelkReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.")
WRITER_DOC = (
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `velkstore.VelkWriter` (Python wrapper) instead of this directly.**")

# (name, text signature, docstring), in method table order.
READER_METHODS = [
    ("get_raw", "($self, key)", "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    ("exists", "($self, key)", "Key presence check \u2014 no I/O beyond the in-memory hash index."),
    ("prefix_raw", "($self, prefix)", "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    ("keys", "($self)", "All keys in sorted order."),
    ("items_raw", "($self)", "All `(key, raw_bytes)` pairs in sorted key order."),
    ("objects_raw", "($self)", "Unique objects only (deduplicated by file offset)."),
    ("stats", "($self)", "Return file metadata as a `dict`."),
    ("verify", "($self)", "Deep CRC32 integrity check (whole-file + per-object)."),
    ("close", "($self)", None),
    ("__enter__", "($self)", None),
    ("__exit__", "($self, _exc_type, _exc_val, _exc_tb)", None),
]
WRITER_METHODS = [
    ("add_object_raw", "($self, raw_bytes)",
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    ("add_key", "($self, key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
    ("build", "($self, path)", "Atomically write the `.vlks` file: tmp \u2192 fsync \u2192 rename."),
]

HEAPTYPE, BASETYPE, HAVE_GC = 1 << 9, 1 << 10, 1 << 14


def test_module_attributes():
    assert _velkstore.__all__ == ["_VelkWriter", "_VelkReader", "__version__"]
    assert _velkstore.__version__ == "0.2.0"
    assert _velkstore.__doc__ == "velkstore._velkstore \u2014 native extension module entry-point"
    public = [n for n in vars(_velkstore) if not (n.startswith("__") and n.endswith("__"))]
    assert public == ["_VelkWriter", "_VelkReader"]
    assert not hasattr(_velkstore, "PanicException")


@pytest.mark.parametrize("cls, name, signature, doc, methods", [
    (_VelkReader, "_VelkReader", "(path, verify=True)", READER_DOC, READER_METHODS),
    (_VelkWriter, "_VelkWriter", "()", WRITER_DOC, WRITER_METHODS),
])
def test_class_surface(cls, name, signature, doc, methods):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)
    assert (cls.__text_signature__, cls.__doc__) == (signature, doc)
    # The method table in order, and no slot beyond constructor and repr.
    assert list(vars(cls)) == ["__new__", "__repr__", *(m[0] for m in methods), "__doc__", "__module__"]
    for method, sig, method_doc in methods:
        assert getattr(cls, method).__text_signature__ == sig, method
        assert getattr(cls, method).__doc__ == method_doc, method
    assert cls.__flags__ & (HEAPTYPE | BASETYPE | HAVE_GC) == HEAPTYPE
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)
    with pytest.raises(TypeError, match=f"type '(builtins\\.)?{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [_VelkReader, _VelkWriter])
def test_class_repr_shows_the_registered_name(cls):
    # Registered as builtins.<name>; the interpreter prints that name as is.
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"


def test_instances_have_no_attributes_or_weakrefs():
    w = _VelkWriter()
    assert not gc.is_tracked(w)
    for attack in (lambda: setattr(w, "anything", 1), lambda: setattr(w, "add_key", None)):
        pytest.raises(AttributeError, attack)
    pytest.raises(TypeError, weakref.ref, w)
    # No way round the constructors to an instance without native state.
    pytest.raises(TypeError, object.__new__, _VelkReader)
    pytest.raises(TypeError, _VelkReader.__new__, _VelkWriter, "x.vlks")


def test_reimport_shares_the_classes():
    old = sys.modules.pop("_velkstore")
    try:
        fresh = importlib.import_module("_velkstore")
        assert fresh is not old
        assert fresh._VelkReader is old._VelkReader and fresh._VelkWriter is old._VelkWriter
        assert fresh.__all__ == ["_VelkWriter", "_VelkReader", "__version__"]
    finally:
        sys.modules["_velkstore"] = old


