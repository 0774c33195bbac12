import os
import random
import re
import subprocess
import sys
import zlib

import pytest

from _velkstore import _VelkReader, _VelkWriter
from storefile import StoreFile, fails, sorted_store

GOOD = sorted_store([b"A"], [("a", 0)])  # 60 bytes, index at 49
GOOD_CRC = zlib.crc32(GOOD.build()[40:])
SMALL, MAGIC = "VelkCorruptError: file too small for header", "VelkCorruptError: bad magic "
KEY_LEN = "VelkCorruptError: index section truncated (key_len)"
KEY_OFFSET = "VelkCorruptError: index section truncated (key + offset)"
CRC = "VelkCorruptError: file CRC32 mismatch  stored=0x{:08x}  computed=0x{:08x}"


def handles(directory):
    """Open descriptors, and mappings of files in directory."""
    with open("/proc/self/maps") as maps:
        return len(os.listdir("/proc/self/fd")), maps.read().count(str(directory))


# (file contents, text, whether verify=False opens the file)
@pytest.mark.parametrize("blob, message, opens_unverified", [
    (b"", SMALL, False), (GOOD.build(version=3)[:39], SMALL, False),
    (bytes(40), MAGIC + "[0, 0, 0, 0]", False),
    (b"PK\x03\x04" + GOOD.build(version=3)[4:], MAGIC + "[80, 75, 3, 4]", False),
    (GOOD.build(magic=b"vlks"), MAGIC + "[118, 108, 107, 115]", False),
    (GOOD.build(version=1), "VelkVersionError: unsupported version 1", False),
    (GOOD.build(version=3, file_crc32=5), "VelkVersionError: unsupported version 3", False),
    (GOOD.build(version=255), "VelkVersionError: unsupported version 255", False),
    (GOOD.build(file_crc32=0xABCD), CRC.format(0xABCD, GOOD_CRC), True),
    (GOOD.build(tail=b"\0", file_crc32=GOOD_CRC),
     CRC.format(GOOD_CRC, zlib.crc32(GOOD.build()[40:] + b"\0")), True),
    (GOOD.build(file_crc32=1, num_keys=9), CRC.format(1, GOOD_CRC), False),
    (StoreFile().build(num_keys=1), KEY_LEN, False),
    (GOOD.build(index_offset=58), KEY_OFFSET, False),
    (GOOD.build(index_offset=2**64 - 1), KEY_LEN, False),
    (GOOD.build(index_offset=2**64 - 2), KEY_LEN, False),
    (GOOD.build(num_keys=2), KEY_LEN, False),
    (GOOD.build(num_keys=4_000_000_000), KEY_LEN, False),
    (GOOD.build(num_keys=2**32 - 1, index_offset=40), KEY_OFFSET, False),
])
def test_open_rejects(tmp_path, blob, message, opens_unverified):
    path = tmp_path / "f.vlks"
    path.write_bytes(blob)
    before = handles(tmp_path)
    assert fails(RuntimeError, message, _VelkReader, str(path)).args == (message,)
    if opens_unverified:
        assert _VelkReader(str(path), verify=False).get_raw("a") == b"A"
    assert handles(tmp_path) == before


@pytest.mark.parametrize("blob, verified", [
    (StoreFile().build(), True), (StoreFile().build(index_offset=2**64 - 1, file_crc32=0), True),
    (GOOD.build(reserved=b"\xff" * 7, data_offset=999), True),
    # The open leaves the object count alone; only verify() counts the records.
    (GOOD.build(num_objects=9), "VelkCorruptError: num_objects 9 does not match the 1 object records"),
])
def test_open_accepts_what_it_does_not_check(tmp_path, blob, verified):
    (tmp_path / "f.vlks").write_bytes(blob)
    r = _VelkReader(str(tmp_path / "f.vlks"))
    assert r.keys() == [k for k, _ in r.items_raw()]
    assert r.stats()["data_offset"] == 40
    if verified is True:
        assert r.verify() is True
    else:
        fails(RuntimeError, verified, r.verify)


