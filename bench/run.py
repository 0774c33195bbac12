"""Benchmark suite: the store against what users would pick instead.

Every workload runs on every peer side by side in the same process: the
repetitions are the outer loop and the peers the inner one (in rotating
order), so drift on a shared machine hits all peers alike.  Each figure is
the median of the repetitions; ratios are store time / peer time (below 1:
the store is faster).

Lookups are timed as a tight loop over a pre-built key list with
time.perf_counter_ns and reported as ns per operation (the loop and the
call are included, for every peer alike).  "Fresh" key lists are equal
copies made before each timed pass, so a dict has to hash them the way it
would hash keys arriving from a file or socket.

Usage: run.py [--keys N] [--reps R] [--queries Q] [--large] ...
Results go to bench/results.json, bench/README.md and bench/ratios.png.
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import pickle
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import data  # noqa: E402
import peers as peers_mod  # noqa: E402
import report  # noqa: E402

try:
    import numpy as np
except ImportError:  # pragma: no cover
    np = None

STORE = peers_mod.STORE
_T0 = time.perf_counter()


def log(msg: str) -> None:
    print(f"[{time.perf_counter() - _T0:7.1f}s] {msg}", file=sys.stderr, flush=True)


# --- timing -----------------------------------------------------------------

def loop_ns(fn, args) -> int:
    t0 = time.perf_counter_ns()
    for a in args:
        fn(a)
    return time.perf_counter_ns() - t0


def timed_loop(fn, args) -> float:
    """ns per call of fn over args, with the collector held off."""
    gc.collect()
    gc.disable()
    try:
        return loop_ns(fn, args) / len(args)
    finally:
        gc.enable()


def timed_call(fn) -> float:
    """Seconds for one call of fn; the result is dropped after the clock stops."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        t = time.perf_counter() - t0
    finally:
        gc.enable()
    del result
    return t


def rotated(seq: list, r: int) -> list:
    r %= len(seq)
    return seq[r:] + seq[:r]


def med(xs):
    return statistics.median(xs) if xs else None


class Workload:
    """Samples of one workload: peer -> list of values."""

    def __init__(self, unit: str, title: str, note: str = ""):
        self.unit, self.title, self.note = unit, title, note
        self.samples: dict = {}
        self.extra: dict = {}

    def add(self, peer: str, v: float) -> None:
        self.samples.setdefault(peer, []).append(v)

    def as_json(self) -> dict:
        return {"unit": self.unit, "title": self.title, "note": self.note,
                "samples": self.samples, "extra": self.extra}


# --- per data set -------------------------------------------------------------

