"""One reader shared by many threads answers exactly as it does for one; a
writer used from several threads keeps a state that matches its successful
calls, borrow conflicts being the only failures."""
import os
import random
import re
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from _velkstore import _VelkReader, _VelkWriter
from storefile import sorted_store

SCALE = float(os.environ.get("VELK_STRESS_SCALE", "1"))
THREADS = 8


@pytest.fixture
def fast_switching():
    """Hands the interpreter lock over as often as possible."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def run_threads(count, work):
    """Runs work(0) .. work(count - 1) at once; re-raises a thread's failure."""
    start = threading.Barrier(count)

    def body(n):
        start.wait()
        return work(n)

    with ThreadPoolExecutor(count) as pool:
        return list(pool.map(body, range(count)))


def test_shared_reader_answers_as_for_one_thread(tmp_path, fast_switching):
    rng = random.Random(11)
    objects = [rng.randbytes(rng.choice([0, 3, 40, 700])) for _ in range(300)]
    keys = {f"user:{i:05d}".encode() for i in range(1500)} | {rng.randbytes(rng.randint(0, 6)) for _ in range(500)}
    bindings = [(k, rng.randrange(len(objects))) for k in sorted(keys)]
    path = sorted_store(objects, bindings).write(tmp_path / "shared.vlks")
    r = _VelkReader(path)
    model = dict(bindings)

    queries = [(r.keys, ()), (r.items_raw, ()), (r.objects_raw, ()), (r.stats, ()), (r.verify, ()),
               (r.close, ()), (r.__enter__, ()), (repr, (r,)),
               (lambda p: _VelkReader(p, verify=False).prefix_raw("user:0001"), (path,))]
    for key in rng.sample(sorted(keys), 150) + [rng.randbytes(7) for _ in range(30)]:
        queries += [(r.get_raw, (key,)), (r.exists, (key,)), (r.prefix_raw, (key[:2],))]
    expected = [call(*args) for call, args in queries]
    assert expected[0] == [k.decode("utf-8", "replace") for k in sorted(keys)]
    assert all(expected[i] == objects[model[a[0]]] if a[0] in model else expected[i] is None
               for i, (c, a) in enumerate(queries) if c == r.get_raw)

    deadline = time.monotonic() + max(0.5, 2.0 * SCALE)

    def work(n):
        pick, runs = random.Random(n), 0
        while time.monotonic() < deadline:
            for i in (pick.randrange(len(queries)) for _ in range(50)):
                call, args = queries[i]
                assert call(*args) == expected[i], (call, args)
                runs += 1
        return runs

    runs = run_threads(THREADS, work)
    print(f"reader: {sum(runs)} calls, per thread {runs}")
    assert min(runs) > 0
    assert [call(*args) for call, args in queries] == expected


BORROW_ERRORS = {"add": "Already borrowed", "shared": "Already mutably borrowed"}


class YieldingId:
    """An obj_id whose conversion may let other threads run while the writer
    is exclusively borrowed, so that their calls meet the borrow."""

    def __init__(self, value, yields):
        self.value, self.yields = value, yields

    def __index__(self):
        if self.yields:
            time.sleep(0)
        return self.value


def test_writer_shared_by_threads(tmp_path, fast_switching):
    w = _VelkWriter()
    payloads = {}      # object id -> payload, for successful add_object_raw calls
    bound = {}         # key -> object id of its last successful binding
    history = {}       # key -> every object id it was bound to
    conflicts = {"add": 0, "shared": 0}
    built = []
    rounds = max(50, int(300 * SCALE))

    def attempt(kind, call, *args):
        try:
            return True, call(*args)
        except RuntimeError as exc:
            assert str(exc) == BORROW_ERRORS[kind], exc
            conflicts[kind] += 1
            return False, None

    def work(n):
        mine = []
        for i in range(rounds):
            ok, obj = attempt("add", w.add_object_raw, f"{n}:{i}".encode() * (i % 7))
            if ok:
                assert obj not in payloads
                payloads[obj] = f"{n}:{i}".encode() * (i % 7)
                mine.append(obj)
            time.sleep(0)  # lets another thread in while the writer is free
            if mine:
                key, obj = f"t{n}:{i % 40}", mine[i % len(mine)]
                if attempt("add", w.add_key, key, YieldingId(obj, i % 3 == 0))[0]:
                    bound[key] = obj
                    history.setdefault(key, set()).add(obj)
            ok, text = attempt("shared", repr, w)
            assert not ok or re.fullmatch(r"_VelkWriter\(objects=\d+, keys=\d+\)", text)
            if i % (rounds // 3) == 0:
                path = str(tmp_path / f"{n}-{i}.vlks")
                if attempt("shared", w.build, path)[0]:
                    built.append(path)

    run_threads(4, work)
    print(f"writer: {len(payloads)} objects, {len(bound)} keys, conflicts {conflicts}, {len(built)} builds")
    assert sorted(payloads) == list(range(len(payloads)))
    assert repr(w) == f"_VelkWriter(objects={len(payloads)}, keys={len(bound)})"
    w.build(str(tmp_path / "final.vlks"))
    objects = [payloads[i] for i in range(len(payloads))]
    assert (tmp_path / "final.vlks").read_bytes() == sorted_store(objects, bound.items()).build()
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(p) for p in built] + ["final.vlks"])
    for path in built:  # snapshots taken while other threads were staging
        r = _VelkReader(path)
        assert r.verify() is True
        assert all(any(payloads[o] == value for o in history[key]) for key, value in r.items_raw())
