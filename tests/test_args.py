import gc
import os
import pathlib
import sys

import numpy as np
import pytest

from _velkstore import _VelkReader, _VelkWriter
from storefile import fails

PARSE_ERRORS = [
    ("R()", "_VelkReader.__new__() missing 1 required positional argument: 'path'"),
    ("R(p, True, 1)", "_VelkReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("R(p, path=p, zz=1)", "_VelkReader.__new__() got multiple values for argument 'path'"),
    ("R(zz=1, path=p)", "_VelkReader.__new__() got an unexpected keyword argument 'zz'"),
    ("W(1)", "_VelkWriter.__new__() takes 0 positional arguments but 1 was given"),
    ("W(1, 2)", "_VelkWriter.__new__() takes 0 positional arguments but 2 were given"),
    ("W(a=1)", "_VelkWriter.__new__() got an unexpected keyword argument 'a'"),
    ("w.add_key()", "_VelkWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
    ("w.add_key('a')", "_VelkWriter.add_key() missing 1 required positional argument: 'obj_id'"),
    ("w.add_key(obj_id=0)", "_VelkWriter.add_key() missing 1 required positional argument: 'key'"),
    ("w.add_key(1, 2, 3, zz=1)", "_VelkWriter.add_key() takes 2 positional arguments but 3 were given"),
    ("w.add_key(zz=1)", "_VelkWriter.add_key() got an unexpected keyword argument 'zz'"),
    ("w.add_key('a', key='b', zz=1)", "_VelkWriter.add_key() got multiple values for argument 'key'"),
    ("w.add_object_raw()",
     "_VelkWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
    ("w.build(p, p)", "_VelkWriter.build() takes 1 positional arguments but 2 were given"),
    ("r.__exit__()", "_VelkReader.__exit__() missing 3 required positional arguments: "
                     "'_exc_type', '_exc_val', and '_exc_tb'"),
    ("r.__exit__(None)", "_VelkReader.__exit__() missing 2 required positional arguments: "
                         "'_exc_val' and '_exc_tb'"),
    ("r.__exit__(1, 2, 3, 4)", "_VelkReader.__exit__() takes 3 positional arguments but 4 were given"),
    ("r.get_raw(key=b'a', k=1)", "_VelkReader.get_raw() got an unexpected keyword argument 'k'"),
    ("r.get_raw(b'a', key=b'b')", "_VelkReader.get_raw() got multiple values for argument 'key'"),
    ("r.get_raw(**{'\\udcff': 1})", "_VelkReader.get_raw() got an unexpected keyword argument '\udcff'"),
    ("r.keys(1)", "_VelkReader.keys() takes no arguments (1 given)"),
]
ACCEPTED_CALLS = [
    "R(p)", "R(p, False)", "R(path=p, verify=True)", "R(verify=False, path=p)",
    "w.add_key(obj_id=0, key='a')", "w.add_object_raw(raw_bytes=b'')", "r.get_raw(key='a')",
    "r.prefix_raw(prefix='a')", "r.__exit__(_exc_tb=1, _exc_val=2, _exc_type=3)",
]


def run(expr, store_path):
    w = _VelkWriter()
    w.add_object_raw(b"x")
    names = {"R": _VelkReader, "W": _VelkWriter, "p": store_path, "r": _VelkReader(store_path), "w": w}
    return eval(expr, names)


@pytest.mark.parametrize("expr, message", PARSE_ERRORS + [(e, None) for e in ACCEPTED_CALLS])
def test_argument_parse(store_path, expr, message):
    if message is None:
        run(expr, store_path)
    else:
        fails(TypeError, message, run, expr, store_path)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("value, exc_type, message", [
    (b"x.vlks", TypeError, "'bytes' object is not an instance of 'str'"),
    (pathlib.PurePosixPath("x.vlks"), TypeError, "'PurePosixPath' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    (Outer.Inner(), TypeError, "'Outer.Inner' object is not an instance of 'str'"),
    ("x\udcff.vlks", UnicodeEncodeError, None),
])
def test_path_must_be_encodable_str(tmp_path, monkeypatch, value, exc_type, message):
    monkeypatch.chdir(tmp_path)
    for call in (_VelkReader, _VelkWriter().build):
        fails(exc_type, message and "argument 'path': " + message, call, value)
    assert list(tmp_path.iterdir()) == []


def numpy_like(name="bool_", module="numpy", **body):
    return type(name, (), {"__module__": module, **body})()


def raise_(exc):
    raise exc


@pytest.mark.parametrize("verify, opens", [
    (True, False), (False, True), (np.True_, False), (np.False_, True),
    (numpy_like(__bool__=lambda s: False), True), (numpy_like("bool", __bool__=lambda s: True), False),
])
def test_verify_accepts_booleans_and_numpy_scalars(bad_crc_path, verify, opens):
    if opens:
        assert _VelkReader(bad_crc_path, verify).keys() == ["a"]
    else:
        fails(RuntimeError, None, _VelkReader, bad_crc_path, verify)


@pytest.mark.parametrize("verify, exc_type, message", [
    (1, TypeError, "argument 'verify': 'int' object is not an instance of 'bool'"),
    (None, TypeError, "argument 'verify': 'None' is not an instance of 'bool'"),
    (np.int8(1), TypeError, "argument 'verify': 'int8' object is not an instance of 'bool'"),
    (numpy_like(module="numpyx", __bool__=lambda s: True), TypeError,
     "argument 'verify': 'bool_' object is not an instance of 'bool'"),
    (numpy_like(), TypeError,
     "argument 'verify': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like(__bool__=lambda s: raise_(ValueError("boom"))), ValueError, "boom"),
    (numpy_like(__bool__=lambda s: raise_(TypeError("boom"))), TypeError, "argument 'verify': boom"),
    (numpy_like(__bool__=lambda s: 2), TypeError,
     "argument 'verify': __bool__ should return bool, returned int"),
])
def test_verify_rejects_everything_else(store_path, verify, exc_type, message):
    fails(exc_type, message, _VelkReader, store_path, verify)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value


class IntWithIndex(int):
    def __index__(self):
        return 9


@pytest.mark.parametrize("obj_id, seen", [
    (True, 1), (False, 0), (7, 7), (2**32, 2**32), (2**64 - 1, 2**64 - 1),
    (Index(5), 5), (IntWithIndex(3), 3), (np.uint64(2**64 - 1), 2**64 - 1),
])
def test_obj_id_values_reach_the_range_check(obj_id, seen):
    fails(ValueError, f"VelkError: obj_id {seen} out of range (have 0 objects)",
          _VelkWriter().add_key, "k", obj_id)


def test_argument_wrap_keeps_the_cause_and_spares_subclasses():
    cause = KeyError("k")

    def chained():
        raise TypeError("inner") from cause

    exc = fails(TypeError, "argument 'obj_id': inner", _VelkWriter().add_key, "k", Index(chained))
    assert exc.__cause__ is cause
    exc = fails(TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer",
                _VelkWriter().add_key, "k", "0")
    assert exc.__cause__ is None
    raised = type("SubError", (TypeError,), {})("sub")
    assert fails(type(raised), "sub", _VelkWriter().add_key, "k", Index(lambda: raise_(raised))) is raised


class LenRaises:
    def __getitem__(self, i):
        return [195, 169][i]

    def __len__(self):
        raise RuntimeError("no len")

    def __iter__(self):
        return iter([195, 169])


class LenLies(LenRaises):
    def __len__(self):
        return 2**40


@pytest.mark.parametrize("key", [
    "\u00e9", b"\xc3\xa9", bytearray(b"\xc3\xa9"), [195, 169], (195, 169), memoryview(b"\xc3\xa9"),
    range(195, 168, -26), type("S", (str,), {})("\u00e9"), type("B", (bytes,), {})(b"\xc3\xa9"),
    np.array([195, 169], dtype=np.uint8), [Index(195), Index(169)], LenRaises(), LenLies(),
])
def test_key_conversion_accepts(store_path, key):
    r = _VelkReader(store_path)
    assert (r.get_raw(key), r.exists(key), r.prefix_raw(key)) == (b"E", True, [("\u00e9", b"E")])
    w = _VelkWriter()
    w.add_object_raw(b"x")
    w.add_key(key, 0)
    w.add_key("\u00e9", 0)
    assert repr(w) == "_VelkWriter(objects=1, keys=1)"


class IterationFails(LenRaises):
    def __iter__(self):
        yield 97
        raise RuntimeError("mid-way")


@pytest.mark.parametrize("key", [
    [256], [-1], 5, None, {}, {97: 1}, "a\udcff", [1.5], ["a"], iter([97]), [2**70], {97}, IterationFails(),
])
def test_key_conversion_rejects(store_path, key):
    r = _VelkReader(store_path)
    w = _VelkWriter()
    w.add_object_raw(b"x")
    for call in (r.get_raw, r.exists, r.prefix_raw, lambda k: w.add_key(k, 0)):
        exc = fails(ValueError, "key must be str or bytes", call, key)
        assert exc.__context__ is None and exc.__cause__ is None
    assert repr(w) == "_VelkWriter(objects=1, keys=0)"


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), MemoryError()])
@pytest.mark.parametrize("where", ["__len__", "__iter__", "__index__"])
def test_key_conversion_lets_interrupts_through(store_path, exc, where):
    def fail(*_):
        raise exc

    key = type("Key", (LenRaises,), {where: fail})()
    if where == "__index__":
        key = [Index(fail)]
    r = _VelkReader(store_path)
    w = _VelkWriter()
    w.add_object_raw(b"x")
    for call in (r.get_raw, r.exists, r.prefix_raw, lambda k: w.add_key(k, 0)):
        with pytest.raises(BaseException) as info:
            call(key)
        assert info.value is exc
    assert repr(w) == "_VelkWriter(objects=1, keys=0)"


def test_constructor_keeps_its_arguments_alive(store_path, monkeypatch):
    # verify's truth value drops every reference to the path string, among
    # them the one in the keyword dictionary the constructor was given,
    # while the constructor still has to open that path.
    monkeypatch.chdir(os.path.dirname(store_path))

    def drop_path(verify):
        for d in gc.get_referrers(verify):
            if isinstance(d, dict) and "path" in d:
                del d["path"]
        return True

    kw = {"path": "".join(["./"] * 300 + ["s.vlks"]), "verify": numpy_like(__bool__=drop_path)}
    r = _VelkReader(**kw)
    assert "path" not in kw and r.keys() == ["a", "\u00e9"]
    assert r.stats()["path"] == "./" * 300 + "s.vlks"


def test_reentrant_calls_meet_the_borrow(tmp_path, store_path):
    w = _VelkWriter()
    w.add_object_raw(b"x")

    def reenter():
        fails(RuntimeError, "Already borrowed", w.add_object_raw, b"y")
        fails(RuntimeError, "Already borrowed", w.add_key, "z", 0)
        fails(RuntimeError, "Already mutably borrowed", repr, w)
        fails(RuntimeError, "Already mutably borrowed", w.build, str(tmp_path / "in.vlks"))
        return 0

    class Reenters(LenRaises):
        def __iter__(self):
            reenter()
            return iter(b"q")

    w.add_key("k", Index(reenter))
    w.add_key(Reenters(), 0)
    assert w.add_object_raw(b"z") == 1  # every borrow was released
    assert repr(w) == "_VelkWriter(objects=2, keys=2)"
    assert list(tmp_path.iterdir()) == [pathlib.Path(store_path)]

    r = _VelkReader(store_path)

    class ReadsBack(LenRaises):  # reader borrows are shared, so they nest
        def __iter__(self):
            assert r.keys() == ["a", "\u00e9"] and repr(r).startswith("_VelkReader(")
            return iter(b"a")

    assert r.get_raw(ReadsBack()) == b"A"


def test_calls_hold_no_references(tmp_path, store_path):
    r, w = _VelkReader(store_path), _VelkWriter()
    key, payload, path = "".join(["a", "b"]), bytes(range(5)), str(tmp_path / "x.vlks")
    bad_key, obj_id, verify = [256, 1], Index(0), np.False_
    watched = (r, w, key, payload, path, bad_key, obj_id, verify)
    w.add_object_raw(payload)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        r.get_raw(key), r.exists(key), r.prefix_raw(key), r.__enter__(), r.__exit__(r, w, key), repr(r)
        w.add_object_raw(payload), w.add_key(key, obj_id), w.build(path), repr(w)
        _VelkReader(path, verify), _VelkReader(path=path, verify=verify)
        for call in (lambda: r.get_raw(bad_key), lambda: w.add_key(bad_key, obj_id),
                     lambda: w.add_key(key, payload), lambda: _VelkReader(payload, verify)):
            try:
                call()
            except (TypeError, ValueError):
                pass
    assert [sys.getrefcount(o) for o in watched] == before
