"""VelkReader as a Mapping: errors with errno and filename, any path, keys
that are not UTF-8, lazy scans, batch lookups, close, pickling and fork."""

import errno
import gc
import multiprocessing
import os
import pickle
import random
import subprocess
import sys
import threading
import weakref
from collections.abc import Mapping

import msgpack
import pytest

import _velkstore
from storefile import StoreFile
from velkstore import (
    ClosedError,
    CorruptError,
    LimitError,
    VelkError,
    VelkReader,
    VelkWriter,
    VersionError,
)


def write(path, pairs):
    w = VelkWriter()
    w.update_raw(pairs)
    w.build(path)
    return path


def val(key):
    """The stored value of key: its bytes behind a "v", encoded."""
    return msgpack.packb(b"v" + key)


# Keys as bytes, sorted as the store sorts them; values name their key.
KEYS = sorted({b"", b"a", b"ab", b"abc", b"b", b"user:\xff", b"user:\xfe", b"user:\xc3", b"user:\xc3\xa9",
               b"\xff", b"\xff\xff", b"\xff\x00"} | {b"k%03d" % i for i in range(200)})


@pytest.fixture
def store(tmp_path):
    return write(tmp_path / "k.vlks", [(k, val(k)) for k in KEYS])


def test_errors_are_classes_with_errno_and_filename(tmp_path, store):
    missing = os.fsencode(tmp_path) + b"/caf\xe9.vlks"
    for path in (str(tmp_path / "missing.vlks"), missing):
        with pytest.raises(FileNotFoundError) as info:
            VelkReader(path)
        assert isinstance(info.value, VelkError)
        assert (info.value.errno, info.value.filename) == (errno.ENOENT, path)
    with pytest.raises(OSError) as info:
        VelkReader(tmp_path)  # a directory
    assert isinstance(info.value, VelkError) and info.value.filename == str(tmp_path)

    data = store.read_bytes()
    cases = [
        (b"just some text, long enough to have a header\n", CorruptError, "not a velkstore file"),
        (b"VLK", CorruptError, "not a velkstore file"),
        (data[:4] + b"\x03" + data[5:], VersionError, "unsupported version 3"),
        (data[:-1] + bytes([data[-1] ^ 1]), CorruptError, "file CRC32 mismatch"),
    ]
    for i, (blob, cls, text) in enumerate(cases):
        bad = tmp_path / f"bad{i}.vlks"
        bad.write_bytes(blob)
        # verify=True: the default open of a file with its lookup index
        # leaves the whole-file CRC to verify().
        with pytest.raises(cls, match=text) as info:
            VelkReader(bad, verify=True)
        assert str(bad) in str(info.value) and info.value.filename == str(bad)
    # A damaged record is found by verify(), named by file.
    f = StoreFile()
    f.add_key("a", f.add_object(b"\x01", crc=1))
    bad = f.write(tmp_path / "rec.vlks")
    with VelkReader(bad) as r, pytest.raises(CorruptError, match="object CRC32 mismatch") as info:
        r.verify()
    assert info.value.filename == str(bad)


