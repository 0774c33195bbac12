"""The velkstore package: MessagePack round trips, de-duplication, keys,
paths and the lifecycle of VelkWriter and VelkReader."""

import datetime as dt
import functools
import math
import os
import pathlib
import subprocess
import sys

import msgpack
import pytest

import _velkstore
from velkstore import (
    BuildInfo,
    ClosedError,
    CorruptError,
    LimitError,
    UnstorableError,
    VelkDecodeError,
    VelkError,
    VelkReader,
    VelkWriter,
)

UTC = dt.timezone.utc

VALUES = {
    "none": None,
    "bools": [True, False],
    "ints": [0, -1, 2**63 - 1, -(2**63), 2**64 - 1],
    "floats": [0.1, -2.5e300, math.inf, -0.0],
    "text": "héllo \u2603 \U0001f600 \x00",
    "bytes": b"\x00\xff\xc1 not text",
    "empty": ["", b"", [], {}],
    "nested": {"a": [1, {"b": [b"x", None, {"c": "d"}]}], "e": {}},
    "int-keyed map": {1: "one", -2: "minus two", "s": 3},
    "tuple key": {(1, ("x", b"y")): "t"},
    "bytes key": {b"\x00": 1},
    # Timestamps: read back as datetimes in UTC (an aware datetime equals
    # the same instant in any zone), or as Timestamp past datetime's years.
    "datetime": [dt.datetime(2024, 2, 29, 23, 59, 59, 999999, tzinfo=UTC),
                 dt.datetime(1969, 7, 20, 22, 56, tzinfo=dt.timezone(dt.timedelta(hours=-5)))],
    "far timestamp": msgpack.Timestamp(2**40, 5),
    # 0xff bytes (-1, inside bytes) before the timestamp's type byte.
    "timestamp after 0xff": [-1, b"\xff\xd6", dt.datetime(2001, 1, 1, tzinfo=UTC)],
    # One timestamp past datetime's years leaves the others datetimes.
    "mixed timestamps": [dt.datetime(2020, 1, 1, tzinfo=UTC), msgpack.Timestamp(10**12, 0),
                         {(dt.datetime(2021, 1, 1, tzinfo=UTC),): 1}],
    # A key nested deeper than recursion would go from a deep caller.
    "deep tuple key": {functools.reduce(lambda t, _: (t,), range(700), ()): 1},
}


def build(tmp_path, fill, name="s.vlks"):
    path = tmp_path / name
    with VelkWriter(path) as w:
        fill(w)
    return path


def test_values_round_trip_through_every_read_path(tmp_path, capfd):
    path = build(tmp_path, lambda w: [w.add(k, v) for k, v in VALUES.items()])
    assert capfd.readouterr().out == ""  # a build prints nothing
    with VelkReader(os.fsencode(path)) as r:  # a bytes path
        for key, value in VALUES.items():
            assert r[key] == value, key
            assert r.get(key) == value, key
        assert dict(r.items()) == VALUES
        assert dict(r.prefix("")) == VALUES
        assert r.get_many(list(VALUES)) == list(VALUES.values())
        assert sorted(r.values(), key=repr) == sorted(VALUES.values(), key=repr)
    # Tuples are arrays and come back as lists.
    path = build(tmp_path, lambda w: w.add("t", (1, (2, "x"))), "t.vlks")
    assert VelkReader(str(path))["t"] == [1, [2, "x"]]
    # A timestamp in the longer extension forms reads as one in the usual form.
    second = dt.datetime(1970, 1, 1, 0, 0, 1, tzinfo=UTC)
    forms = [b"\xc7\x04\xff\x00\x00\x00\x01", b"\xc8\x00\x0c\xff" + (0).to_bytes(4, "big") + (1).to_bytes(8, "big")]
    path = build(tmp_path, lambda w: [w.add_raw(f"f{i}", raw) for i, raw in enumerate(forms)], "f.vlks")
    with VelkReader(path) as r:
        assert [r["f0"], r["f1"]] == r.get_many(["f0", "f1"]) == list(r.values()) == [second, second]


