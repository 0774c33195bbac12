"""Building from records, and the package's import time, side by side.

    .venv/bin/python bench/records.py [--rows N] [--repeat R] [--imports I]

Makes N rows (default 1M) of an airports-like table (9 text fields, one
key field) as JSON Lines records, CSV and Parquet, and times
`velkstore build --key iata` over each in a subprocess, the three runs
interleaved, R times (default 3).  Goals: CSV at least 0.8x the speed of
JSON Lines, Parquet at least 1.5x.  Then times `python -c "import
velkstore"` against `python -c "import msgpack"`, interleaved, I times
(default 21).  Goal: at most 1.3x.  Medians; writes bench/RECORDS.md,
which bench/report.py includes in bench/README.md.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIELDS = ["id", "iata", "name", "city", "country", "lat", "lon", "alt", "tz"]


def make_inputs(directory: str, n: int) -> dict[str, str]:
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = random.Random(1)
    rows = [
        [str(i), f"A{i:06d}", f"Airport {i} International", f"City{i % 5000}", f"C{i % 200}",
         f"{rng.uniform(-90, 90):.6f}", f"{rng.uniform(-180, 180):.6f}", str(rng.randint(0, 4000)), "Europe/London"]
        for i in range(n)
    ]
    paths = {fmt: os.path.join(directory, f"air.{fmt}") for fmt in ("jsonl", "csv", "parquet")}
    with open(paths["jsonl"], "w") as f:
        f.writelines(json.dumps(dict(zip(FIELDS, r))) + "\n" for r in rows)
    with open(paths["csv"], "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(FIELDS)
        w.writerows(rows)
    pq.write_table(pa.table({k: list(col) for k, col in zip(FIELDS, zip(*rows))}), paths["parquet"])
    return paths


def timed(args: list[str]) -> float:
    return timed_cpu(args)[0]


def timed_cpu(args: list[str]) -> tuple[float, float]:
    """Wall time, and the CPU time (user + system) the process used: on a
    shared machine the second is far less disturbed by other work."""
    start = time.perf_counter()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise subprocess.CalledProcessError(os.waitstatus_to_exitcode(status), args)
    return wall, usage.ru_utime + usage.ru_stime


def import_times(runs: int) -> tuple[dict[str, float], dict[str, float]]:
    """Median wall and CPU times of `python -c "import M"`, interleaved."""
    imports: dict[str, list[tuple[float, float]]] = {"velkstore": [], "msgpack": []}
    for _ in range(runs):
        for mod in imports:
            imports[mod].append(timed_cpu([sys.executable, "-c", f"import {mod}"]))
    wall = {mod: statistics.median(w for w, _ in t) for mod, t in imports.items()}
    cpu = {mod: statistics.median(c for _, c in t) for mod, t in imports.items()}
    return wall, cpu


def import_rows(imp: dict[str, float], cpu: dict[str, float]) -> list[str]:
    return [
        "| import | wall time | ratio | CPU time | ratio |",
        "|---|---|---|---|---|",
        f"| `python -c \"import msgpack\"` | {imp['msgpack'] * 1000:.0f} ms | 1.00x "
        f"| {cpu['msgpack'] * 1000:.0f} ms | 1.00x |",
        f"| `python -c \"import velkstore\"` | {imp['velkstore'] * 1000:.0f} ms "
        f"| {imp['velkstore'] / imp['msgpack']:.2f}x | {cpu['velkstore'] * 1000:.0f} ms "
        f"| {cpu['velkstore'] / cpu['msgpack']:.2f}x |",
    ]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--imports", type=int, default=21)
    args = ap.parse_args()
    if args.rows == 0:  # the import comparison alone
        imp, cpu = import_times(args.imports)
        print("\n".join(import_rows(imp, cpu)))
        print(f"\nCommand: `.venv/bin/python bench/records.py --rows 0 --imports {args.imports}` "
              f"(load average at the end: {os.getloadavg()[0]:.1f})")
        return
    with tempfile.TemporaryDirectory() as tmp:
        paths = make_inputs(tmp, args.rows)
        sizes = {fmt: os.path.getsize(p) for fmt, p in paths.items()}
        times: dict[str, list[float]] = {fmt: [] for fmt in paths}
        for _ in range(args.repeat):
            for fmt, path in paths.items():
                out = os.path.join(tmp, f"{fmt}.vlks")
                times[fmt].append(timed([sys.executable, "-m", "velkstore", "build", "--key", "iata", out, path]))
    build = {fmt: statistics.median(t) for fmt, t in times.items()}
    imp, cpu = import_times(args.imports)

    load = os.getloadavg()[0]
    lines = [
        "## Building from records; import time",
        "",
        "Goals: `velkstore build --key` from CSV at least 0.8x the speed of the same rows as JSON Lines",
        "records, from Parquet at least 1.5x; `python -c \"import velkstore\"` at most 1.3x",
        "`python -c \"import msgpack\"` in wall time. Medians of runs interleaved in one process,",
        "each a subprocess timed from its start.",
        "",
        f"| {args.rows:,} rows, 9 text fields | input | build time | rows/s | speed vs JSON Lines |",
        "|---|---|---|---|---|",
    ]
    for fmt, label in (("jsonl", "JSON Lines records"), ("csv", "CSV"), ("parquet", "Parquet")):
        lines.append(
            f"| {label} | {sizes[fmt] / 2**20:.1f} MiB | {build[fmt]:.2f} s | {args.rows / build[fmt] / 1000:.0f}k "
            f"| {build['jsonl'] / build[fmt]:.2f}x |"
        )
    lines += [
        "",
        *import_rows(imp, cpu),
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}.",
        f"Command: `.venv/bin/python bench/records.py --rows {args.rows} --repeat {args.repeat} "
        f"--imports {args.imports}` (load average at the end: {load:.1f})",
        "",
    ]
    text = "\n".join(lines)
    with open(os.path.join(HERE, "RECORDS.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
