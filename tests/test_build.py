import os
import re
import subprocess
import sys

import pytest

from _velkstore import _VelkReader, _VelkWriter
from storefile import fails, sorted_store

# Objects b"abc" and b"", keys b -> 0, a -> 1, ab -> 0.
EXAMPLE = bytes.fromhex(
    "56 4C 4B 53  02 00 00 00  00 00 00 03  00 00 00 02"
    "00 00 00 00 00 00 00 3B  00 00 00 00 00 00 00 28"
    "5A 0D 97 48  00 00 00 00"
    "00 00 00 03  35 24 41 C2  61 62 63"
    "00 00 00 00  00 00 00 00"
    "00 01  61  00 00 00 00 00 00 00 33"
    "00 02  61 62  00 00 00 00 00 00 00 28"
    "00 01  62  00 00 00 00 00 00 00 28")
EMPTY = b"VLKS\x02" + bytes(18) + b"\x28" + bytes(7) + b"\x28" + bytes(8)


def writer(objects=(), bindings=()):
    w = _VelkWriter()
    for payload in objects:
        w.add_object_raw(payload)
    for key, obj in bindings:
        w.add_key(key, obj)
    return w


def build(w, path):
    w.build(str(path))
    return path.read_bytes()


def test_exact_bytes(tmp_path):
    assert len(EXAMPLE) == 93
    assert build(writer([b"abc", b""], [("b", 0), ("a", 1), ("ab", 0)]), tmp_path / "ex.vlks") == EXAMPLE
    assert build(_VelkWriter(), tmp_path / "empty.vlks") == EMPTY
    assert sorted(os.listdir(tmp_path)) == ["empty.vlks", "ex.vlks"]


KEYS = [b"\xff", "z", "a", "ab", "", b"\x80", b"\x7f", "b", "a\x00", "\u00e9", b"\xc3\xa9x"]


@pytest.mark.parametrize("sizes, nkeys", [
    ([300, 1, 12, 1, 0], len(KEYS)),  # a payload staged twice, the last object unreferenced
    ([2, 3], 0),  # no keys: the index section is empty (its CRC must continue the data's)
    ([8192 - 48], 0),  # sizes around the 8 KiB write buffer
    ([8192 - 48], 1), ([8192 - 40], 2), ([8193], 3), ([20000, 5000, 9000], 11),
])
def test_layout_matches_an_independent_one(tmp_path, sizes, nkeys):
    objects = [bytes([n % 251]) * n for n in sizes]
    bindings = [(KEYS[i], i % max(1, len(objects) - 1)) for i in range(nkeys)]
    w = writer(objects, bindings)
    assert build(w, tmp_path / "s.vlks") == sorted_store(objects, bindings).build()


def test_replaces_the_target_while_an_open_reader_keeps_the_old_file(tmp_path):
    target = tmp_path / "s.vlks"
    build(writer([b"old"], [("k", 0)]), target)
    old = _VelkReader(str(target))
    build(writer([b"new"], [("k", 0)]), target)
    assert _VelkReader(str(target)).get_raw("k") == b"new"
    assert old.get_raw("k") == b"old" and old.verify() is True
    assert os.listdir(tmp_path) == ["s.vlks"]


@pytest.mark.parametrize("target, message", [
    ("missing/s.vlks", r"open tmp: .+ \(os error 2\)"),
    ("", r"open tmp: .+ \(os error 2\)"),
    ("out/", r"open tmp: .+ \(os error 21\)"),
    ("out/..", r"open tmp: .+ \(os error 21\)"),
    ("out/s.vlks\x00.x", r"open tmp: path contains a NUL byte"),
    ("out/blocked.vlks", r"open tmp: .+ \(os error 21\)"),
])
def test_failure_before_the_temp_file_exists(tmp_path, monkeypatch, target, message):
    monkeypatch.chdir(tmp_path)
    os.makedirs("out/blocked.vlks.tmp")
    (tmp_path / "out" / "blocked.vlks").write_bytes(b"old")
    fails(OSError, re.compile("VelkIOError: " + message), writer([b"x"], [("k", 0)]).build, target)
    assert sorted(os.listdir("out")) == ["blocked.vlks", "blocked.vlks.tmp"]
    assert (tmp_path / "out" / "blocked.vlks").read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["out"]


