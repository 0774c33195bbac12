"""Small driver for profiling one hot path under perf or callgrind.

    profile_driver.py MODE [--keys N] [--ops N] [--store PATH]

MODE is one of: get (random hits, fresh keys), miss, repeat (one key),
exists, open (index load, verify=False), verify (verify()), stage (staging
and build).  The store file is built first when PATH does not exist, and
the workload then runs --ops times, so that it dominates the profile.

With VELK_PERF_CTL set to the control FIFO of `perf record --control`,
the driver enables recording only around the measured loop, so data set
generation and key copying stay out of the profile:

    mkfifo /tmp/ctl /tmp/ack
    VELK_PERF_CTL=/tmp/ctl perf record -D -1 --control fifo:/tmp/ctl,/tmp/ack \
        -e cpu-clock -g -- .venv/bin/python bench/profile_driver.py get
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*GetRaw*' \
        .venv/bin/python bench/profile_driver.py get --ops 200000
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import data  # noqa: E402
import peers  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["get", "miss", "repeat", "exists", "open", "verify", "stage"])
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--ops", type=int, default=2_000_000)
    ap.add_argument("--kind", choices=["text", "binary"], default="text")
    ap.add_argument("--store", default=None)
    args = ap.parse_args()

    queries = min(args.ops, 200_000)
    make = data.make_text if args.kind == "text" else data.make_binary
    ds = make(args.keys, queries)
    path = args.store or f"/tmp/velk-profile-{args.kind}-{args.keys}.vlks"
    store = peers.VelkPeer()
    ctl = os.environ.get("VELK_PERF_CTL")

    def perf(cmd: str) -> None:
        if ctl:
            with open(ctl, "w") as f:
                f.write(cmd + "\n")

    if args.mode == "stage":
        perf("enable")
        t = store.build(ds, path)
        perf("disable")
        print(f"stage: {t}", file=sys.stderr)
        return
    if not os.path.exists(path):
        store.build(ds, path)

    if args.mode in ("open", "verify"):
        r = store.open(path)
        perf("enable")
        t0 = time.perf_counter()
        for _ in range(args.ops):
            if args.mode == "open":
                store.open(path)
            else:
                r.verify()
    else:
        r = store.open(path)
        fn = r.exists if args.mode == "exists" else r.get_raw
        if args.mode == "repeat":
            keys = ds.hits[:1] * queries
        elif args.mode == "miss":
            keys = ds.misses
        else:
            keys = ds.hits
        batches = [data.fresh(keys) for _ in range(max(1, args.ops // len(keys)))]
        for k in keys:
            fn(k)
        perf("enable")
        t0 = time.perf_counter()
        for batch in batches:
            for k in batch:
                fn(k)
    t = time.perf_counter() - t0
    perf("disable")
    print(f"{args.mode}: {t:.3f}s", file=sys.stderr)


if __name__ == "__main__":
    main()
