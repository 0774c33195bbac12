"""The package's own face against the spec module and plain Python loops.

    .venv/bin/python bench/package_face.py [--keys N] [--big N] [--pairs N] [--reps R]

Each row times two things side by side in one process, alternating, and
reports medians and their ratio.  Stores are written to a temporary
directory and removed afterwards.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import threading
import time
from collections.abc import Callable

import msgpack

import _velkstore
from velkstore import VelkReader, VelkWriter


def timed(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def side_by_side(reps: int, a: Callable[[], object], b: Callable[[], object]) -> tuple[float, float]:
    ta, tb = [], []
    for i in range(reps):
        for which, fn, out in ((0, a, ta), (1, b, tb)) if i % 2 == 0 else ((1, b, tb), (0, a, ta)):
            out.append(timed(fn))
    return statistics.median(ta), statistics.median(tb)


def row(name: str, a: float, b: float, unit: str, goal: str) -> None:
    """One table row; the ratio is package / reference (for rates: higher is better)."""
    print(f"| {name} | {a:.4g} {unit} | {b:.4g} {unit} | {a / b:.2f}x | {goal} |", flush=True)


def make_store(path: str, n: int, value: Callable[[int], object]) -> list[str]:
    keys = [f"user:{i:09d}" for i in range(n)]
    w = VelkWriter()
    w.update(zip(keys, map(value, range(n))))
    w.build(path)
    w.close()
    return keys


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=1_000_000, help="store size for lookups")
    ap.add_argument("--big", type=int, default=10_000_000, help="store size for batch lookups and scans")
    ap.add_argument("--pairs", type=int, default=5_000_000, help="pairs per update build")
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()
    reps = args.reps
    rng = random.Random(1)
    tmp = tempfile.mkdtemp(prefix="velk-bench-")
    print("| row | package | reference | ratio | goal |\n|---|---|---|---|---|")
    try:
        # -- single lookups ------------------------------------------------
        path = os.path.join(tmp, "small.vlks")
        keys = make_store(path, args.keys, lambda i: {"id": i, "name": "user", "tags": ["a", "b"]})
        r = VelkReader(path)
        old = _velkstore._VelkReader(path)
        # Short passes, many of them: on a shared machine a burst of other
        # work then spoils single passes of either side, not the medians.
        asked = [rng.choice(keys) for _ in range(50_000)]
        per = 1e9 / len(asked)

        def loop(f: Callable[[str], object]) -> Callable[[], None]:
            def run() -> None:
                for k in asked:
                    f(k)
            return run

        lreps = 6 * reps + 1
        a, b = side_by_side(lreps, loop(r.get_raw), loop(old.get_raw))
        row("get_raw(k) vs _VelkReader.get_raw(k)", a * per, b * per, "ns", "≤ 1.15x")
        unpackb = msgpack.unpackb
        get_raw = r.get_raw

        def subscript() -> None:
            for k in asked:
                r[k]

        def raw_then_unpack() -> None:
            for k in asked:
                unpackb(get_raw(k))

        a, b = side_by_side(lreps, subscript, raw_then_unpack)
        row("r[k] vs unpackb(get_raw(k))", a * per, b * per, "ns", "≤ 1.3x")
        r.close()

        # -- update / build rates -------------------------------------------
        # The reference is the package as it was: a Python loop encoding each
        # value, de-duplicating through a dict and staging through _VelkWriter.
        n = args.pairs
        blob = os.urandom(100)
        out = os.path.join(tmp, "u.vlks")

        def build_update(p: dict[str, object]) -> Callable[[], None]:
            def run() -> None:
                w = VelkWriter()
                w.update(p)
                w.build(out)
                w.close()
            return run

        def build_old(p: dict[str, object]) -> Callable[[], None]:
            def run() -> None:
                w = _velkstore._VelkWriter()
                ids: dict[bytes, int] = {}
                for k, v in p.items():
                    raw = msgpack.packb(v, use_bin_type=True)
                    obj = ids.get(raw)
                    if obj is None:
                        obj = ids[raw] = w.add_object_raw(raw)
                    w.add_key(k.encode(), obj)
                saved = os.dup(1)  # the spec module prints a summary line
                null = os.open(os.devnull, os.O_WRONLY)
                os.dup2(null, 1)
                try:
                    w.build(out)
                finally:
                    os.dup2(saved, 1)
                    os.close(saved)
                    os.close(null)
            return run

        urep = max(3, reps // 2)
        pairs: dict[str, object] = {f"user:{i:09d}": blob[:99] + bytes([i % 256]) for i in range(n)}
        a, b = side_by_side(urep, build_update(pairs), build_old(pairs))
        row(f"update+build, {n:,} (str, 100-byte bytes) pairs: M pairs/s", n / a / 1e6, n / b / 1e6, "M/s",
            "≥ 1 M/s")
        del pairs
        small: dict[str, object] = {f"user:{i:09d}": {"id": i, "plan": "free", "n": i % 7} for i in range(n)}
        a, b = side_by_side(urep, build_update(small), build_old(small))
        row(f"update+build, {n:,} small dict values: k pairs/s", n / a / 1e3, n / b / 1e3, "k/s", "≥ 400 k/s")
        del small

        # -- batch lookups and scans on the big store ------------------------
        path = os.path.join(tmp, "big.vlks")
        keys = make_store(path, args.big, lambda i: b"x" * 20)
        r = VelkReader(path, verify=False)
        batch = [rng.choice(keys) for _ in range(1_000_000)]
        get_raw = r.get_raw
        a, b = side_by_side(reps, lambda: r.get_many_raw(batch), lambda: [get_raw(k) for k in batch])
        row(f"get_many_raw(1M keys), {args.big:,}-key store vs get_raw loop", a, b, "s", "≤ 0.3x")

        def two_threads() -> None:
            ts = [threading.Thread(target=r.get_many_raw, args=(batch,)) for _ in range(2)]
            for th in ts:
                th.start()
            for th in ts:
                th.join()

        one, two = side_by_side(reps, lambda: r.get_many_raw(batch), two_threads)
        print(f"| get_many_raw, two threads vs one (throughput) | {2 * one / two:.2f}x | | | ≥ 1.6x |")

        first = statistics.median(timed(lambda: next(iter(r))) for _ in range(reps)) * 1e6
        mid = keys[len(keys) // 2][:-2]  # a prefix of 100 keys in the middle
        first_p = statistics.median(timed(lambda: next(r.prefix(mid))) for _ in range(reps)) * 1e6
        print(f"| next(iter(r)) / first item of r.prefix(p), {args.big:,} keys | {first:.1f} µs / {first_p:.1f} µs | | | < 1000 µs |")
        old = _velkstore._VelkReader(path, False)

        def iterate_new() -> None:
            for _ in r:
                pass

        def iterate_old() -> None:
            for _ in old.keys():
                pass

        a, b = side_by_side(reps, iterate_new, iterate_old)
        row(f"for k in r vs for k in _VelkReader.keys(), {args.big:,} keys", a, b, "s", "speed ≥ 0.8x (time ≤ 1.25x)")
    finally:
        for name in os.listdir(tmp):
            os.unlink(os.path.join(tmp, name))
        os.rmdir(tmp)
    return 0


if __name__ == "__main__":
    sys.exit(main())
