"""Two installs of the package side by side: the build of bench/ab.py's
--whole alone (a VelkWriter given 1M pairs by a generator, then built), in
fresh processes alternating between the installs, medians and ratios.

    .venv/bin/python bench/build_ab.py BEFORE_DIR AFTER_DIR [--keys N] [--rounds R] [--shuffle]

Each DIR is laid out as for bench/ab.py and put first on PYTHONPATH of the
child processes.  Times are process CPU time per pair (the writer's helper
threads count), split into the update (the generator's own work included),
the build, and their user and system parts.  With --shuffle the keys come
in a random order instead of key order.  Each child writes its file into
a temporary directory; the last file of each side is compared byte for byte.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import gc, json, os, random, resource, sys, time
from velkstore import VelkWriter
path, n, shuffle = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
order = list(range(n))
if shuffle:
    random.Random(1).shuffle(order)
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime, r.ru_stime
gc.collect()
a = cpu()
w = VelkWriter()
w.update((f"user:{i:09d}", {"i": i, "name": "x" * 40}) for i in order)
b = cpu()
w.build(path)
c = cpu()
ns = lambda x, y, i: (y[i] - x[i]) * 1e9 / n
print(json.dumps({
    "update": ns(a, b, 0) + ns(a, b, 1), "update, user": ns(a, b, 0), "update, system": ns(a, b, 1),
    "build": ns(b, c, 0) + ns(b, c, 1), "build, user": ns(b, c, 0), "build, system": ns(b, c, 1),
    "total": ns(a, c, 0) + ns(a, c, 1),
}))
"""


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=8)
    ap.add_argument("--shuffle", action="store_true", help="keys in a random order")
    args = ap.parse_args()
    runs: dict[str, dict[str, list[float]]] = {"before": {}, "after": {}}
    with tempfile.TemporaryDirectory() as tmp:
        for i in range(args.rounds):
            order = ("before", "after") if i % 2 == 0 else ("after", "before")
            for which in order:
                env = dict(os.environ, PYTHONPATH=os.path.abspath(getattr(args, which)))
                argv = [sys.executable, "-c", CHILD, os.path.join(tmp, which + ".vlks"), str(args.keys),
                        "1" if args.shuffle else "0"]
                out = subprocess.run(argv, env=env, check=True, capture_output=True, text=True).stdout
                for name, ns in json.loads(out).items():
                    runs[which].setdefault(name, []).append(ns)
        same = filecmp.cmp(os.path.join(tmp, "before.vlks"), os.path.join(tmp, "after.vlks"), shallow=False)
    print("| ns per pair, process CPU time | before | after | after/before |")
    print("|---|---|---|---|")
    for name in runs["before"]:
        b, a = statistics.median(runs["before"][name]), statistics.median(runs["after"][name])
        print(f"| {name} | {b:.0f} | {a:.0f} | {a / b:.3f}x |")
    print(f"files {'identical' if same else 'DIFFER'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
