"""Every method of both classes, on success and on each error path, repeated
many times: the reference counts of every object involved, Python-level
allocations, resident memory, open descriptors and file mappings stay flat."""
import contextlib
import gc
import os
import re
import sys
import tracemalloc
from types import SimpleNamespace

import numpy
import pytest

from _velkstore import _VelkReader, _VelkWriter
from storefile import StoreFile, sorted_store

SCALE = float(os.environ.get("VELK_STRESS_SCALE", "1"))
# The sanitizer's allocator parks freed memory in quarantine, so resident
# memory grows there whatever the module does (its leak checker covers that run).
with open("/proc/self/maps") as _maps:
    SANITIZED = re.search(r"libasan|clang_rt\.asan", _maps.read()) is not None
# Under the sanitizer every call and error path is checked on its first
# round; the many rounds that make a slow leak show are the plain run's.
ROUNDS = 300 if SANITIZED else max(300, int(3000 * SCALE))
BIG = bytes(range(256)) * 256  # 64 KiB: copies that are never freed show in resident memory


class Index:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error:
            raise self.error()  # a fresh exception: re-raising one would grow its traceback
        return self.value


class Reentrant:
    """An obj_id and sequence key whose conversion calls back into the writer
    converting it; each inner call must hit the borrow and fail."""

    def __init__(self, writer):
        self.writer = writer

    def reenter(self, result):
        for call, message in ((lambda: self.writer.add_object_raw(BIG), "Already borrowed"),
                              (lambda: repr(self.writer), "Already mutably borrowed")):
            with pytest.raises(RuntimeError, match=f"^{message}$"):
                call()
        return result

    def __index__(self):
        return self.reenter(0)

    def __len__(self):
        return self.reenter(3)

    def __getitem__(self, i):
        return b"key"[i]

    def __iter__(self):
        return self.reenter(iter(b"key"))


class RaisingIterable(list):
    def __iter__(self):
        raise KeyError("no iteration")


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    good = sorted_store([BIG, b"small", b""], [("big", 0), ("shared1", 1), ("shared2", 1), ("empty", 2)]
                        + [(f"k{i:03d}", 1) for i in range(500)])
    bad, crc, many = StoreFile(), StoreFile(), StoreFile()
    big, huge = bad.add_object(BIG), bad.add_object(b"", length=0xFFFFFFFF)
    bad.add_key("a", big).add_key("b", 2**64 - 1).add_key("c", huge)
    crc.add_key("a", crc.add_object(BIG)).add_key("b", crc.add_object(BIG[:999], crc=7))
    for i in range(1000):  # a long index that fails at its end
        many.add_key(f"{i:040d}", 40)
    files = {"good": good.build(), "bad": bad.build(), "crc": crc.build(),
             "filecrc": good.build(file_crc32=1), "small": b"VLKS\x02", "magic": bytes(40),
             "version": good.build(version=3), "keylen": many.build(num_keys=1001),
             "keyoff": good.build(index_offset=len(good.build()) - 2)}
    ns = SimpleNamespace(**{name: str(d / f"{name}.vlks") for name in files})
    for name, blob in files.items():
        (d / f"{name}.vlks").write_bytes(blob)
    (d / "blocked.vlks").mkdir()
    ns.dir, ns.target, ns.blocked = str(d), str(d / "out.vlks"), str(d / "blocked.vlks")
    ns.missing = str(d / ("nothing/" * 400) / "x.vlks")  # a long path inside the message
    ns.surrogate_path, ns.nul_path, ns.bytes_path = str(d / "\udc80"), str(d / "a\0b"), ns.good.encode()
    ns.r, ns.rb = _VelkReader(ns.good), _VelkReader(ns.bad, verify=False)
    ns.rc, ns.rf = _VelkReader(ns.crc, verify=False), _VelkReader(ns.filecrc, verify=False)
    ns.w, ns.wbig = _VelkWriter(), _VelkWriter()
    ns.w.add_object_raw(b"one")
    ns.wbig.add_key("k", ns.wbig.add_object_raw(BIG * 16))
    ns.exc, ns.cause = KeyError("x"), ValueError("cause")

    def type_error():
        error = TypeError("not an index")
        error.__cause__ = ns.cause  # the wrapped error keeps this cause
        return error

    ns.index0, ns.index_big, ns.index_type = Index(0), Index(10**30), Index(error=type_error)
    ns.index_raises, ns.reentrant = Index(error=lambda: ValueError("bad index")), Reentrant(ns.w)
    ns.failing_key, ns.raising_key = [65, 66, ns.index_raises], RaisingIterable([65])
    ns.BIG, ns.bytearray_big, ns.np_true, ns.np_false = BIG, bytearray(BIG), numpy.True_, numpy.False_
    ns.BIG_KEY, ns.SURROGATE_KEY, ns.BAD_LIST_KEY = "k" * 60_000, "k" * 20_000 + "\udc80", [65] * 4000 + [256]
    ns.R, ns.W = _VelkReader, _VelkWriter
    return ns