def test_bad_key_type_is_type_error_everywhere(store):
    r = VelkReader(store)
    w = VelkWriter()
    calls = [
        lambda: r[5], lambda: r.get(5), lambda: r.get_raw(5), lambda: r.get_many([b"a", 5]),
        lambda: r.get_many_raw([None]), lambda: r.prefix(5), lambda: r.prefix_raw(1.5),
        lambda: r.range(5), lambda: r.range_raw(None, 5), lambda: r.keys_bytes(5),
        lambda: r.items_bytes(stop=5), lambda: w.add(5, 1), lambda: w.add_raw(5, b""),
        lambda: w.add_many(["a", 5], 1), lambda: w.update({5: 1}), lambda: w.update_raw([(5, b"")]),
        lambda: r.get_many("ab"), lambda: w.add_many("ab", 1),
        lambda: r.get(memoryview(b"abcd")[::2]), lambda: w.add(memoryview(b"abcd")[::2], 1),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()
    assert 5 not in r and "\ud800" not in r and r.get("\ud800", 7) == 7  # no stored key can match
    assert list(r.prefix("\ud800")) == list(r.keys_bytes("\ud800")) == []  # nor start with it
    for call in (lambda: w.add("\ud800", 1), lambda: r.range("\ud800")):  # nor has it a place in key order
        with pytest.raises(LimitError):
            call()
    assert w._counts() == (0, 0)


def test_argument_errors_are_worded_as_python_words_its_own(store):
    r = VelkReader(store)
    cases = [
        (lambda: r.get(), "get() missing 1 required positional argument: 'key'"),
        (lambda: r.get("a", 1, 2), "get() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: r.get_many_raw([], 1), "get_many_raw() takes 1 positional argument but 2 were given"),
        (lambda: r.items_bytes(b"", None, None, True), "items_bytes() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: r.get("a", dflt=1), "get() got an unexpected keyword argument 'dflt'"),
        (lambda: r.get("a", key="a"), "get() got multiple values for argument 'key'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert list(r.items_bytes(b"k00", raw=True))[:1] == [(b"k000", val(b"k000"))]


def test_any_path(tmp_path, capfd):
    for name in (b"caf\xe9.vlks", "caf\udce9-s.vlks", "näme.vlks"):
        path = os.path.join(os.fsencode(tmp_path) if isinstance(name, bytes) else str(tmp_path), name)
        with VelkWriter(path) as w:
            w.add("a", 1)
            info = w.build()
        data = open(path, "rb").read()
        assert info.path == path and info.file_size == len(data)
        assert info.file_crc32 == int.from_bytes(data[32:36], "big") and (info.num_keys, info.num_objects) == (1, 1)
        with VelkReader(path) as r:
            assert r["a"] == 1 and r.path == path and r.stats()["path"] == path
    assert capfd.readouterr().out == ""
    # Unique temporary names: nothing is left beside the targets.
    assert sorted(os.listdir(os.fsencode(tmp_path))) == sorted(
        [b"caf\xe9.vlks", b"caf\xe9-s.vlks", "näme.vlks".encode()])


def test_keys_that_are_not_utf8_are_listed_losslessly(store, tmp_path):
    with VelkReader(store) as r:
        assert len(r) == len(KEYS) and isinstance(r, Mapping)
        listed = list(r)
        assert [os.fsencode(k) for k in listed] == KEYS == list(r.keys_bytes())
        for k in listed:  # each listed form finds its own entry
            assert r[k] == b"v" + os.fsencode(k) and r.get_raw(k) == val(os.fsencode(k)) and k in r
        assert list(r.items_bytes(raw=True)) == [(k, val(k)) for k in KEYS]
        assert list(r.items_bytes()) == [(k, b"v" + k) for k in KEYS]
        # Rebuilt from its listing, the store has the same content.
        again = write(tmp_path / "again.vlks", list(r.items_raw()))
    with VelkReader(again) as r2:
        assert list(r2.items_bytes(raw=True)) == [(k, val(k)) for k in KEYS]


def test_scans_agree_with_a_model(store):
    def model(prefix=b"", start=None, stop=None):
        return [k for k in KEYS if k.startswith(prefix) and (start is None or k >= start)
                and (stop is None or k < stop)]

    cases = [
        {}, {"prefix": b"user:"}, {"prefix": b"user:\xc3"}, {"prefix": b"\xff"}, {"prefix": b"\xff\xff"},
        {"prefix": b"zz"}, {"prefix": b"a"}, {"start": b"b"}, {"stop": b"b"}, {"start": b"k050", "stop": b"k060"},
        {"start": b"k060", "stop": b"k050"}, {"start": b"", "stop": b""}, {"prefix": b"k1", "start": b"k150"},
        {"prefix": b"k", "stop": b"k0"}, {"start": b"user:\xc3", "stop": b"\xff"},
    ]
    with VelkReader(store) as r:
        for case in cases:
            assert list(r.keys_bytes(**case)) == model(**case), case
            assert [k for k, _ in r.items_bytes(**case, raw=True)] == model(**case), case
        assert [os.fsencode(k) for k, _ in r.prefix("user:")] == model(b"user:")
        assert [os.fsencode(k) for k, _ in r.prefix_raw("")] == KEYS
        assert [k for k, _ in r.range("k050", "k052")] == ["k050", "k051"]
        assert [k for k, _ in r.range_raw(start="\udcff")] == ["\udcff", "\udcff\x00", "\udcff\udcff"]
        assert list(r.values())[:2] == [b"v", b"va"]  # one value per key
        assert list(r.items())[1] == ("a", b"va")
        scan = iter(r)
        assert next(scan) == "" and scan.__length_hint__() == len(KEYS) - 1


def test_scan_items_held_by_the_caller_never_change(store):
    # A scan gives its tuples again once the caller has let go of them; any
    # item still held, in whatever way, must keep its key and value.
    want = [(k, val(k)) for k in KEYS]
    with VelkReader(store) as r:
        held, last = [], None
        for item in r.items_bytes(raw=True):  # the loop holds each until the next
            if last is not None:
                assert last == want[len(held) - 1]
            held.append(item if len(held) % 3 == 0 else tuple(item))
            last = item
        assert held == want
        assert [pair for pair in zip(r.items_bytes(raw=True), r.items_bytes(raw=True))] == list(zip(want, want))
        assert [item for _, item in enumerate(r.items_bytes(raw=True))] == want
        scan = r.items_bytes(raw=True)
        a, b, c = next(scan), next(scan), next(scan)
        del b
        rest = list(scan)
        assert [a, c] == [want[0], want[2]] and rest == want[3:]
        assert [k for k, _ in r.items_bytes(raw=True)] == KEYS


def test_get_many_matches_lookups_one_by_one(store):
    rng = random.Random(7)
    asked = [rng.choice(KEYS + [b"absent", b"user:"]) for _ in range(3000)]
    asked += [os.fsdecode(k) for k in asked[:500]] + ["\ud800", bytearray(b"ab"), memoryview(b"abc")]
    with VelkReader(store) as r:
        expected = [r.get_raw(k) for k in asked]
        for keys in (asked, tuple(asked), (k for k in asked), asked[:10], []):
            assert r.get_many_raw(keys) == expected[: len(list(keys)) if not hasattr(keys, "__next__") else None]
        assert r.get_many(asked[:100], default=0) == [r.get(k, 0) for k in asked[:100]]


def test_close_while_scans_and_batches_run(store):
    r = VelkReader(store)
    scan = r.items_bytes(raw=True)
    first = next(scan)
    r.close()
    r.close()  # idempotent
    assert [first, *scan] == [(k, val(k)) for k in KEYS]  # the running scan ends normally
    for call in (lambda: r["a"], lambda: r.get_many([b"a"]), lambda: iter(r), r.verify):
        with pytest.raises(ClosedError):
            call()

    r = VelkReader(store)
    keys = KEYS * 50
    outcomes = []

    def batches():
        try:
            for _ in range(100):
                outcomes.append(r.get_many_raw(keys) == [val(k) for k in keys])
        except ClosedError:
            outcomes.append(True)

    threads = [threading.Thread(target=batches) for _ in range(3)]
    for t in threads:
        t.start()
    r.close()
    for t in threads:
        t.join()
    assert outcomes and all(outcomes)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="an address-space limit under the sanitizer")
def test_memory_running_out_in_a_lookup_or_scan_is_memory_error(tmp_path):
    # A compressed value of 100 MB read with a few MB of address space to
    # spare: every path raises MemoryError (r[k], `in`, scans once aborted).
    script = """
import resource, sys
import velkstore
r = velkstore.VelkReader(sys.argv[1])
size = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize")][0]
resource.setrlimit(resource.RLIMIT_AS, (size + (40 << 20),) * 2)
for call in (lambda: r["k"], lambda: r.get_raw("k"), lambda: next(iter(r.items_raw())), lambda: r.get_many(["k"])):
    try:
        call()
        print("no error")
    except MemoryError:
        print("MemoryError")
"""
    with VelkWriter(tmp_path / "big.vlks", compress="zstd") as w:
        w.add_raw("k", b"\xc6" + (100 << 20).to_bytes(4, "big") + bytes(100 << 20))
    res = subprocess.run([sys.executable, "-c", script, str(tmp_path / "big.vlks")], capture_output=True, text=True)
    assert (res.returncode, res.stdout.split()) == (0, ["MemoryError"] * 4), res.stderr[-2000:]


def test_a_reader_that_keeps_its_own_scan_is_collected(store):
    class Keeping(VelkReader):
        pass

    class Path(str):
        pass

    for kind in (str, Path):
        path = kind(store)
        r = Keeping(path)
        r.scan = r.items_raw()
        if isinstance(path, Path):
            path.reader = r
        gone = weakref.ref(r)
        del r, path
        gc.collect()
        assert gone() is None


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ in Python code needs 3.12")
def test_key_conversion_that_closes_the_object(store):
    # Converting a key may run Python code; here it closes the very object
    # the call is on.  Each call ends in ClosedError or gives the right
    # answer; never a read of a released store (which crashed, or is
    # reported by the sanitizer run).
    def closing(obj):
        class Closing(bytearray):
            def __buffer__(self, flags):
                obj.close()
                return super().__buffer__(flags)

        return Closing(b"k007")

    reads = [
        lambda r, k: r.get_raw(k), lambda r, k: r.get(k), lambda r, k: r[k], lambda r, k: k in r,
        lambda r, k: r.get_many([k]), lambda r, k: r.get_many_raw([k]), lambda r, k: list(r.prefix(k)),
        lambda r, k: list(r.range(k)), lambda r, k: list(r.keys_bytes(start=k)),
    ]
    with VelkReader(store) as fresh:
        expected = [call(fresh, b"k007") for call in reads]
    for call, want in zip(reads, expected):
        r = VelkReader(store)
        try:
            assert call(r, closing(r)) == want
        except ClosedError:
            pass


def test_batch_keys_emptied_by_another_thread(store):
    # The lookups run without the lock; a thread that empties the caller's
    # list meanwhile frees those key objects.  The batch must keep its own
    # references (under the sanitizer run a read of a freed key is an error).
    with VelkReader(store) as r:
        stop = threading.Event()
        lists = []

        def empty_them():
            while not stop.is_set():
                for keys in list(lists):
                    keys.clear()

        t = threading.Thread(target=empty_them)
        t.start()
        try:
            for _ in range(20):
                keys = [bytes(bytearray(k)) for k in KEYS * 20]  # fresh objects, owned by the list only
                expected = [val(k) for k in keys]
                lists.append(keys)
                got = r.get_many_raw(keys)
                assert got == expected[: len(got)] and len(got) in (0, len(expected))
                lists.clear()
        finally:
            stop.set()
            t.join()


def _child_read(reader):
    return reader["a"], reader._verify


def test_reader_pickles_and_survives_fork(store, monkeypatch):
    r = VelkReader(store, verify=False)
    copy = pickle.loads(pickle.dumps(r))
    assert type(copy) is VelkReader and copy.path == r.path and list(copy) == list(r)
    # Opened by a relative path, it reopens the same file where the working
    # directory is another.
    monkeypatch.chdir(store.parent)
    near = VelkReader(store.name)
    blob = pickle.dumps(near)
    monkeypatch.chdir(store.parent.parent)
    assert list(pickle.loads(blob)) == list(r) == list(pickle.loads(pickle.dumps(near)))
    pid = os.fork()
    if pid == 0:  # the child reads through the mapping it inherited
        os._exit(0 if r.get_many([b"a", b"b"]) == [b"va", b"vb"] and r.verify() else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.apply(_child_read, (r,)) == (b"va", False)


def test_a_cached_reader_handed_out_before_a_rebuild_stays_open(tmp_path):
    # Another task may hold the reader a rebuild replaced, its lookup not yet begun.
    from velkstore._lookup_join import cached_reader, store_ref

    path = tmp_path / "c.vlks"
    for value in ("old", "new"):
        with VelkWriter(path) as w:
            w.add("k", value)
        if value == "old":
            ref = store_ref(path)
            handed = cached_reader(ref)
    assert cached_reader(ref)["k"] == "new" and handed["k"] == "old"


def test_the_spec_module_reads_what_the_package_writes(store):
    # Both faces share the file format: the package's files stay readable.
    assert _velkstore._VelkReader(str(store)).get_raw(b"user:\xff") == val(b"user:\xff")


def test_a_damaged_record_fails_every_lookup_with_its_own_fault(tmp_path):
    f = StoreFile()
    good = f.add_object(msgpack.packb(1))
    f.add_key("", 2**64 - 1).add_key("a", good).add_key("b", 2**64 - 8)
    path = f.write(tmp_path / "d.vlks")
    r = VelkReader(path)
    message = f"offset {2**64 - 8} out of bounds: {path!r}"
    for call in (lambda k: r[k], r.get, r.get_raw, r.get_stored, lambda k: r.get_many(["a", k]),
                 lambda k: r.get_many_raw(["a", k] * 40)):  # both sides of the lock-release threshold
        for key in ("b", b"b", bytearray(b"b")):
            with pytest.raises(CorruptError) as info:
                call(key)
            assert (str(info.value), info.value.filename) == (message, path)
    # A key no stored key can equal is absent, whatever the record of the
    # empty key it was never looked up as.
    assert r.get_many(["\ud800", "a"]) == [None, 1] and r.get_many_raw(["\ud800"] * 70) == [None] * 70
    assert r.get("\ud800", 5) == 5 and r["a"] == 1