def test_open_system_failures(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for path in ("missing.vlks", str(tmp_path / "missing.vlks")):
        pattern = re.compile(rf"VelkIOError: cannot open {re.escape(path)}: .+ \(os error 2\)")
        exc = fails(OSError, pattern, _VelkReader, path)
        assert exc.args == (str(exc),) and (exc.errno, exc.strerror, exc.filename) == (None, None, None)
    GOOD.write(tmp_path / "a")
    fails(OSError, "VelkIOError: cannot open a\x00b: path contains a NUL byte", _VelkReader, "a\x00b")
    os.mkdir("dir")
    fails(OSError, re.compile(r"VelkIOError: mmap failed: .+ \(os error \d+\)"), _VelkReader, "dir")


def test_fifo_does_not_hang(tmp_path):
    script = ("import os, sys, _velkstore\nos.mkfifo(sys.argv[1])\n"
              "try:\n    _velkstore._VelkReader(sys.argv[1])\n"
              "except RuntimeError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "fifo")],
                          capture_output=True, timeout=20, text=True)
    assert done.stdout == SMALL + "\n"


def rich_store():
    keys = [("a", b"A"), ("ab", b"AB"), ("abc", b"ABC"), ("b", b"B"), ("\u00e9", b"E"),
            ("\u00e9a", b"EA"), (b"\xc3", b"C3"), (b"fo\x80", b"FO"), ("empty", b""),
            (b"\xe2\x82a", b"T"), (b"\xf0\x80\x80", b"F"), (b"\xed\xa0\x80", b"S"),
            ("s1", b"shared"), ("s2", b"shared")]
    objects = [payload for _, payload in keys[:-1]]
    return sorted_store(objects, [(k, min(i, len(objects) - 1)) for i, (k, _) in enumerate(keys)])


@pytest.mark.parametrize("prefix, keys", [
    ("", None), ("a", ["a", "ab", "abc"]), (b"ab", ["ab", "abc"]), ("abc", ["abc"]), ("abcd", []),
    ([97, 98], ["ab", "abc"]), ("\u00e9", ["\u00e9", "\u00e9a"]), ("zz", []), (b"\xff", []),
    (b"\xc3", ["\ufffd", "\u00e9", "\u00e9a"]), ("fo", ["fo\ufffd"]), (b"s", ["s1", "s2"]),
])
def test_prefix_scan(tmp_path, prefix, keys):
    r = _VelkReader(rich_store().write(tmp_path / "s.vlks"))
    keys = r.keys() if keys is None else keys
    expected = [item for item in r.items_raw() if item[0] in keys]
    assert r.prefix_raw(prefix) == expected and [k for k, _ in expected] == keys


def test_lookups_and_listings(tmp_path):
    r = _VelkReader(rich_store().write(tmp_path / "s.vlks"))
    assert r.keys() == ["a", "ab", "abc", "b", "empty", "fo\ufffd", "s1", "s2", "\ufffd", "\u00e9",
                        "\u00e9a", "\ufffda", "\ufffd" * 3, "\ufffd" * 3]
    assert [(r.get_raw(k), r.exists(k)) for k in ("ab", b"\xc3", "empty", b"fo\x80")] == [
        (b"AB", True), (b"C3", True), (b"", True), (b"FO", True)]
    for absent in ("fo\ufffd", "", "abcd", "A", b"\xc3\xa9\x00"):
        assert (r.get_raw(absent), r.exists(absent)) == (None, False)
    assert type(r.get_raw("a")) is bytes and type(r.exists("a")) is bool
    items = r.items_raw()
    assert all(type(i) is tuple and len(i) == 2 for i in items)
    assert items[6][1] == items[7][1] == b"shared" and items[6][1] is not items[7][1]
    assert r.objects_raw() == [b"A", b"AB", b"ABC", b"B", b"", b"FO", b"shared", b"C3", b"E",
                               b"EA", b"T", b"S", b"F"]


def test_duplicate_and_empty_keys_and_object_order(tmp_path):
    f = StoreFile()
    zero, one = f.add_object(b"zero"), f.add_object(b"one")
    r = _VelkReader(f.add_key("", zero).add_key("k", zero).add_key("k", one).write(tmp_path / "d.vlks"))
    assert r.keys() == ["", "k", "k"] and r.get_raw("k") == b"one" and r.get_raw(b"") == b"zero"
    assert r.items_raw() == [("", b"zero"), ("k", b"zero"), ("k", b"one")]
    assert r.prefix_raw("k") == [("k", b"zero"), ("k", b"one")]
    assert r.objects_raw() == [b"zero", b"one"] and r.stats()["num_keys"] == 3
    f = StoreFile()
    y, x, _unused = f.add_object(b"Y"), f.add_object(b"X"), f.add_object(b"U")
    r = _VelkReader(f.add_key("a", x).add_key("b", y).add_key("c", x).write(tmp_path / "o.vlks"))
    assert r.objects_raw() == [b"X", b"Y"]


def test_bad_object_offsets(tmp_path):
    f = StoreFile()
    ok, huge = f.add_object(b"ok"), f.add_object(b"", length=0xFFFFFFFF)
    size = 40 + len(f.data) + 6 * 11
    for key, offset in (("a", ok), ("b", 2**64 - 1), ("c", 2**64 - 8), ("d", size - 7),
                        ("e", huge), ("f", size - 8)):
        f.add_key(key, offset)
    r = _VelkReader(f.write(tmp_path / "b.vlks"))
    assert (r.get_raw("a"), r.get_raw("f"), r.prefix_raw("f")) == (b"ok", b"", [("f", b"")])
    assert all(r.exists(k) for k in "abcdef")
    for key, message in (("b", f"offset {2**64 - 1} out of bounds"),
                         ("c", f"offset {2**64 - 8} out of bounds"),
                         ("d", f"offset {size - 7} out of bounds"),
                         ("e", f"object at {huge} extends beyond file end")):
        # Plain keys by position take the lean lookup, the rest the general
        # one: a damaged record reads the same either way.
        for form in (key, key.encode(), bytearray(key.encode()), type("S", (str,), {})(key)):
            fails(RuntimeError, "VelkCorruptError: " + message, r.get_raw, form)
            fails(RuntimeError, "VelkCorruptError: " + message, lambda: r.get_raw(key=form))
        fails(RuntimeError, "VelkCorruptError: " + message, r.prefix_raw, key)
    for scan in (r.items_raw, r.objects_raw, lambda: r.prefix_raw("")):
        fails(RuntimeError, f"VelkCorruptError: offset {2**64 - 1} out of bounds", scan)
    fails(RuntimeError, f"VelkCorruptError: object offset {2**64 - 1} out of bounds", r.verify)


@pytest.mark.parametrize("targets, fields, message", [
    ("good", {"file_crc32": 0xDEADBEEF}, "file CRC32 mismatch  stored=0xdeadbeef  computed=0x.{8}"),
    ("good worse", {"file_crc32": 1}, "file CRC32 mismatch  stored=0x00000001  computed=0x.{8}"),
    ("good far", {}, f"object offset {2**64 - 8} out of bounds"),
    ("tail", {}, "object at 72 extends beyond file end"),
    ("good worse bad", {}, "object CRC32 mismatch at offset 63"),
])
def test_verify_reports_the_first_problem(tmp_path, targets, fields, message):
    f = StoreFile()
    offsets = {"good": f.add_object(b"good"), "bad": f.add_object(b"bad", crc=7),
               "worse": f.add_object(b"worse", crc=7), "far": 2**64 - 8, "tail": 72}
    for key, target in zip("abc", targets.split()):
        f.add_key(key, offsets[target])
    r = _VelkReader(f.write(tmp_path / "v.vlks", **fields), verify=False)
    fails(RuntimeError, re.compile("VelkCorruptError: " + message), r.verify)


@pytest.mark.parametrize("payload, fields, expected", [
    (1488, {"num_objects": 7, "file_crc32": 0xABCD},
     {"num_keys": 0, "num_objects": 7, "index_offset": 1536, "file_size_kb": 1.5,
      "file_crc32": "0x0000abcd"}),
    (52, {"num_objects": 2**32 - 1, "index_offset": 2**64 - 1, "file_crc32": 0xABCDEF01},
     {"num_keys": 0, "num_objects": 2**32 - 1, "index_offset": 2**64 - 1, "file_size_kb": 0.09765625,
      "file_crc32": "0xabcdef01"}),
])
def test_stats(tmp_path, monkeypatch, payload, fields, expected):
    monkeypatch.chdir(tmp_path)
    f = StoreFile()
    f.add_object(bytes(payload))
    f.write(tmp_path / "s.vlks", data_offset=999, **fields)
    stats = _VelkReader(type("S", (str,), {})("s.vlks"), verify=False).stats()
    assert list(stats) == ["path", "version", "num_keys", "num_objects", "index_offset",
                           "data_offset", "file_size_kb", "file_crc32"]
    assert stats == {"path": "s.vlks", "version": 2, "data_offset": 40, **expected}
    assert [type(v) for v in stats.values()] == [str, int, int, int, int, int, float, str]


def test_lifecycle(tmp_path):
    path = GOOD.write(tmp_path / "it's.vlks")
    held = handles(tmp_path)
    with _VelkReader(path) as r:
        assert handles(tmp_path) == (held[0], held[1] + 1)
        assert repr(r) == f"_VelkReader('{path}', keys=1, objects=1)"
        before = (r.get_raw("a"), r.keys(), r.stats(), r.verify())
        assert r.close() is None and r.close() is None
        assert (r.get_raw("a"), r.keys(), r.stats(), r.verify()) == before
    assert r.items_raw() == [("a", b"A")]
    reader = _VelkReader(path)
    with pytest.raises(KeyError):
        with reader as bound:
            assert bound is reader
            raise KeyError("propagates")
    assert reader.__exit__(KeyError, KeyError("x"), None) is False
    os.unlink(path)  # the mapping outlives the file's name and handle
    assert reader.get_raw("a") == b"A" and reader.verify() is True
    del r, reader, bound
    assert handles(tmp_path) == held


@pytest.mark.parametrize("seed", range(8))
def test_random_round_trip(tmp_path, seed):
    rng = random.Random(seed)
    w, objects, model = _VelkWriter(), [], {}
    for _ in range(rng.randint(1, 25)):
        payload = rng.choice(objects) if objects and rng.random() < 0.2 else rng.randbytes(rng.randint(0, 30))
        assert w.add_object_raw(payload) == len(objects)
        objects.append(payload)
    pieces = ["a", "b", "\u00e9", "\U0001f600", "\x00", "\x7f"]
    for _ in range(rng.randint(1, 60)):
        if rng.random() < 0.3:
            key = raw = rng.randbytes(rng.randint(0, 3))
        else:
            key = "".join(rng.choices(pieces, k=rng.randint(0, 4)))
            raw = key.encode()
        model[raw] = rng.randrange(len(objects))
        w.add_key(key if rng.random() < 0.5 else list(raw), model[raw])
    path = str(tmp_path / "r.vlks")
    w.build(path)
    assert open(path, "rb").read() == sorted_store(objects, model.items()).build()
    r = _VelkReader(path)
    keys = sorted(model)
    pairs = [(k.decode("utf-8", "replace"), objects[model[k]]) for k in keys]
    assert r.keys() == [k for k, _ in pairs] and r.items_raw() == pairs
    assert all(r.get_raw(k) == objects[model[k]] and r.exists(k) for k in keys)
    for prefix in {k[:n] for k in keys for n in range(len(k) + 1)} | {rng.randbytes(1) for _ in range(5)}:
        assert r.prefix_raw(prefix) == [p for k, p in zip(keys, pairs) if k.startswith(prefix)]
    for absent in {rng.randbytes(rng.randint(0, 4)) for _ in range(20)} - set(model):
        assert (r.get_raw(absent), r.exists(absent)) == (None, False)
    assert r.objects_raw() == [objects[i] for i in dict.fromkeys(model[k] for k in keys)]
    assert (r.stats()["num_keys"], r.stats()["num_objects"], r.verify()) == (len(model), len(objects), True)