@pytest.mark.parametrize("target, tmp", [
    ("store.vlks", "store.vlks.tmp"), ("store", "store.vlks.tmp"), ("store.bin", "store.vlks.tmp"),
    ("a.b.c", "a.b.vlks.tmp"), (".data", ".data.vlks.tmp"), ("store.", "store.vlks.tmp"),
    ("d.x/store", "d.x/store.vlks.tmp"),
])
def test_failed_rename_leaves_the_complete_temp_file(tmp_path, target, tmp):
    w = writer([b"abc", b""], [("b", 0), ("a", 1), ("ab", 0)])
    (tmp_path / target / "child").mkdir(parents=True)
    fails(OSError, re.compile(r"VelkIOError: rename: .+ \(os error \d+\)"), w.build, str(tmp_path / target))
    assert (tmp_path / tmp).read_bytes() == EXAMPLE
    assert os.listdir(tmp_path / target) == ["child"]


def test_builds_are_repeatable_and_include_later_staging(tmp_path):
    w = writer([b"abc", b""], [("b", 0), ("a", 1)])
    first, second = build(w, tmp_path / "1.vlks"), build(w, tmp_path / "2.vlks")
    assert first == second and repr(w) == "_VelkWriter(objects=2, keys=2)"
    w.add_key("ab", 0)
    assert build(w, tmp_path / "3.vlks") == EXAMPLE
    assert sorted(os.listdir(tmp_path)) == ["1.vlks", "2.vlks", "3.vlks"]


SUMMARY_SCRIPT = r"""
import contextlib, io, os, sys
from _velkstore import _VelkWriter
os.write(1, b"<\n")
captured = io.StringIO()
with contextlib.redirect_stdout(captured):
    for path, objects, keys in [
            ("empty.vlks", [], ""), ("four.vlks", [b"abcd"], ""), ("kb.vlks", [bytes(976)], ""),
            ("over.vlks", [bytes(1028)], ""), ("missing/s.vlks", [], ""),
            (type("S", (str,), {})("\u00fc/s.vlks"), [b"x", b"y", b"z"], "abcd")]:
        w = _VelkWriter()
        for payload in objects:
            w.add_object_raw(payload)
        for key in keys:
            w.add_key(key, 0)
        with contextlib.suppress(OSError):
            w.build(path)
os.write(1, b">\n")
sys.stderr.write(repr(captured.getvalue()))
"""


def test_summary_line_goes_to_the_process_stdout(tmp_path):
    (tmp_path / "\u00fc").mkdir()
    done = subprocess.run([sys.executable, "-c", SUMMARY_SCRIPT], cwd=tmp_path,
                          capture_output=True, timeout=30, check=True)
    line = "\u2705  {}  \u2014  {} objects \u00b7 {} keys \u00b7 {} KB\n"
    expected = "<\n" + "".join(line.format(*fields) for fields in [
        ("empty.vlks", 0, 0, "0.0"), ("four.vlks", 1, 0, "0.1"), ("kb.vlks", 1, 0, "1.0"),
        ("over.vlks", 1, 0, "1.1"), ("\u00fc/s.vlks", 3, 4, "0.1")]) + ">\n"
    assert done.stdout == expected.encode("utf-8")
    assert done.stderr == b"''"
    sizes = {name: os.path.getsize(tmp_path / name) for name in ("empty.vlks", "four.vlks", "kb.vlks")}
    assert sizes == {"empty.vlks": 40, "four.vlks": 52, "kb.vlks": 1024}
