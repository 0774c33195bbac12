"""compress="zstd" against the same store uncompressed, in processor time:
the figures of bench/compression.py taken so that other work on a shared
machine disturbs them little.

    .venv/bin/python bench/compression_cpu.py [documents records short random]

Each operation runs in alternating rounds (plain, compressed, plain, …);
the figure is the least processor time of the rounds (process_time, so the
two-thread build counts both threads' time).
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


def main() -> None:
    tmp = tempfile.mkdtemp()
    print("| data set | build | get | get_raw | get_many | scan |\n|---|---|---|---|---|---|")
    for name in sys.argv[1:] or list(C.DATA):
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
