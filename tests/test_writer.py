import pytest

from _velkstore import _VelkReader, _VelkWriter
from storefile import fails


def test_object_ids_are_dense_and_never_deduplicated():
    w = _VelkWriter()
    assert repr(w) == "_VelkWriter(objects=0, keys=0)"
    ids = [w.add_object_raw(b) for b in (b"same", b"same", b"", type("B", (bytes,), {})(b"s"))]
    assert ids == [0, 1, 2, 3] and all(type(i) is int for i in ids)
    for key, obj in (("a", 0), ("b", 1), ("c", 2), ("d", 0), (b"a", 1), ([97], 3)):
        assert w.add_key(key, obj) is None
    assert repr(w) == "_VelkWriter(objects=4, keys=4)"
    fails(ValueError, "VelkError: obj_id 4 out of range (have 4 objects)", w.add_key, "k", 4)


@pytest.mark.parametrize("rebind_with", ["k", b"k", bytearray(b"k"), [107]])
def test_last_binding_wins(tmp_path, rebind_with):
    w = _VelkWriter()
    w.add_object_raw(b"first")
    w.add_object_raw(b"second")
    w.add_key("k", 1)
    w.add_key("k", 0)
    w.add_key(rebind_with, 1)
    assert repr(w) == "_VelkWriter(objects=2, keys=1)"
    w.build(str(tmp_path / "s.vlks"))
    assert _VelkReader(str(tmp_path / "s.vlks")).items_raw() == [("k", b"second")]


class Index:
    def __index__(self):
        raise ValueError("no index")


FAILING_CALLS = [
    ("w.add_object_raw(bytearray(b'x'))", TypeError,
     "argument 'raw_bytes': 'bytearray' object is not an instance of 'bytes'"),
    ("w.add_object_raw(memoryview(b'x'))", TypeError,
     "argument 'raw_bytes': 'memoryview' object is not an instance of 'bytes'"),
    ("w.add_object_raw(None)", TypeError, "argument 'raw_bytes': 'None' is not an instance of 'bytes'"),
    ("w.add_key('k', 2)", ValueError, "VelkError: obj_id 2 out of range (have 2 objects)"),
    ("w.add_key(123, 0)", ValueError, "key must be str or bytes"),
    ("w.add_key(123, 7)", ValueError, "key must be str or bytes"),
    # When both arguments are bad, the obj_id error wins.
    ("w.add_key(123, -1)", OverflowError, None),
    ("w.add_key(123, 2**64)", OverflowError, None),
    ("w.add_key(123, 1.0)", TypeError,
     "argument 'obj_id': 'float' object cannot be interpreted as an integer"),
    ("w.add_key(123, None)", TypeError,
     "argument 'obj_id': 'NoneType' object cannot be interpreted as an integer"),
    ("w.add_key(123, Index())", ValueError, "no index"),
    ("w.add_key(b'x' * 65536, 0)", ValueError, "VelkError: key of 65536 bytes exceeds the limit of 65535"),
    ("w.add_key('\u00e9' * 32768, 1)", ValueError,
     "VelkError: key of 65536 bytes exceeds the limit of 65535"),
    ("w.add_key(b'x' * 65536, 9)", ValueError, "VelkError: obj_id 9 out of range (have 2 objects)"),
]


@pytest.mark.parametrize("expr, exc_type, message", FAILING_CALLS)
def test_a_failed_call_leaves_the_writer_unchanged(tmp_path, expr, exc_type, message):
    w = _VelkWriter()
    w.add_object_raw(b"zero")
    w.add_object_raw(b"one")
    w.add_key("k", 0)
    w.build(str(tmp_path / "before.vlks"))
    exc = fails(exc_type, message, eval, expr, {"w": w, "Index": Index})
    assert exc.args == (str(exc),) and exc.__cause__ is None
    assert repr(w) == "_VelkWriter(objects=2, keys=1)"
    w.build(str(tmp_path / "after.vlks"))
    assert (tmp_path / "after.vlks").read_bytes() == (tmp_path / "before.vlks").read_bytes()
    assert w.add_object_raw(b"two") == 2  # the exclusive borrow was released


def test_longest_key_round_trips(tmp_path):
    w = _VelkWriter()
    w.add_object_raw(b"v")
    longest = bytes(range(256)) * 255 + b"\xff" * 255
    assert len(longest) == 65535
    w.add_key(longest, 0)
    w.build(str(tmp_path / "s.vlks"))
    r = _VelkReader(str(tmp_path / "s.vlks"))
    assert r.get_raw(longest) == b"v" and r.prefix_raw(longest[:-1])[0][1] == b"v"