def test_identical_objects_are_stored_once(tmp_path):
    def fill(w):
        w.add("a", {"plan": "free", "n": [1, 2]})
        w.add_many(["b", "c"], {"plan": "free", "n": [1, 2]})
        w.add_many((k for k in ["d"]), {"plan": "free", "n": [1, 2]})
        # Equal in Python, different once serialised: must not merge.
        w.add("int", 1)
        w.add("float", 1.0)
        w.add("bool", True)
        w.add("str", "x")
        w.add("bytes", b"x")

    with VelkReader(build(tmp_path, fill)) as r:
        assert r.stats()["num_objects"] == 6
        assert len({raw for _, raw in r.items_raw()}) == 6
        assert [r[k] for k in "abcd"] == [{"plan": "free", "n": [1, 2]}] * 4
        got = [r[k] for k in ("int", "float", "bool", "str", "bytes")]
        assert [type(v) for v in got] == [int, float, bool, str, bytes]


def test_rejected_input_stages_nothing(tmp_path):
    w = VelkWriter()
    w.add("kept", "v")
    cases = [
        (lambda: w.add("x" * 65536, "v"), ValueError, "exceeds the limit of 65535"),
        (lambda: w.add("\ud800", "v"), ValueError, "UTF-8"),
        (lambda: w.add(7, "v"), TypeError, "key must be str or bytes"),
        (lambda: w.add("k", {1, 2}), TypeError, "cannot store a value of type 'set'"),
        (lambda: w.add("k", 2**64), LimitError, "outside the 64-bit range: 18446744073709551616"),
        (lambda: w.update({"k": [-(2**63) - 1]}), UnstorableError, "outside the 64-bit range"),
        (lambda: w.add("k", dt.datetime(2024, 1, 1)), ValueError, "without a time zone"),
        (lambda: w.add("k", {"d": dt.date(2024, 1, 1)}), UnstorableError, "a date is no point in time"),
        (lambda: w.add("k", object()), UnstorableError, "type 'object'"),
        (lambda: w.add_many(["ok", b"y" * 70000], "v"), ValueError, "exceeds"),
        (lambda: w.add_many("abc", "v"), TypeError, "iterable of keys"),
    ]
    for call, exc, text in cases:
        with pytest.raises(exc, match=text) as info:
            call()
        if "store" in text or "range" in text:  # a value: one class, both builtins
            assert type(info.value) is UnstorableError
    w.add_many([], "never stored")
    w.build(tmp_path / "s.vlks")
    with VelkReader(tmp_path / "s.vlks") as r:
        assert list(r.keys()) == ["kept"]
        assert r.stats()["num_objects"] == 1


def test_lookups_keys_and_order(tmp_path):
    keys = ["b", "a", "ab", "é", "Z", "", "\uffff", "\U00010000", "a\x00"]
    with VelkReader(build(tmp_path, lambda w: [w.add(k, k) for k in keys])) as r:
        # Ascending by UTF-8 bytes, which is code point order.
        assert list(r) == list(r.keys()) == sorted(keys)
        assert len(r) == len(keys)
        assert r[b"\xc3\xa9"] == r["é"] == "é"
        assert r.get_raw("zz") is None and r.get("zz", 5) == 5
        with pytest.raises(KeyError):
            r["zz"]
        assert "a" in r and b"ab" in r
        assert "zz" not in r and 5 not in r and "\ud800" not in r
        assert r.get("\ud800", "absent") == "absent"
        assert [k for k, _ in r.prefix("a")] == ["a", "a\x00", "ab"]
        assert list(r.prefix_raw(b"\xc3")) == [("é", r.get_raw("é"))]
        assert r.verify() is True


def test_binary_keys(tmp_path):
    with VelkReader(build(tmp_path, lambda w: w.add(b"\xff\x00", "bin"))) as r:
        assert r[b"\xff\x00"] == "bin"
        # Listed with the odd byte escaped, in a form that finds it again.
        assert list(r.keys()) == ["\udcff\x00"] and r["\udcff\x00"] == "bin"


