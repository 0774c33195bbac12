"""Sharded stores side by side with one store file: build throughput and
peak memory (one process through `update`, `ShardedWriter`, Dask on a
two-worker LocalCluster) and lookups (`get_raw`, `get_many_raw`).

    .venv/bin/python bench/sharded.py [--pairs 10000000] [--shards 8]

Each build runs in a fresh process, so its peak resident memory (VmHWM) is
its own; the builds rotate through --reps rounds and the figures are
medians.  Writes bench/SHARDED.md and the "Sharded stores" section of
bench/README.md.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
SECTION = "## Sharded stores"


def pairs(lo: int, hi: int) -> Iterator[tuple[str, bytes]]:
    # Distinct 100-byte values, so nothing is de-duplicated away.
    for i in range(lo, hi):
        yield f"key:{i:010d}", (b"%010d" % i) * 10


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


# -- the builds, each in its own process ------------------------------------------


def child(mode: str, n: int, out: str, shards: int, partitions: int) -> dict[str, float]:
    from velkstore import ShardedWriter, VelkWriter

    if mode == "single":
        t = time.perf_counter()
        w = VelkWriter()
        w.update(pairs(0, n))
        w.build(out)
        return {"seconds": time.perf_counter() - t, "peak": peak_rss()}
    if mode == "sharded":
        t = time.perf_counter()
        with ShardedWriter(out, shards) as sw:
            sw.update(pairs(0, n))
        return {"seconds": time.perf_counter() - t, "peak": peak_rss()}
    assert mode == "dask"
    import dask.bag as db
    import distributed

    from velkstore.dask import to_velkstore

    t0 = time.perf_counter()
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", memory_limit="8GiB"
    ) as cluster, distributed.Client(cluster):
        start = time.perf_counter() - t0
        step = -(-n // partitions)
        ranges = [(lo, min(lo + step, n)) for lo in range(0, n, step)]
        # The pairs are made inside the partitions, on the workers.
        bag = db.from_sequence(ranges, npartitions=len(ranges)).map_partitions(
            lambda rs: (p for lo, hi in rs for p in pairs(lo, hi))
        )
        t = time.perf_counter()
        to_velkstore(bag, out, shards)
        return {"seconds": time.perf_counter() - t, "cluster_start": start, "peak": peak_rss()}


def run_child(args: argparse.Namespace, mode: str, out: str) -> dict[str, float]:
    cmd = [sys.executable, os.path.abspath(__file__), "--child", mode, "--pairs", str(args.pairs),
           "--shards", str(args.shards), "--partitions", str(args.partitions), "--out", out]
    proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
    if proc.returncode != 0 or not lines:
        sys.exit(f"{mode} build failed:\n{proc.stderr[-3000:]}")
    result: dict[str, float] = json.loads(lines[-1])
    return result


# -- lookups ------------------------------------------------------------------------


def lookups(single_path: str, sharded_dir: str, n: int, queries: int, reps: int) -> dict[str, list[float]]:
    from velkstore import ShardedReader, VelkReader

    rng = random.Random(7)
    keys = [f"key:{rng.randrange(n):010d}" for _ in range(queries)]
    one, many = VelkReader(single_path), ShardedReader(sharded_dir)
    times: dict[str, list[float]] = {k: [] for k in ("get_raw 1", "get_raw N", "get_many_raw 1", "get_many_raw N")}
    for _ in range(reps):
        for label, r in (("1", one), ("N", many)):
            get = r.get_raw
            t = time.perf_counter()
            for k in keys:
                get(k)
            times[f"get_raw {label}"].append((time.perf_counter() - t) / queries)
            t = time.perf_counter()
            r.get_many_raw(keys)
            times[f"get_many_raw {label}"].append((time.perf_counter() - t) / queries)
    assert one.get_many_raw(keys[:1000]) == many.get_many_raw(keys[:1000])
    return times


# -- the report ---------------------------------------------------------------------


def report(args: argparse.Namespace, builds: dict[str, list[dict[str, float]]], look: dict[str, list[float]]) -> str:
    med = statistics.median

    def secs(mode: str) -> float:
        return med(b["seconds"] for b in builds[mode])

    def peak(mode: str) -> float:
        return med(b["peak"] for b in builds[mode])

    n = args.pairs
    single, sharded, dask = secs("single"), secs("sharded"), secs("dask")
    rows = [
        ("Dask, 2-worker LocalCluster: pairs/s vs one process", f"{n / dask:,.0f} vs {n / single:,.0f} pairs/s",
         single / dask, ">= 1.5x", single / dask >= 1.5),
        ("ShardedWriter build time vs one file", f"{sharded:.1f} s vs {single:.1f} s", sharded / single,
         "<= 1.3x", sharded / single <= 1.3),
        ("ShardedWriter peak memory vs one file", f"{peak('sharded') / 2**20:,.0f} MiB vs {peak('single') / 2**20:,.0f} MiB",
         peak("sharded") / peak("single"), "< 0.35x", peak("sharded") / peak("single") < 0.35),
    ]
    for op, goal in (("get_raw", 1.2), ("get_many_raw", 1.1)):
        one, many = med(look[f"{op} 1"]), med(look[f"{op} N"])
        rows.append((f"ShardedReader.{op} vs one store", f"{many * 1e9:,.0f} vs {one * 1e9:,.0f} ns/key",
                     many / one, f"<= {goal}x", many / one <= goal))
    cluster = med(b["cluster_start"] for b in builds["dask"])
    lines = [
        SECTION,
        "",
        f"`{args.command}`",
        "",
        f"{n:,} pairs of (str key, 100-byte bytes value), {args.shards} shards, {args.reps} rounds of the three",
        f"builds in rotating order, each in a fresh process (medians); lookups of {args.queries:,} random keys,",
        f"{max(args.reps, 5)} passes alternating between the stores. The machine has 2 cores shared with five other",
        "engineers' builds and tests, so absolute figures are noisy; the ratios are measured side by side.",
        f"The Dask figure is the build alone; starting the cluster took a further {cluster:.1f} s.",
        "",
        "| goal | measured | ratio | target | met |",
        "|---|---|---|---|---|",
    ]
    for what, measured, ratio, target, met in rows:
        lines.append(f"| {what} | {measured} | {ratio:.2f}x | {target} | {'met' if met else '**missed**'} |")
    rounds = list(zip(builds["single"], builds["sharded"], builds["dask"]))
    lines += [
        "",
        "Per round, one file's build time over the Dask build's: "
        + ", ".join(f"{a['seconds'] / c['seconds']:.2f}x" for a, _, c in rounds)
        + "; ShardedWriter's over one file's: "
        + ", ".join(f"{b['seconds'] / a['seconds']:.2f}x" for a, b, _ in rounds)
        + ".",
        "",
    ]
    return "\n".join(lines)


def write_section(text: str) -> None:
    with open(os.path.join(HERE, "SHARDED.md"), "w") as f:
        f.write(text + "\n")
    path = os.path.join(HERE, "README.md")
    with open(path) as f:
        readme = f.read()
    start = readme.find(SECTION)
    if start >= 0:
        end = readme.find("\n## ", start + len(SECTION))
        readme = readme[:start] + readme[end + 1 if end >= 0 else len(readme):]
    at = readme.find("## Profile")
    at = len(readme) if at < 0 else at
    readme = readme[:at] + text + "\n" + readme[at:]
    with open(path, "w") as f:
        f.write(readme)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pairs", type=int, default=10_000_000)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--partitions", type=int, default=16, help="bag partitions of the Dask build")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--queries", type=int, default=200_000)
    ap.add_argument("--no-write", action="store_true", help="print the section, leave the files alone")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.pairs, args.out, args.shards, args.partitions)))
        return
    args.command = " ".join(["bench/sharded.py", *sys.argv[1:]]).replace(" --no-write", "")
    work = tempfile.mkdtemp(prefix="velk-sharded-bench-")
    try:
        builds: dict[str, list[dict[str, float]]] = {"single": [], "sharded": [], "dask": []}
        modes = list(builds)
        for rep in range(args.reps):
            for mode in modes[rep % 3:] + modes[:rep % 3]:
                out = os.path.join(work, mode + (".vlks" if mode == "single" else ""))
                builds[mode].append(run_child(args, mode, out))
                print(mode, builds[mode][-1], file=sys.stderr, flush=True)
        look = lookups(os.path.join(work, "single.vlks"), os.path.join(work, "sharded"), args.pairs,
                       args.queries, max(args.reps, 5))
        text = report(args, builds, look)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(text)
    if not args.no_write:
        write_section(text)


if __name__ == "__main__":
    main()
