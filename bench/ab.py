"""Two installs of the package side by side: the same lookup workloads in
fresh processes, alternating between the installs, medians and ratios.

    .venv/bin/python bench/ab.py BEFORE_DIR AFTER_DIR [--keys N] [--rounds R] [--whole]

Each DIR holds an installed `velkstore` package and `_velkstore` module (a
copy of a virtual environment's site-packages entries); it is put first on
PYTHONPATH of the child processes.  Times are the thread's CPU time, not
wall time, and each figure is the best of three passes in a process, then
the median over the processes: on a machine shared with other work that
keeps the comparison fair where wall times swing by half.  Each timed
section starts from a collected heap, so that a collection of the child's
own objects (its list of a million keys, which one collection takes some
20 ms to walk) is not counted in whichever section happens to trigger it.
With --whole, each process also builds a store of the same pairs (process
CPU time, so the writer's helper threads count) and runs the command line's
`get` of one key five times (its CPU time, the best of the five).  The ratio is
after / before: below 1.00x the later build is faster.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import gc, json, random, sys, time
import _velkstore
from velkstore import VelkReader, VelkWriter
path, n = sys.argv[1], int(sys.argv[2])
r = VelkReader(path)
f = _velkstore._VelkReader(path)
keys = [f"user:{i:09d}" for i in range(n)]
random.Random(1).shuffle(keys)
q = keys[:200_000]
def per_op(fn):
    gc.collect()
    best = []
    for _ in range(3):
        t0 = time.thread_time_ns(); fn(); best.append((time.thread_time_ns() - t0) / len(q))
    return min(best)
def loop(call):
    return lambda: [call(k) for k in q]
out = {
    "_native get_raw(k)": per_op(loop(r.get_raw)),
    "_native r[k]": per_op(loop(r.__getitem__)),
    "_native get(k)": per_op(loop(r.get)),
    "_native k in r": per_op(loop(r.__contains__)),
    "_native get_many_raw(200k)": per_op(lambda: r.get_many_raw(q)),
    "_native get(miss)": per_op(lambda: [r.get(k + "x") for k in q]),
    "_velkstore get_raw(k)": per_op(loop(f.get_raw)),
    "_velkstore exists(k)": per_op(loop(f.exists)),
    "_native prefix scan (all)": per_op(lambda: sum(1 for _ in r.prefix_raw("user:"))) * len(q) / n,
}
if "--whole" in sys.argv:
    import os, resource, subprocess, tempfile
    # A build, in process CPU time (the writer's helper threads count), per pair.
    with tempfile.TemporaryDirectory() as tmp:
        gc.collect()
        t0 = time.process_time()
        w = VelkWriter()
        w.update((f"user:{i:09d}", {"i": i, "name": "x" * 40}) for i in range(n))
        w.build(os.path.join(tmp, "b.vlks"))
        out["build (per pair)"] = (time.process_time() - t0) * 1e9 / n
    # The command line: one `get` in a fresh interpreter, its CPU time (the best of 5), per call.
    best = []
    for _ in range(5):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([sys.executable, "-m", "velkstore", "get", path, q[0]], check=True, stdout=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        best.append((after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1e9)
    out["CLI get, one key (per call)"] = min(best)
print(json.dumps(out))
"""


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--whole", action="store_true", help="also a build and a command-line get per process")
    args = ap.parse_args()
    runs: dict[str, dict[str, list[float]]] = {"before": {}, "after": {}}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "s.vlks")
        build = "from velkstore import VelkWriter\nw = VelkWriter()\n"
        build += f"w.update((f'user:{{i:09d}}', {{'i': i, 'name': 'x' * 40}}) for i in range({args.keys}))\n"
        build += f"w.build({path!r})\n"
        env = dict(os.environ, PYTHONPATH=os.path.abspath(args.before))
        subprocess.run([sys.executable, "-c", build], env=env, check=True, stdout=subprocess.DEVNULL)
        for i in range(args.rounds):
            order = ("before", "after") if i % 2 == 0 else ("after", "before")
            for which in order:
                env = dict(os.environ, PYTHONPATH=os.path.abspath(getattr(args, which)))
                argv = [sys.executable, "-c", CHILD, path, str(args.keys)] + (["--whole"] if args.whole else [])
                out = subprocess.run(argv, env=env, check=True, capture_output=True, text=True).stdout
                for name, ns in json.loads(out).items():
                    runs[which].setdefault(name, []).append(ns)
    print("| workload (ns per key, or as named) | before | after | after/before |")
    print("|---|---|---|---|")
    for name in runs["before"]:
        b, a = statistics.median(runs["before"][name]), statistics.median(runs["after"][name])
        print(f"| {name} | {b:.0f} | {a:.0f} | {a / b:.3f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
