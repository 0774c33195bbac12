"""compress="zstd" against the same store uncompressed, in processor time:
the figures of bench/compression.py taken so that other work on a shared
machine disturbs them little.

    .venv/bin/python bench/compression_cpu.py [--scale-mb MB] [documents records short random]

Each operation runs in alternating rounds (plain, compressed, plain, …);
the figure is the least processor time of the rounds (process_time, so the
two-thread build counts both threads' time).

With --scale-mb, each data set is copied until its values come to about
MB mebibytes (each copy's values told apart by a "copy" field, so that
de-duplication does not fold them), and 3 rounds measure the build (in
processor and wall time) and 200,000 random lookups and a full scan (in
processor time): the data sets alone are a few megabytes at most, which
the processor's cache holds whole and a dictionary's training outweighs.
"""

from __future__ import annotations

import os
import random
import sys
import tempfile
import time
from collections.abc import Callable

import msgpack  # type: ignore[import-untyped]

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compression as C  # noqa: E402

from velkstore import VelkReader, VelkWriter  # noqa: E402

ROUNDS = 15


def cpu(fn: Callable[[], object]) -> float:
    t = time.process_time()
    fn()
    return time.process_time() - t


def scaled(values: dict[str, bytes], mb: float) -> dict[str, bytes]:
    copies = max(1, round(mb * 2**20 / sum(map(len, values.values()))))
    out = {}
    for j in range(copies):
        for k, v in values.items():
            d = msgpack.unpackb(v)
            out[f"{k}/{j}"] = msgpack.packb({**d, "copy": j} if isinstance(d, dict) else [d, j])
    return out


def at_scale(names: list[str], mb: float, tmp: str) -> None:
    print("| data set | keys | build | build (wall) | get | get_many | scan |\n|---|---|---|---|---|---|---|")
    for name in names:
        enc = scaled({k: msgpack.packb(v) for k, v in C.DATA[name]().items()}, mb)
        keys = list(enc)
        random.Random(1).shuffle(keys)
        enc = {k: enc[k] for k in keys}
        best: dict[tuple[str, str], float] = {}
        for _ in range(3):
            for c in ("plain", "zstd"):
                w0, c0 = time.perf_counter(), time.process_time()
                with VelkWriter(os.path.join(tmp, f"{name}-{c}.vlks"), compress=None if c == "plain" else "zstd") as w:
                    w.update_raw(enc)
                for what, t in (("build", time.process_time() - c0), ("build (wall)", time.perf_counter() - w0)):
                    best[c, what] = min(best.get((c, what), t), t)
        readers = {c: VelkReader(os.path.join(tmp, f"{name}-{c}.vlks")) for c in ("plain", "zstd")}
        fresh = [k.encode().decode() for k in keys[:200_000]]
        for _ in range(3):
            for c, r in readers.items():
                ops = {
                    "get": lambda: [r.get(k) for k in fresh],
                    "get_many": lambda: [r.get_many(fresh[i:i + 1000]) for i in range(0, len(fresh), 1000)],
                    "scan": lambda: [None for _ in r.items()],
                }
                for op, fn in ops.items():
                    t = cpu(fn)
                    best[c, op] = min(best.get((c, op), t), t)
        cells = [f"{best['zstd', w] / best['plain', w]:.2f}x ({best['plain', w]:.2f} → {best['zstd', w]:.2f} s)"
                 for w in ("build", "build (wall)", "get", "get_many", "scan")]
        print(f"| {name} | {len(enc):,} | " + " | ".join(cells) + " |", flush=True)


def main() -> None:
    tmp = tempfile.mkdtemp()
    args = sys.argv[1:]
    if args[:1] == ["--scale-mb"]:
        at_scale(args[2:] or list(C.DATA), float(args[1]), tmp)
        print(f"\nLoad average at the end: {os.getloadavg()[0]:.1f}")
        return
    print("| data set | build | get | get_raw | get_many | scan |\n|---|---|---|---|---|---|")
    for name in args or list(C.DATA):
        enc = {k: msgpack.packb(v) for k, v in C.DATA[name]().items()}
        keys = list(enc)
        random.Random(1).shuffle(keys)
        paths = {c: os.path.join(tmp, f"{name}-{c}.vlks") for c in ("plain", "zstd")}

        def build(c: str) -> None:
            with VelkWriter(paths[c], compress=None if c == "plain" else "zstd") as w:
                w.update_raw(enc)

        res: dict[tuple[str, str], list[float]] = {}
        for _ in range(ROUNDS):
            for c in paths:
                res.setdefault((c, "build"), []).append(cpu(lambda: build(c)))
        readers = {c: VelkReader(p) for c, p in paths.items()}
        for _ in range(ROUNDS):
            for c, r in readers.items():
                fresh = [k.encode().decode() for k in keys]
                ops = {
                    "get": lambda: [r.get(k) for k in fresh],
                    "get_raw": lambda: [r.get_raw(k) for k in fresh],
                    "get_many": lambda: [r.get_many(fresh[i:i + 1000]) for i in range(0, len(fresh), 1000)],
                    "scan": lambda: [None for _ in r.items()],
                }
                for op, fn in ops.items():
                    res.setdefault((c, op), []).append(cpu(fn))
        cells = []
        for op in ("build", "get", "get_raw", "get_many", "scan"):
            a, b = min(res["plain", op]), min(res["zstd", op])
            cells.append(f"{b / a:.2f}x ({a * 1e3:.1f} → {b * 1e3:.1f} ms)")
        print(f"| {name} | " + " | ".join(cells) + " |", flush=True)
    print(f"\nLoad average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