def test_writer_lifecycle(tmp_path, capfd):
    target = tmp_path / "w.vlks"
    with pytest.raises(RuntimeError, match="boom"):
        with VelkWriter(target) as w:
            w.add("a", 1)
            raise RuntimeError("boom")
    assert not target.exists() and w.closed
    with pytest.raises(ClosedError, match="closed"):
        w.add("a", 1)

    with VelkWriter() as w:
        w.add("a", 1)
        with pytest.raises(TypeError, match="needs a path"):
            w.build()
        w.build(pathlib.PurePosixPath(target))
        w.add("b", 2)  # staged after the build: a second build includes it
        assert w.build(str(target)) == BuildInfo(str(target), 2, 2, target.stat().st_size, w.last_build.file_crc32)
    assert list(VelkReader(target).keys()) == ["a", "b"]

    with VelkWriter(target) as w:  # built explicitly: not built again on exit
        w.add("c", 3)
        w.build()
        target.unlink()
    assert not target.exists()
    assert capfd.readouterr().out == ""


def test_reader_close_and_errors(tmp_path):
    path = build(tmp_path, lambda w: w.add("a", 1))
    with VelkReader(path) as r:
        pass
    assert r.closed and repr(r).endswith("closed>")
    for call in (lambda: list(r.keys()), r.stats, lambda: r["a"], lambda: "a" in r, lambda: len(r)):
        with pytest.raises(ClosedError, match="closed"):
            call()
    with pytest.raises(FileNotFoundError):
        VelkReader(tmp_path / "missing.vlks")
    (tmp_path / "foreign").write_bytes(b"not a store file at all, really not one")
    with pytest.raises(CorruptError, match="not a velkstore file"):
        VelkReader(tmp_path / "foreign")


def test_undecodable_object_raises_decode_error(tmp_path):
    w = _velkstore._VelkWriter()
    for key, raw in (("bad", b"\xc1"), ("extra", b"\x01\x02"), ("ok", b"\x05")):
        w.add_key(key, w.add_object_raw(raw))
    w.build(str(tmp_path / "raw.vlks"))
    with VelkReader(tmp_path / "raw.vlks") as r:
        assert r["ok"] == 5
        assert r.get_raw("bad") == b"\xc1"
        for call in (lambda: r["bad"], lambda: r.get("extra"), lambda: list(r.items()),
                     lambda: list(r.values()), lambda: r.get_many(["ok", "bad"])):
            with pytest.raises(VelkDecodeError, match="not valid msgpack: ."):  # and why
                call()


def test_native_module_loads_without_the_package(tmp_path):
    # The native module imports nothing of the package when it loads; the
    # package hands it its exception classes afterwards.
    script = """
import glob, importlib.util, os, sys
pkg = os.path.dirname(importlib.util.find_spec("velkstore").origin)
spec = importlib.util.spec_from_file_location("velkstore._native", glob.glob(pkg + "/_native*.so")[0])
native = importlib.util.module_from_spec(spec)
spec.loader.exec_module(native)
print(sorted(m for m in sys.modules if m.startswith("velkstore")))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, cwd=tmp_path)
    assert out.stdout.strip() == "[]"


def test_a_truncated_file_is_reported_as_truncated(tmp_path):
    whole = build(tmp_path, lambda w: w.update({f"k{i}": i for i in range(500)})).read_bytes()
    cut = tmp_path / "cut.vlks"
    # Cut inside the index, inside the objects, just past the header.
    for size, text in [(len(whole) - 1, "ends inside its index"), (len(whole) // 2, "its header claims at least"),
                       (41, "its header claims at least")]:
        cut.write_bytes(whole[:size])
        for verify in (True, False):
            with pytest.raises(CorruptError, match=f"^truncated: .*{text}") as info:
                VelkReader(cut, verify=verify)
            assert info.value.filename == str(cut)
        # The fixed face keeps its own words.
        with pytest.raises(RuntimeError, match="VelkCorruptError: file CRC32 mismatch"):
            _velkstore._VelkReader(str(cut))
    # A damaged byte of a file of the right length is no truncation.
    cut.write_bytes(whole[:-1] + bytes([whole[-1] ^ 1]))
    # (verify=True: the default open of an indexed file checks blocks as it reads them.)
    with pytest.raises(CorruptError, match="CRC32 mismatch"):
        VelkReader(cut, verify=True)