TYPE, KEY, CORRUPT, IO = (TypeError, ""), (ValueError, "key must be str or bytes$"), \
    (RuntimeError, "VelkCorruptError: "), (OSError, "VelkIOError: ")

# (call on the env namespace, expected error or None, share of ROUNDS)
CASES = [
    ("R(good)", None, 1), ("R(path=good, verify=np_false)", None, 1), ("R(good, np_true)", None, 1),
    ("R(good).__enter__().keys()", None, .3), ("R()", TYPE, 1), ("R(good, True, 1)", TYPE, 1),
    ("R(good, verify=None)", TYPE, 1), ("R(bytes_path)", TYPE, 1), ("R(good, x=1)", TYPE, 1),
    ("R(surrogate_path)", (UnicodeEncodeError, ""), 1), ("R(small)", CORRUPT, 1), ("R(magic)", CORRUPT, 1),
    ("R(version)", (RuntimeError, "VelkVersionError: unsupported version 3$"), 1),
    ("R(filecrc)", CORRUPT, 1), ("R(keylen)", CORRUPT, .3), ("R(keyoff)", CORRUPT, 1),
    ("R(missing)", IO, 1), ("R(dir)", IO, 1), ("R(nul_path)", IO, 1),

    ("r.get_raw('big')", None, 1), ("r.get_raw(BIG_KEY)", None, 1), ("r.exists(BIG_KEY)", None, 1),
    ("r.prefix_raw(prefix='shared')", None, 1), ("r.prefix_raw(BIG_KEY)", None, 1),
    ("r.prefix_raw('')", None, .3), ("r.keys()", None, .3), ("r.items_raw()", None, .3),
    ("r.objects_raw()", None, 1), ("r.stats()", None, 1), ("r.verify()", None, 1), ("r.close()", None, 1),
    ("r.__enter__()", None, 1), ("r.__exit__(KeyError, exc, _exc_tb=None)", None, 1), ("repr(r)", None, 1),
    ("r.get_raw(SURROGATE_KEY)", KEY, 1), ("r.exists(BAD_LIST_KEY)", KEY, 1),
    ("r.prefix_raw(failing_key)", KEY, 1), ("r.get_raw(raising_key)", KEY, 1), ("r.get_raw()", TYPE, 1),
    ("r.get_raw(key=b'a', k=1)", TYPE, 1), ("r.get_raw(b'a', key=b'b')", TYPE, 1), ("r.keys(1)", TYPE, 1),
    ("rb.get_raw('b')", CORRUPT, 1), ("rb.get_raw('c')", CORRUPT, 1), ("rb.prefix_raw('')", CORRUPT, 1),
    ("rb.items_raw()", CORRUPT, 1), ("rb.objects_raw()", CORRUPT, 1), ("rb.verify()", CORRUPT, 1),
    ("rc.verify()", CORRUPT, 1), ("rf.verify()", CORRUPT, 1),

    ("W()", None, 1), ("W().add_object_raw(BIG)", None, 1), ("w.add_key(BIG_KEY, index0)", None, 1),
    ("w.add_key(BAD_LIST_KEY[:-1], False)", None, 1), ("w.add_key(reentrant, reentrant)", None, 1),
    ("repr(w)", None, 1), ("wbig.build(target)", None, .02), ("W(1)", TYPE, 1),
    ("w.add_object_raw(bytearray_big)", TYPE, 1), ("w.add_object_raw(BIG, BIG)", TYPE, 1),
    ("w.add_object_raw(raw_bytes=BIG, x=1)", TYPE, 1), ("w.add_key(key=BIG_KEY)", TYPE, 1),
    ("w.add_key(BIG_KEY, 1)", (ValueError, r"VelkError: obj_id 1 out of range \(have 1 objects\)$"), 1),
    ("w.add_key(BIG_KEY, index_big)", (OverflowError, ""), 1), ("w.add_key(BIG_KEY, -1)", (OverflowError, ""), 1),
    ("w.add_key(BIG_KEY, index_type)", (TypeError, "argument 'obj_id': not an index$"), 1),
    ("w.add_key(BIG_KEY, index_raises)", (ValueError, "bad index$"), 1), ("w.add_key(BIG_KEY, BIG_KEY)", TYPE, 1),
    ("w.add_key(BAD_LIST_KEY, 0)", KEY, 1), ("w.add_key(SURROGATE_KEY, 0)", KEY, 1),
    ("w.add_key(failing_key, 0)", KEY, 1), ("w.add_key(raising_key, 0)", KEY, 1), ("w.add_key(None, 0)", KEY, 1),
    ("w.build(missing)", IO, 1), ("wbig.build(blocked)", IO, .02), ("w.build(nul_path)", IO, 1),
    ("w.build(bytes_path)", TYPE, 1), ("w.build(surrogate_path)", (UnicodeEncodeError, ""), 1),
]


