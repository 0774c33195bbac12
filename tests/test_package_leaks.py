"""The package's native classes, on success and on each error path,
repeated: reference counts, Python allocations, descriptors and file
mappings stay flat."""

import os
import tracemalloc

import msgpack
import pytest

from storefile import StoreFile
from test_leaks import footprint
from velkstore import VelkError, VelkReader, VelkWriter

ROUNDS = 300


@pytest.fixture
def env(tmp_path):
    path = str(tmp_path / "s.vlks")
    w = VelkWriter()
    w.update_raw([(b"k%03d" % i, msgpack.packb({"i": i})) for i in range(100)])
    w.update_raw([(b"bad", b"\xc1"), (b"\xffodd", b"\x01")])
    w.build(path)
    (tmp_path / "foreign").write_bytes(b"x" * 100)
    f = StoreFile()
    f.add_key("a", f.add_object(b"\x01"))
    f.add_key("b", 1 << 40)  # a record past the end of the file
    damaged = f.write(tmp_path / "damaged.vlks")
    return path, str(tmp_path / "foreign"), damaged, str(tmp_path)


def test_repeated_calls_leave_nothing_behind(env):
    path, foreign, damaged, directory = env
    r, bad = VelkReader(path), VelkReader(damaged)
    keys = [b"k%03d" % i for i in range(0, 100, 3)] + ["absent", "\udcffodd", "\ud800"]
    w = VelkWriter()
    out = os.path.join(directory, "out.vlks")
    calls = [
        (lambda: r.get_raw("k001"), None), (lambda: r.get_raw(b"nope"), None), (lambda: r["k002"], None),
        (lambda: r["nope"], KeyError), (lambda: r.get(5), TypeError), (lambda: r["bad"], ValueError),
        (lambda: r.get_many(keys, 0), None), (lambda: r.get_many_raw(keys * 3), None),
        (lambda: r.get_many([1]), TypeError), (lambda: list(r.prefix("k0")), None),
        (lambda: list(r.items_bytes(raw=True)), None), (lambda: list(r.range("k010", "k020")), None),
        (lambda: list(r), None), (lambda: r.stats(), None), (lambda: r.verify(), None),
        (lambda: VelkReader(path).close(), None), (lambda: VelkReader(foreign), VelkError),
        (lambda: VelkReader(os.path.join(directory, "missing")), OSError),
        (lambda: list(bad.items_raw()), VelkError), (lambda: bad.get_many_raw(["a", "b"]), VelkError),
        (lambda: w.update({"a": {"x": [1, 2]}, "b": b"\x00" * 100}), None),
        (lambda: w.update_raw([("c", b"\x01")]), None), (lambda: w.add("d", {1, 2}), TypeError),
        (lambda: w.add("k" * 70000, 1), ValueError), (lambda: w.build(out), None),
    ]
    watched = [r, bad, w, *keys]
    for call, expected in calls:
        def run(rounds, call=call, expected=expected):
            for _ in range(rounds):
                try:
                    call()
                except expected or ():
                    pass
        run(ROUNDS // 4)
        tracemalloc.start()
        try:
            before = footprint(directory, watched)
            run(ROUNDS)
            after = footprint(directory, watched)
        finally:
            tracemalloc.stop()
        growth = {k: after[k] - before[k] for k in ("fds", "mappings", "traced")}
        assert after["refcounts"] == before["refcounts"], call.__code__.co_firstlineno
        assert (growth["fds"], growth["mappings"]) == (0, 0), growth
        assert growth["traced"] < 16 * 1024, growth
