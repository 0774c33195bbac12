"""The command line's memory and speed goals, measured end to end.

    .venv/bin/python bench/cli.py [--keys N] [--lines N] [--repeat R]

Runs `velkstore` as a user does, in a subprocess, on data made here:

* dump of an N-key store (default 1M) with 100-byte values: peak resident
  memory of the command (goal: within 250 MB) and the time to its first
  line from the command's start (goal: under 0.1 s);
* keys --prefix on the same store: peak memory;
* build from N lines of JSON Lines of small records (default 1M): lines
  per second (goal: at least 300k/s), end to end less interpreter start-up.

Each run is repeated with the command as it was before it streamed
(--baseline, a git revision; its package is taken from git and run over
the same installed native module), side by side.  Figures are medians of
R runs (default 3).  Writes bench/CLI.md, which bench/report.py includes
in bench/README.md.
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


MAKE_STORE = """
import sys, msgpack, _velkstore
w = _velkstore._VelkWriter()
for i in range(int(sys.argv[2])):
    w.add_key(f"user:{i:08}", w.add_object_raw(msgpack.packb(f"{i:08}" + "v" * 92)))
w.build(sys.argv[1])
"""


def run_measured(args: list[str], first_line: bool = False, env: dict[str, str] | None = None) -> dict[str, float]:
    """Wall time, time to the first output line and peak RSS of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen([*COMMAND, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
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
    ap.add_argument("--baseline", default="e781834", help="git revision of the command to compare with")
    opts = ap.parse_args()

    rows: list[str] = []

    def row(label: str, args: list[str], first_line: bool = False, per_line: int = 0) -> None:
        cells = []
        for env in (None, old_env):
            runs = [run_measured(args, first_line, env) for _ in range(opts.repeat)]
            wall = median(runs, "wall")
            cell = [f"{median(runs, 'peak_mb'):.0f} MB"]
            if first_line:
                first = median(runs, "first")
                cell.append(f"first line {first:.3f} s (+{first - tiny_first[env is None]:.3f} s)")
            cell.append(f"{wall:.2f} s")
            if per_line:
                cell.append(f"{per_line / (wall - startup) / 1000:.0f}k lines/s")
            cells.append(", ".join(cell))
        rows.append(f"| {label} | {cells[0]} | {cells[1]} |")

    with tempfile.TemporaryDirectory(dir=HERE) as tmp:
        old = os.path.join(tmp, "old")
        os.mkdir(old)
        archive = subprocess.run(["git", "-C", os.path.dirname(HERE), "archive", opts.baseline, "python/velkstore"],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", old], input=archive, check=True)
        old_env = dict(os.environ, PYTHONPATH=os.path.join(old, "python"))
        startup = median([run_measured(["--version"]) for _ in range(opts.repeat)], "wall")
        # The first line of a one-key store: start-up, imports and an open,
        # which every first-line time below includes.
        tiny = os.path.join(tmp, "tiny.vlks")
        subprocess.run([sys.executable, "-c", MAKE_STORE, tiny, "1"], check=True, stdout=subprocess.DEVNULL)
        tiny_first = {
            now: median([run_measured(["dump", tiny], True, None if now else old_env) for _ in range(opts.repeat)],
                        "first")
            for now in (True, False)
        }

        store = os.path.join(tmp, "dump.vlks")
        # Staged through the lean native writer: the data is made in a child
        # process, so that this one stays small (a child's peak resident
        # size starts from its parent's).
        subprocess.run([sys.executable, "-c", MAKE_STORE, store, str(opts.keys)], check=True, stdout=subprocess.DEVNULL)
        size_mb = os.path.getsize(store) / 2**20
        n = f"{opts.keys:,}"
        label = f"`dump` of {n} keys, 100-byte values ({size_mb:.0f} MiB file)"
        row(label, ["dump", store], first_line=True)
        row(label + ", `--no-verify`", ["dump", "--no-verify", store], first_line=True)
        row(f"`keys --prefix` (100,000 of {n} keys)", ["keys", "--prefix", "user:000", store])
        os.unlink(store)

        src = os.path.join(tmp, "in.jsonl")
        with open(src, "w") as f:
            for i in range(opts.lines):
                f.write(f'{{"key": "user:{i:08}", "value": {{"id": {i}, "name": "user {i}", "active": true}}}}\n')
        out = os.path.join(tmp, "built.vlks")
        row(f"`build` from {opts.lines:,} lines of small records", ["build", out, src], per_line=opts.lines)

    lines = [
        "## Command line",
        "",
        "Goals: `dump` of 1M keys with 100-byte values within 250 MB of peak memory and its",
        "first line in under 0.1 s; `build` from JSON Lines at 300k lines/s or more.",
        f"Medians of {opts.repeat} runs of the command in a subprocess, timed from its start. In brackets,",
        "what the first line took beyond that of a one-key store (start-up, imports, open:",
        f"{tiny_first[True]:.3f} s now, {tiny_first[False]:.3f} s before). The build rate leaves out the",
        f"interpreter's start-up ({startup:.2f} s, the time of `velkstore --version`).",
        "Peak memory is the process's peak resident set, file pages of the mapped store included.",
        "",
        f"The command before it streamed is `{opts.baseline}`'s, run over the same native module.",
        "",
        "| run | now: peak memory, first line, time | before |",
        "|---|---|---|",
        *rows,
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}.",
        f"Command: `.venv/bin/python bench/cli.py --keys {opts.keys} --lines {opts.lines} --repeat {opts.repeat}`"
        f" (load average at the end: {os.getloadavg()[0]:.1f})",
        "",
    ]
    text = "\n".join(lines)
    with open(opts.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