@contextlib.contextmanager
def quiet_stdout():
    """Builds print a summary line straight to descriptor 1."""
    saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def footprint(directory, watched):
    # The interpreter's attribute cache keeps up to 4096 looked-up names alive.
    sys._clear_type_cache()
    gc.collect()
    with open("/proc/self/statm") as statm, open("/proc/self/maps") as maps:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        mappings = maps.read().count(directory)
    return {"refcounts": [sys.getrefcount(o) for o in watched], "fds": len(os.listdir("/proc/self/fd")),
            "mappings": mappings, "traced": tracemalloc.get_traced_memory()[0], "rss": rss}


def run(call, expected, rounds):
    for _ in range(rounds):
        try:
            call()
        except expected[0] if expected else ():
            pass


@pytest.mark.parametrize("source, expected, share", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leave_nothing_behind(env, source, expected, share):
    namespace = dict(vars(env))
    call = eval(f"lambda: ({source})", namespace)
    names = [n for n in call.__code__.co_names if n in namespace]
    watched = [namespace[n] for n in names] + [env.cause]
    rounds = max(20, int(ROUNDS * share))
    with quiet_stdout():
        try:
            call()
        except Exception as exc:
            assert expected and type(exc) is expected[0] and re.match(expected[1], str(exc)), repr(exc)
        else:
            assert expected is None, "no error raised"
        tracemalloc.start()
        try:
            run(call, expected, rounds // 4)  # warm-up: caches, free lists, heap growth
            before = footprint(env.dir, watched)
            run(call, expected, rounds)
            after = footprint(env.dir, watched)
        finally:
            tracemalloc.stop()
    growth = {k: after[k] - before[k] for k in ("fds", "mappings", "traced", "rss")}
    print(f"{source}: {rounds} rounds, growth {growth}")
    assert after["refcounts"] == before["refcounts"], names + ["cause"]
    assert (growth["fds"], growth["mappings"]) == (0, 0)
    assert growth["traced"] < 16 * 1024
    if not SANITIZED:
        assert growth["rss"] < 2 * 1024 * 1024
