"""Reads of a sharded store side by side with one store file of the same
pairs: full scans, prefix scans and lookups of absent keys.

    .venv/bin/python bench/sharded_reads.py [--pairs 1000000] [--shards 8] [--reps 5]

Both stores are built once (in this process); each measurement then
alternates between them --reps times and the figures are medians of the
processor time, with the sharded store's time over one file's as the
ratio (and the least of the per-round ratios beside it).  Prints a
Markdown table for bench/SHARDED.md, with the load average before and
after the measurements.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any


def pairs(n: int) -> Any:
    for i in range(n):
        yield f"key:{i:010d}", {"i": i, "pad": "x" * 20}


def timed(fn: Callable[[], object]) -> float:
    t = time.process_time()
    fn()
    return time.process_time() - t


def drain(it: Any) -> None:
    for _ in it:
        pass


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pairs", type=int, default=1_000_000)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--queries", type=int, default=200_000)
    args = ap.parse_args()
    from velkstore import ShardedReader, ShardedWriter, VelkReader, VelkWriter

    work = tempfile.mkdtemp(prefix="velk-sharded-reads-")
    try:
        single, sharded = os.path.join(work, "one.vlks"), os.path.join(work, "st")
        with VelkWriter(single) as w:
            w.update(pairs(args.pairs))
        with ShardedWriter(sharded, args.shards) as sw:
            sw.update(pairs(args.pairs))
        rng = random.Random(7)
        misses = [f"key:{rng.randrange(args.pairs):010d}x" for _ in range(args.queries)]
        # A prefix of a tenth of the keys (at the default size).
        prefix = f"key:{args.pairs // 10:010d}"[:-6]
        one, many = VelkReader(single), ShardedReader(sharded)
        cases: list[tuple[str, Callable[[Any], object], int]] = [
            ("iter (str keys)", lambda r: drain(iter(r)), args.pairs),
            ("items() decoded", lambda r: drain(r.items()), args.pairs),
            ("items_bytes(raw=True)", lambda r: drain(r.items_bytes(raw=True)), args.pairs),
            ("prefix() decoded", lambda r: drain(r.prefix(prefix)), sum(1 for _ in one.prefix(prefix))),
            ("get_raw, absent keys", lambda r: [r.get_raw(k) for k in misses], args.queries),
            ("get, absent keys", lambda r: [r.get(k) for k in misses], args.queries),
            ("k in r, absent keys", lambda r: [k in r for k in misses], args.queries),
            ("get_many_raw, absent keys", lambda r: r.get_many_raw(misses), args.queries),
        ]
        rows = []
        load_before = os.getloadavg()
        for label, fn, count in cases:
            times: dict[str, list[float]] = {"1": [], "N": []}
            for _ in range(args.reps):
                times["1"].append(timed(lambda: fn(one)))
                times["N"].append(timed(lambda: fn(many)))
            a, b = statistics.median(times["1"]), statistics.median(times["N"])
            least = min(n / o for o, n in zip(times["1"], times["N"]))
            rows.append((label, b / count * 1e9, a / count * 1e9, b / a, least))
            print(label, f"{b / a:.2f}x", file=sys.stderr, flush=True)
        load_after = os.getloadavg()
        assert list(one.prefix(prefix)) == list(many.prefix(prefix))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"`bench/sharded_reads.py {' '.join(sys.argv[1:])}`".replace("` ", "`").strip())
    print()
    print(
        f"{args.pairs:,} pairs (str key, small dict value), {args.shards} shards; processor time, medians of"
        f" {args.reps} alternating passes; load average {load_before[0]:.1f} before, {load_after[0]:.1f} after."
    )
    print()
    print("| operation | sharded ns/key | one file ns/key | ratio of medians | least round ratio |")
    print("|---|---|---|---|---|")
    for label, b, a, ratio, least in rows:
        print(f"| {label} | {b:,.0f} | {a:,.0f} | {ratio:.2f}x | {least:.2f}x |")


if __name__ == "__main__":
    main()
