"""The command line's memory and speed goals, measured end to end.

    .venv/bin/python bench/cli.py [--keys N] [--lines N] [--repeat R]

Runs `velkstore` as a user does, in a subprocess, on data made here:

* dump of an N-key store (default 1M) with 100-byte values: peak resident
  memory of the command (goal: within 250 MB) and the time to its first
  line (goal: under 0.1 s, counted from the start of the command's own
  work, i.e. less the time of `velkstore --version`);
* keys --prefix on the same store: peak memory;
* build from N lines of JSON Lines of small records (default 1M): lines
  per second (goal: at least 300k/s), end to end less interpreter start-up.

Figures are medians of R runs (default 3).  Writes bench/CLI.md, which
bench/report.py includes in bench/README.md.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
COMMAND = [sys.executable, "-m", "velkstore"]


def run_measured(args: list[str], first_line: bool = False) -> dict[str, float]:
    """Wall time, time to the first output line and peak RSS of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen([*COMMAND, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout is not None
    first = 0.0
    if first_line:
        proc.stdout.readline()
        first = time.perf_counter() - start
    while proc.stdout.read(1 << 20):
        pass
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read() if proc.stderr else b""
    if proc.returncode != 0:
        raise SystemExit(f"{args}: exit {proc.returncode}: {err.decode(errors='replace')}")
    return {"wall": wall, "first": first, "peak_mb": usage.ru_maxrss / 1024}


def median(runs: list[dict[str, float]], name: str) -> float:
    return statistics.median(r[name] for r in runs)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--out", default=os.path.join(HERE, "CLI.md"))
    opts = ap.parse_args()

    from velkstore import VelkWriter

    rows: list[tuple[str, str, str, str]] = []
    with tempfile.TemporaryDirectory(dir=HERE) as tmp:
        startup = median([run_measured(["--version"]) for _ in range(opts.repeat)], "wall")

        store = os.path.join(tmp, "dump.vlks")
        with VelkWriter(store) as w:
            w.update((f"user:{i:08}", f"{i:08}" + "v" * 92) for i in range(opts.keys))
        size_mb = os.path.getsize(store) / 2**20
        n = f"{opts.keys:,}"
        for verify in (True, False):
            args = ["dump", store] if verify else ["dump", "--no-verify", store]
            runs = [run_measured(args, first_line=True) for _ in range(opts.repeat)]
            label = f"`dump` of {n} keys, 100-byte values ({size_mb:.0f} MiB file)"
            label += "" if verify else ", `--no-verify`"
            rows.append((label, f"{median(runs, 'peak_mb'):.0f} MB",
                         f"{median(runs, 'first') - startup:.3f} s", f"{median(runs, 'wall'):.1f} s"))
        runs = [run_measured(["keys", "--prefix", "user:000", store]) for _ in range(opts.repeat)]
        rows.append((f"`keys --prefix` (100,000 of {n} keys)", f"{median(runs, 'peak_mb'):.0f} MB", "",
                     f"{median(runs, 'wall'):.2f} s"))
        os.unlink(store)

        src = os.path.join(tmp, "in.jsonl")
        with open(src, "w") as f:
            for i in range(opts.lines):
                f.write(f'{{"key": "user:{i:08}", "value": {{"id": {i}, "name": "user {i}", "active": true}}}}\n')
        out = os.path.join(tmp, "built.vlks")
        runs = [run_measured(["build", out, src]) for _ in range(opts.repeat)]
        wall = median(runs, "wall")
        rate = opts.lines / (wall - startup)
        rows.append((f"`build` from {opts.lines:,} lines of small records", f"{median(runs, 'peak_mb'):.0f} MB",
                     "", f"{wall:.2f} s = {rate / 1000:.0f}k lines/s"))

    lines = [
        "## Command line",
        "",
        "Goals: `dump` of 1M keys with 100-byte values within 250 MB of peak memory and its",
        "first line in under 0.1 s; `build` from JSON Lines at 300k lines/s or more.",
        f"Medians of {opts.repeat} runs of the command in a subprocess; the first-line time and",
        f"the build rate leave out the interpreter's start-up ({startup:.2f} s, `velkstore --version`).",
        "Peak memory is the process's peak resident set, file pages of the mapped store included.",
        "",
        "| run | peak memory | first line | time |",
        "|---|---|---|---|",
        *(f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows),
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}.",
        f"Command: `.venv/bin/python bench/cli.py --keys {opts.keys} --lines {opts.lines} --repeat {opts.repeat}`",
        "",
    ]
    text = "\n".join(lines)
    with open(opts.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