def run_dataset(ds, peers: list, args, workdir: str, small: bool = True, deadline: float = 0.0) -> dict:
    """All workloads of one data set.  Past the deadline (when given), the
    remaining lookup workloads and the peers' memory probes are skipped."""
    R = args.reps
    skipped: list = []

    def late() -> bool:
        return bool(deadline) and time.perf_counter() > deadline

    out: dict = {"n": ds.n, "kind": ds.kind, "key_bytes": ds.key_bytes(),
                 "objects": len(ds.objects), "queries": len(ds.hits)}
    wl: dict = {}
    names = [p.name for p in peers]
    by_name = {p.name: p for p in peers}
    paths = {p.name: p.path(workdir, ds) for p in peers}

    # Build: every repetition builds each peer's file anew.
    w = wl["build"] = Workload("s", "staging + build (durable file)")
    build_reps = R if small else 1
    for r in range(build_reps):
        for p in rotated(peers, r):
            gc.collect()
            t = p.build(ds, paths[p.name])
            w.add(p.name, t["total"])
            for k, v in t.items():
                if k != "total":
                    w.extra.setdefault(p.name, {}).setdefault(k, []).append(v)
        log(f"{ds.name}: build rep {r + 1}/{build_reps}")
    out["file_bytes"] = {p.name: p.file_bytes(paths[p.name]) for p in peers}

    # Open: a new handle per repetition, closed outside the clock.
    w_nv = wl["open"] = Workload("s", "open (store: verify=False)")
    w_v = wl["open_verify"] = Workload("s", "open (store: verify=True)")
    # Opens are short, so a few more repetitions steady the medians (and the
    # CRC throughput taken from the two store opens of each repetition).
    open_reps = max(R, args.open_reps) if small else R
    for r in range(open_reps):
        for p in rotated(peers, r):
            variants = [(w_nv, False), (w_v, True)] if p.name == STORE else [(w_nv, None), (w_v, None)]
            for wk, verify in variants:
                if verify is None and wk is w_v:
                    continue  # peers have one open; their open row serves both
                gc.collect()
                gc.disable()
                t0 = time.perf_counter()
                h = p.open(paths[p.name], verify=verify) if verify is not None else p.open(paths[p.name])
                t = time.perf_counter() - t0
                gc.enable()
                wk.add(p.name, t)
                p.close(h)
                del h
        log(f"{ds.name}: open rep {r + 1}/{open_reps}")
    for p in peers:
        if p.name != STORE:
            w_v.samples[p.name] = w_nv.samples[p.name]

    # The whole-file CRC of a verifying open, on its own: the store's two
    # opens back to back with no other peer's work between them, so both
    # find memory in the same state.  (In the rows above, an open pays for
    # whatever the peer before it left behind, e.g. 2 GB of freed dict at 10M
    # keys, whose pages the host of a virtual machine may have taken back.)
    store = next(p for p in peers if p.name == STORE)
    w_pair = wl["open_pair"] = Workload("s", "store opens back to back (verify=False, then True)")
    for r in range(open_reps):
        for verify in (False, True):
            gc.collect()
            gc.disable()
            t0 = time.perf_counter()
            h = store.open(paths[STORE], verify=verify)
            t = time.perf_counter() - t0
            gc.enable()
            w_pair.add(STORE + ("_verify" if verify else ""), t)
            store.close(h)
            del h

    # Long-lived handles for the query workloads, warmed by one pass of hits.
    handles = {p.name: p.open(paths[p.name]) for p in peers}
    q_native = {p.name: p.convert(ds.hits, ds.kind) for p in peers}
    for p in peers:
        timed_loop(p.get(handles[p.name]), q_native[p.name])
    log(f"{ds.name}: handles open and warm")

    def lookup(key: str, title: str, keys_for, make_fn, only=None, note=""):
        if late():
            skipped.append(key)
            return
        wk = wl[key] = Workload("ns/op", title, note)
        for r in range(R):
            for p in rotated(peers, r):
                if only is not None and p.name not in only:
                    continue
                fn = make_fn(p, handles[p.name])
                if fn is None:
                    continue
                ks = keys_for(p)
                wk.add(p.name, timed_loop(fn, ks))
                del ks
        log(f"{ds.name}: {key}")

    base_q = ds.hits
    miss_native = {p.name: p.convert(ds.misses, ds.kind) for p in peers}
    lookup("call_overhead", "loop + builtin call (id), reference",
           lambda p: data.fresh(q_native[p.name]), lambda p, h: id, only=[STORE])
    lookup("get_hit_fresh", "get, random hits, fresh keys",
           lambda p: data.fresh(q_native[p.name]), lambda p, h: p.get(h))
    own = list(base_q)  # the data set's own key objects, shared with the dict
    dict_own = None
    if "dict" in handles:
        # The dict's own key objects (hashes cached): its best case.
        d = handles["dict"]
        index = {k: k for k in d}
        dict_own = [index[k] for k in base_q]
        del index
    lookup("get_hit_own", "get, random hits, the dict's own key objects",
           lambda p: dict_own if p.name == "dict" else own,
           lambda p, h: p.get(h), only=[STORE, "dict"])
    lookup("get_miss", "get, random misses, fresh keys",
           lambda p: data.fresh(miss_native[p.name]), lambda p, h: p.get(h))
    lookup("get_repeat", "get, one key repeated",
           lambda p: q_native[p.name][:1] * len(base_q), lambda p, h: p.get(h))
    lookup("exists", "exists, random hits, fresh keys",
           lambda p: data.fresh(q_native[p.name]), lambda p, h: p.exists(h))

    if ds.prefixes:
        pre = {p.name: p.convert(ds.prefixes, ds.kind) for p in peers}
        lookup("prefix", "prefix scan, ~100 keys each",
               lambda p: pre[p.name], lambda p, h: p.prefix(h, ds.kind),
               note="ns per scan")
        hv = handles[STORE]
        out["prefix_avg_hits"] = sum(len(hv.prefix_raw(x)) for x in ds.prefixes[:200]) / min(200, len(ds.prefixes))
    del q_native, miss_native

    if small:
        for key, title, attr in (("keys", "keys(): every key", "all_keys"),
                                 ("items", "items_raw(): every (key, object)", "all_items"),
                                 ("objects", "objects_raw(): distinct objects", "all_objects")):
            wk = wl[key] = Workload("s", title)
            for r in range(R):
                for p in rotated(peers, r):
                    fn = getattr(p, attr)(handles[p.name])
                    if fn is not None:
                        wk.add(p.name, timed_call(fn))
            log(f"{ds.name}: {key}")

        # Deep verification next to plain reads of the same file pages.
        file_size = out["file_bytes"][STORE]
        wv = wl["verify"] = Workload("s", "verify(): file CRC + per-object CRCs")
        wr = wl["read_bw"] = Workload("s", "reference passes over the store file")
        hv = handles[STORE]
        with open(paths[STORE], "rb") as f:
            mm = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)
        try:
            for r in range(R):
                wv.add(STORE, timed_call(hv.verify))
                wr.add("zlib.crc32", timed_call(lambda: zlib.crc32(mm)))
                if np is not None:
                    arr = np.frombuffer(mm, dtype=np.uint64, count=file_size // 8)
                    wr.add("numpy sum (mapped)", timed_call(arr.sum))
                    del arr

                    def fresh_map_sum():
                        with open(paths[STORE], "rb") as f2:
                            m2 = mmap.mmap(f2.fileno(), 0, prot=mmap.PROT_READ)
                        a2 = np.frombuffer(m2, dtype=np.uint64, count=file_size // 8)
                        s = a2.sum()
                        del a2
                        m2.close()
                        return s
                    wr.add("numpy sum (new mapping)", timed_call(fresh_map_sum))
        finally:
            mm.close()
        log(f"{ds.name}: verify")

    for p in peers:
        p.close(handles[p.name])
    del handles
    gc.collect()

    # Resident memory of an open reader, each in a fresh process.
    probed = [p for p in peers if p.name == STORE or not late()]
    skipped += [f"memory:{p.name}" for p in peers if p not in probed]
    out["memory"] = memory_probes(ds, probed, paths, args, workdir)
    out["skipped_workloads"] = skipped
    log(f"{ds.name}: memory")
    out["workloads"] = {k: v.as_json() for k, v in wl.items()}
    out["labels"] = {p.name: p.label for p in peers}
    if not args.keep:
        for p in peers:
            for suffix in ("", "-lock"):
                try:
                    os.remove(paths[p.name] + suffix)
                except FileNotFoundError:
                    pass
    return out


def memory_probes(ds, peers, paths, args, workdir) -> dict:
    res: dict = {}
    probe = os.path.join(HERE, "memprobe.py")
    runs = max(3, args.mem_reps)
    for p in peers:
        qpath = os.path.join(workdir, f"queries-{p.name}.pickle")
        with open(qpath, "wb") as f:
            pickle.dump(p.convert(ds.hits, ds.kind), f)
        variants = [("", []), ("_verify", ["--verify"])] if p.name == STORE else [("", [])]
        for tag, extra in variants:
            samples = []
            for _ in range(runs):
                proc = subprocess.run([sys.executable, probe, p.name, paths[p.name], qpath, *extra],
                                      capture_output=True, text=True, check=False)
                if proc.returncode != 0:
                    samples = None
                    log(f"memprobe {p.name} failed: {proc.stderr.strip()[-300:]}")
                    break
                samples.append(json.loads(proc.stdout))
            if samples:
                res[p.name + tag] = {k: med([s[k] for s in samples]) for k in samples[0]}
        os.remove(qpath)
    return res


# --- memory bandwidth -----------------------------------------------------------

def bandwidth(reps: int) -> dict:
    if np is None:
        return {}
    size = 1 << 30
    a = np.ones(size // 8, dtype=np.uint64)
    sums, copies = [], []
    mv = memoryview(a).cast("B")
    for _ in range(reps):
        sums.append(timed_call(a.sum))
        copies.append(timed_call(lambda: bytes(mv)))
    del mv, a
    return {"bytes": size, "sum_s": sums, "copy_s": copies}


# --- the 10M run -----------------------------------------------------------------

def run_large(args, workdir: str) -> dict:
    deadline = time.perf_counter() + args.large_budget
    n = args.large_keys
    log(f"large: generating {n:,} text keys")
    ds = data.make_text(n, args.queries, seed=3)
    ds.prefixes = []
    all_p = peers_mod.all_peers()
    chosen = []
    # Each peer is taken only while the rough cost of what has been chosen
    # so far leaves room in the budget; the store and dict always run.
    est = {STORE: 8, "dict": 12 + 2 * args.reps, "lmdb": 25, "marisa": 60, "sqlite": 90}
    spent = 0.0
    for p in all_p:
        cost = est.get(p.name, 60) * n / 10_000_000
        if p.name in (STORE, "dict") or spent + cost < args.large_budget * 0.6:
            chosen.append(p)
            spent += cost
    skipped = [p.name for p in all_p if p not in chosen]
    log(f"large: peers {[p.name for p in chosen]}, skipped {skipped}")
    out = run_dataset(ds, chosen, args, workdir, small=False, deadline=deadline)
    out["skipped_peers"] = skipped
    out["over_budget"] = time.perf_counter() > deadline
    return out


# --- machine --------------------------------------------------------------------

def machine() -> dict:
    m: dict = {}
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            k, _, v = line.partition(":")
            if k.strip() in ("Model name", "CPU(s)", "Thread(s) per core", "L2 cache", "L3 cache",
                             "Hypervisor vendor"):
                m[k.strip()] = v.strip()
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                m["MemTotal"] = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    m["kernel"] = os.uname().release
    try:
        import hashlib

        import _velkstore

        with open(_velkstore.__file__, "rb") as f:
            m["module_sha256"] = hashlib.sha256(f.read()).hexdigest()[:12]
    except (ImportError, OSError):
        pass
    try:
        m["commit"] = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                                     capture_output=True, text=True).stdout.strip()
    except OSError:
        pass
    return m


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--keys", type=int, default=1_000_000, help="keys per data set (default 1,000,000)")
    ap.add_argument("--reps", type=int, default=5, help="repetitions per workload (default 5, at least 5 for a report)")
    ap.add_argument("--queries", type=int, default=200_000, help="lookups per timed pass (default 200,000)")
    ap.add_argument("--datasets", default="text,binary", help="comma list of text,binary")
    ap.add_argument("--peers", default="", help="comma list to restrict the peers (the store always runs)")
    ap.add_argument("--large", action="store_true", help="also run open and lookups at --large-keys keys")
    ap.add_argument("--large-keys", type=int, default=10_000_000)
    ap.add_argument("--large-budget", type=float, default=900.0, help="seconds allowed for the large part")
    ap.add_argument("--open-reps", type=int, default=11, help="repetitions of the open workloads at --keys (default 11)")
    ap.add_argument("--mem-reps", type=int, default=3, help="fresh processes per memory probe")
    ap.add_argument("--workdir", default=None, help="where the store files go (default: a temp dir)")
    ap.add_argument("--keep", action="store_true", help="keep the files built")
    ap.add_argument("--out", default=HERE, help="directory for results.json, README.md, ratios.png")
    args = ap.parse_args()

    workdir = args.workdir or tempfile.mkdtemp(prefix="velk-bench-")
    os.makedirs(workdir, exist_ok=True)
    peers = peers_mod.all_peers()
    if args.peers:
        keep = set(args.peers.split(",")) | {STORE}
        peers = [p for p in peers if p.name in keep]

    results: dict = {
        "command": " ".join(["bench/run.py", *sys.argv[1:]]),
        "params": {"keys": args.keys, "reps": args.reps, "queries": args.queries,
                   "object_size": data.OBJECT_SIZE, "shared_fraction": data.SHARED_FRACTION},
        "machine": machine(),
        "versions": peers_mod.versions(),
        "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "load": {"start": "%.1f" % os.getloadavg()[0]},
        "datasets": {},
    }
    try:
        log("memory bandwidth")
        results["bandwidth"] = bandwidth(args.reps)
        makers = {"text": data.make_text, "binary": data.make_binary}
        for name in args.datasets.split(","):
            log(f"{name}: generating {args.keys:,} keys")
            ds = makers[name](args.keys, args.queries)
            results["datasets"][name] = run_dataset(ds, peers, args, workdir)
            del ds
            gc.collect()
        if args.large:
            results["large"] = run_large(args, workdir)
    finally:
        if not args.keep and not args.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    results["wall_s"] = time.perf_counter() - _T0
    results["load"]["end"] = "%.1f" % os.getloadavg()[0]
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    report.write(results, args.out)
    log(f"done in {results['wall_s']:.0f}s: {args.out}/README.md, ratios.png, results.json")


if __name__ == "__main__":
    main()
