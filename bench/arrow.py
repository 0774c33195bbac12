"""Arrow lookups and builds against their list and dict counterparts, side by side.

    .venv/bin/python bench/arrow.py [--big N] [--batch N] [--rows N] [--reps R] [--cpu]

Prints markdown rows for bench/README.md: get_many_arrow against
get_many_raw on the same random keys of a --big-key store, two threads on
one reader against one, and update_arrow against update over the same
--rows rows of a 4-column table (key and three value columns), given as a
table and as dicts.  Timings alternate which side goes first; figures are
medians.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import sys
import tempfile
import threading
import time
from collections.abc import Callable

import pyarrow as pa

from velkstore import VelkReader, VelkWriter


# The clock of the single-thread rows: wall time, or with --cpu this
# thread's CPU time (steadier on a shared, loaded machine; the lookups run
# in the calling thread, the global lock let go, so it counts them).
clock = time.perf_counter


def timed(fn: Callable[[], object]) -> float:
    t0 = clock()
    fn()
    return clock() - t0


def wall(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def side_by_side(
    reps: int, a: Callable[[], object], b: Callable[[], object], how: Callable[[Callable[[], object]], float] = timed
) -> tuple[float, float]:
    ta, tb = [], []
    for i in range(reps):
        for fn, out in ((a, ta), (b, tb)) if i % 2 == 0 else ((b, tb), (a, ta)):
            out.append(how(fn))
    return statistics.median(ta), statistics.median(tb)


def row(name: str, a: float, b: float, unit: str, goal: str) -> None:
    print(f"| {name} | {a:.4g} {unit} | {b:.4g} {unit} | {a / b:.2f}x | {goal} |", flush=True)


def lookups(tmp: str, n: int, batch_size: int, reps: int) -> None:
    path = os.path.join(tmp, "big.vlks")
    keys = [f"user:{i:09d}" for i in range(n)]
    w = VelkWriter()
    w.update(zip(keys, (b"x" * 20 for _ in range(n))))
    w.build(path)
    w.close()
    r = VelkReader(path, verify=False)
    rng = random.Random(7)
    batch = [rng.choice(keys) for _ in range(batch_size)]
    del keys
    arrow_batch = pa.array(batch, pa.string())
    assert r.get_many_arrow(arrow_batch).to_pylist() == r.get_many_raw(batch)
    a, b = side_by_side(reps, lambda: r.get_many_arrow(arrow_batch), lambda: r.get_many_raw(batch))
    row(f"get_many_arrow vs get_many_raw, {batch_size:,} random keys, {n:,}-key store", a, b, "s", "≤ 0.5x")
    a, b = side_by_side(reps, lambda: r.get_many_arrow(batch), lambda: r.get_many_raw(batch))
    row("get_many_arrow(list of str) vs get_many_raw", a, b, "s", "")

    def two(fn: Callable[[], object]) -> Callable[[], None]:
        def run() -> None:
            ts = [threading.Thread(target=fn) for _ in range(2)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        return run

    # Throughput needs wall time, whatever the clock.
    one, both = side_by_side(
        reps, lambda: r.get_many_arrow(arrow_batch), two(lambda: r.get_many_arrow(arrow_batch)), wall
    )
    print(f"| get_many_arrow, two threads vs one (throughput) | {2 * one / both:.2f}x | | | ≥ 1.8x |", flush=True)
    one, both = side_by_side(reps, lambda: r.get_many_raw(batch), two(lambda: r.get_many_raw(batch)), wall)
    print(f"| get_many_raw, two threads vs one (throughput) | {2 * one / both:.2f}x | | | |", flush=True)
    r.close()


def table_part(start: int, n: int) -> pa.Table:
    ids = pa.array([f"row:{i:09d}" for i in range(start, start + n)], pa.string())
    return pa.table({
        "id": ids,
        "count": pa.array(range(start, start + n), pa.int64()),
        "score": pa.array([i * 0.5 for i in range(start, start + n)], pa.float64()),
        "name": pa.array([f"name {i % 100000}" for i in range(start, start + n)], pa.string()),
    })


def builds(rows: int, part_rows: int, reps: int) -> None:
    # Parts of the table at a time, so that the dicts of 10M rows never
    # all live at once; the writer holds every row, as a build would.
    parts = [(s, min(part_rows, rows - s)) for s in range(0, rows, part_rows)]
    t_arrow, t_dicts = [], []
    for rep in range(reps):
        order = ("arrow", "dicts") if rep % 2 == 0 else ("dicts", "arrow")
        for which in order:
            w = VelkWriter()
            total = 0.0
            for start, n in parts:
                table = table_part(start, n)
                if which == "arrow":
                    gc.collect()
                    total += timed(lambda: w.update_arrow(table, "id"))
                else:
                    dicts = {row.pop("id"): row for row in table.to_pylist()}
                    # The heap the dicts left behind is collected before,
                    # not during, the timed call.
                    gc.collect()
                    total += timed(lambda: w.update(dicts))
                    del dicts
            w.close()
            (t_arrow if which == "arrow" else t_dicts).append(total)
    print(f"builds (s): arrow {[round(t, 3) for t in t_arrow]}, dicts {[round(t, 3) for t in t_dicts]}",
          file=sys.stderr, flush=True)
    a, b = statistics.median(t_arrow), statistics.median(t_dicts)
    row(f"update_arrow vs update of dicts, {rows:,} rows x 4 columns: M rows/s", rows / a / 1e6, rows / b / 1e6,
        "M/s", "≥ 2x")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--big", type=int, default=10_000_000, help="store size for the lookups")
    ap.add_argument("--batch", type=int, default=1_000_000, help="keys per batch lookup")
    ap.add_argument("--rows", type=int, default=10_000_000, help="rows of the build table")
    ap.add_argument("--part", type=int, default=1_000_000, help="rows per part of the build table")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--build-reps", type=int, default=3)
    ap.add_argument("--cpu", action="store_true", help="time single-thread rows by thread CPU time")
    ap.add_argument("--skip-lookups", action="store_true")
    ap.add_argument("--skip-builds", action="store_true")
    args = ap.parse_args()
    if args.cpu:
        global clock
        clock = time.thread_time
    print("| row | arrow | list/dict | ratio | goal |\n|---|---|---|---|---|", flush=True)
    if not args.skip_lookups:
        with tempfile.TemporaryDirectory() as tmp:
            lookups(tmp, args.big, args.batch, args.reps)
    if not args.skip_builds:
        builds(args.rows, args.part, args.build_reps)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
