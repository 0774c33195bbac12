"""The lookup index carried in the file, side by side with the in-memory
index built at open, on the same file.

    python bench/lookup_index.py [--keys 1000000 [10000000 ...]] [--dir build/bench-index]
                                 [--driver build/dev/index_build_driver] [--lmdb] [--cli-and-scan]
                                 [--lookups-only [--rounds 11]]

For each size, builds a store of keys like user:%010d with 100-byte values,
added in shuffled order, with VelkWriter (which writes the index).  A copy
with the header's index flag cleared is read the way every file was read
before: the whole index loaded into memory at open (the same bytes, the
same layout).  Prints one JSON object per size, then the open-time ratio
between the sizes.

Lookup timings are medians of the thread's processor time over rounds that
alternate the two readers (the machine this runs on is shared; processor
time is disturbed far less than the wall clock).  With --driver (built with
-DVELK_BUILD_INDEX_BENCH=ON) the index's share of build time and peak memory
is taken from core builds of the same content with and without it; with
--lmdb a full ordered scan is compared with py-lmdb's over the same content.
--cli-and-scan measures only `velkstore get` against the package's import
and the scan against py-lmdb's, on the store files an earlier run left.
--lookups-only measures only the lookups (and open time and the private
memory of one reader process), on one file: the loaded reader is opened
while the header's index flag is cleared for a moment, so both readers
share one copy of the file in the page cache and no second file is needed
(which matters at 100M keys).  A store missing from --dir is built, with
the driver's streaming mode when --driver is given.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time
from typing import Any, Callable

import velkstore
from velkstore import VelkReader, VelkWriter

LOOKUPS = 200_000

# A reader process: opens the store, looks up 100k random keys, says how
# much anonymous memory that added, then waits (for the eight-reader PSS).
PROBE = r"""
import json, random, sys, velkstore
def anon():
    for line in open("/proc/self/status"):
        if line.startswith("RssAnon:"):
            return int(line.split()[1]) * 1024
path, n, verify = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rnd = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else None).randrange
before = anon()
if verify != "skip":  # "skip": the interpreter alone, for a baseline
    r = velkstore.VelkReader(path, verify={"none": None, "false": False}[verify])
    for _ in range(100_000):
        r.get_raw(f"user:{rnd(n):010d}")
print(json.dumps({"anon_added": anon() - before}), flush=True)
sys.stdin.read()
"""


def value_of(i: int) -> bytes:
    return b"\xc4\x64" + i.to_bytes(8, "big") + bytes(range(8, 100))


def median_time(fn: Callable[[], object], repeat: int, clock: Callable[[], float] = time.perf_counter) -> float:
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return statistics.median(times)


def children_cpu() -> float:
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime


def pss_of(pid: int, path: str) -> dict[str, int]:
    """Total PSS of a process, and the PSS of its mappings of path (the
    records part, and the index part the reader maps with huge pages)."""
    out = {"total": 0, "file": [], "anon": 0}  # type: dict[str, Any]
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                out["total"] = int(line.split()[1]) * 1024
            elif line.startswith("Pss_Anon:"):
                out["anon"] = int(line.split()[1]) * 1024
    current = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if "-" in head[0] and len(head) >= 5 and not head[0].endswith(":"):
                current = line.rstrip().endswith(path)
            elif current and head[0] == "Pss:":
                out["file"].append(int(head[1]) * 1024)
    return out


def build(path: str, n: int) -> tuple[float, float]:
    order = list(range(n))
    random.Random(1).shuffle(order)
    t, c = time.perf_counter(), time.process_time()
    with VelkWriter(path) as w:
        w.update_raw((f"user:{i:010d}", value_of(i)) for i in order)
    return time.perf_counter() - t, time.process_time() - c


def without_index_flag(header: bytes) -> bytes:
    """The 40-byte header with the index flag and the directory length
    cleared: the file reads as one without the index (a reader refuses the
    flag cleared alone, as a damaged header)."""
    out = bytearray(header)
    out[5] = 0
    out[36:40] = bytes(4)
    return bytes(out)


def one_size(n: int, args: argparse.Namespace) -> dict[str, Any]:
    os.makedirs(args.dir, exist_ok=True)
    indexed = os.path.join(args.dir, f"indexed-{n}.vlks")
    loaded = os.path.join(args.dir, f"loaded-{n}.vlks")
    out: dict[str, Any] = {"keys": n, "load_average_start": os.getloadavg()[0]}

    out["build_s"], out["build_cpu_s"] = build(indexed, n)
    with open(indexed, "rb") as f:
        data = bytearray(f.read())
    data[:40] = without_index_flag(data[:40])
    with open(loaded, "wb") as f:
        f.write(data)
    del data
    out.update(index_sizes(indexed, n))

    out["open_ms"] = median_time(lambda: VelkReader(indexed), 101) * 1e3
    out["open_loaded_no_crc_ms"] = median_time(lambda: VelkReader(loaded, verify=False), 3) * 1e3

    ri = VelkReader(indexed)
    rl = VelkReader(loaded, verify=False)
    out.update(time_lookups(ri, rl, n, args.rounds))

    for name, r in (("indexed", ri), ("loaded", rl)):
        out[f"scan_{name}_s"] = median_time(lambda: sum(1 for _ in r.items_raw()), 3)
        middle = f"user:{n // 2:010d}"
        t = time.perf_counter()
        first = next(iter(r.prefix_raw(middle[:-2])))
        out[f"prefix_first_{name}_ms"] = (time.perf_counter() - t) * 1e3
        assert first[0] == middle[:-2] + "00"
    del ri, rl

    if args.lmdb:
        out.update(lmdb_scan(n, indexed, args.dir))

    # One reader process, then eight at once, each after 100k random lookups.
    for name, path, verify in (("indexed", indexed, "none"), ("loaded", loaded, "false")):
        res = subprocess.run([sys.executable, "-c", PROBE, path, str(n), verify], input=b"", capture_output=True,
                             check=True)
        out[f"private_after_100k_{name}_mb"] = json.loads(res.stdout)["anon_added"] / 2**20
    # Eight readers at once (different keys each), and for a baseline eight
    # interpreters that only import the package.
    for name, mode in (("eight_readers", "none"), ("eight_pythons", "skip")):
        procs = [subprocess.Popen([sys.executable, "-c", PROBE, indexed, str(n), mode, str(seed)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE) for seed in range(8)]
        for p in procs:
            assert p.stdout is not None
            p.stdout.readline()
        pss = [pss_of(p.pid, indexed) for p in procs]
        for p in procs:
            p.communicate(b"")
        out[f"{name}_pss_total_mb"] = sum(p["total"] for p in pss) / 2**20
        out[f"{name}_pss_anon_mb"] = sum(p["anon"] for p in pss) / 2**20
        if mode == "none":
            # The file's mappings: records first, then the index part (the
            # one the reader maps with huge pages, up to the end of the file).
            out[f"{name}_pss_file_index_mb"] = sum(p["file"][-1] for p in pss if p["file"]) / 2**20
            out[f"{name}_pss_file_records_mb"] = sum(sum(p["file"][:-1]) for p in pss if p["file"]) / 2**20
    out["eight_readers_pss_added_mb"] = out["eight_readers_pss_total_mb"] - out["eight_pythons_pss_total_mb"]
    out["index_file_mb"] = out["index_file_bytes"] / 2**20

    out.update(cli_get(n, indexed))

    if args.driver:
        out.update(build_share(n, args.driver, args.dir))
    out["load_average_end"] = os.getloadavg()[0]
    return out


def index_sizes(path: str, n: int) -> dict[str, Any]:
    """The lookup index's bytes per key (the extension area, from its start
    to index_offset) and the bytes a lookup may read (the extension area and
    the index section)."""
    st = VelkReader(path).stats()
    with open(path, "rb") as f:
        dir_len = int.from_bytes(f.read(40)[36:40], "big")
        dir_at = st["index_offset"] - 8 - dir_len
        f.seek(dir_at + 8 + 32)  # the directory's extension start
        extension_start = int.from_bytes(f.read(8), "big")
    return {"index_bytes_per_key": (st["index_offset"] - extension_start) / n,
            "index_file_bytes": st["file_size"] - extension_start, "file_size": st["file_size"]}


def time_lookups(ri: Any, rl: Any, n: int, rounds: int) -> dict[str, Any]:
    """get_raw of present keys, get_many_raw in batches of 1,000 and get_raw
    of absent keys, through ri (the index in the file) and rl (the loaded
    index), in alternating rounds: medians of the thread's processor time
    per lookup, and their ratios."""
    out: dict[str, Any] = {}
    rng = random.Random(2)
    picks = [rng.randrange(n) for _ in range(LOOKUPS)]

    def fresh(prefix: str = "user:") -> list[str]:
        return [f"{prefix}{i:010d}" for i in picks]

    for r in (ri, rl):
        for k in fresh():  # warm: pages in cache, blocks checked
            r.get_raw(k)
        for k in fresh("user:x"):
            r.get_raw(k)
    ops: dict[str, Callable[[Any, list[str]], object]] = {
        "get_raw": lambda r, keys: [r.get_raw(k) for k in keys],
        "get_many_raw": lambda r, keys: [r.get_many_raw(keys[i:i + 1000]) for i in range(0, len(keys), 1000)],
        "miss": lambda r, keys: [r.get_raw(k) for k in keys],
    }
    times: dict[tuple[str, str], list[float]] = {}
    for _ in range(rounds):
        for name, r in (("indexed", ri), ("loaded", rl)):
            for op, fn in ops.items():
                keys = fresh("user:x") if op == "miss" else fresh()
                t = time.thread_time()
                fn(r, keys)
                times.setdefault((op, name), []).append((time.thread_time() - t) / len(keys) * 1e9)
    for op in ops:
        for name in ("indexed", "loaded"):
            out[f"{op}_{name}_cpu_ns"] = statistics.median(times[(op, name)])
        out[f"{op}_ratio"] = out[f"{op}_indexed_cpu_ns"] / out[f"{op}_loaded_cpu_ns"]
        # The ratio round by round (each round's two readers side by side).
        out[f"{op}_round_ratios"] = [round(a / b, 3) for a, b in zip(times[(op, "indexed")], times[(op, "loaded")])]
    assert all(ri.get_raw(k) is None for k in fresh("user:x")[:1000])
    return out


def open_pair(path: str) -> tuple[Any, Any]:
    """A reader through the file's lookup index, and one that loads the
    index at open: opened while the header's index flag and directory
    length (outside every CRC) are cleared, then set again.  Neither reader
    reads the header after it has opened."""
    ri = VelkReader(path)
    with open(path, "r+b") as f:
        header = f.read(40)
        f.seek(0)
        f.write(without_index_flag(header))
        f.flush()
        try:
            rl = VelkReader(path, verify=False)
        finally:
            f.seek(0)
            f.write(header)
    assert ri.stats()["index"] and not rl.stats()["index"]
    return ri, rl


def lookups_only(n: int, args: argparse.Namespace) -> dict[str, Any]:
    os.makedirs(args.dir, exist_ok=True)
    path = os.path.join(args.dir, f"indexed-{n}.vlks")
    out: dict[str, Any] = {"keys": n, "load_average_start": os.getloadavg()[0]}
    if not os.path.exists(path):
        if args.driver:
            res = subprocess.run(["nice", "-n", "19", args.driver, str(n), path, "stream"], capture_output=True,
                                 check=True)
            out["stream_build"] = json.loads(res.stdout)
        else:
            build(path, n)
    out.update(index_sizes(path, n))
    # Into the page cache afresh, front to back, as a copy or a download
    # leaves a file: read ahead in large folios, which a mapping can map
    # with huge pages (pages the writer's own writes left may be small).
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 1 << 24):
            pass
    finally:
        os.close(fd)
    out["open_ms"] = median_time(lambda: VelkReader(path), 101) * 1e3
    t = time.perf_counter()
    ri, rl = open_pair(path)
    out["open_pair_s"] = time.perf_counter() - t  # mostly the loaded reader's open
    out.update(time_lookups(ri, rl, n, args.rounds))
    del ri, rl
    res = subprocess.run([sys.executable, "-c", PROBE, path, str(n), "none"], input=b"", capture_output=True,
                         check=True)
    out["private_after_100k_indexed_mb"] = json.loads(res.stdout)["anon_added"] / 2**20
    if args.driver:  # how many misses would read an entry (key bytes)
        res = subprocess.run([args.driver, str(n), path, "misses"], capture_output=True, check=True)
        out["misses_reading_an_entry"] = json.loads(res.stdout)["reading_an_entry"] / 1e6
    out["load_average_end"] = os.getloadavg()[0]
    return out


def cli_get(n: int, indexed: str, rounds: int = 11) -> dict[str, Any]:
    """`velkstore get FILE KEY` against `python -c "import velkstore"`,
    in alternation, each run a process of its own."""
    cmd_get = [sys.executable, "-m", "velkstore", "get", indexed, f"user:{n // 2:010d}"]
    cmd_import = [sys.executable, "-c", "import velkstore"]
    walls: dict[str, list[float]] = {"cli_get": [], "import": []}
    cpus: dict[str, list[float]] = {"cli_get": [], "import": []}
    for _ in range(rounds):
        for name, cmd in (("cli_get", cmd_get), ("import", cmd_import)):
            t, c = time.perf_counter(), children_cpu()
            subprocess.run(cmd, capture_output=True, check=True)
            walls[name].append(time.perf_counter() - t)
            cpus[name].append(children_cpu() - c)
    out: dict[str, Any] = {}
    for name in walls:
        out[f"{name}_s"] = statistics.median(walls[name])
        out[f"{name}_cpu_s"] = statistics.median(cpus[name])
    out["cli_get_ratio"] = out["cli_get_s"] / out["import_s"]
    out["cli_get_cpu_ratio"] = out["cli_get_cpu_s"] / out["import_cpu_s"]
    return out


def cli_and_scan(n: int, args: argparse.Namespace) -> dict[str, Any]:
    """Only the command line's and the scan's rows, on the store of n keys
    left by an earlier run (built when missing)."""
    os.makedirs(args.dir, exist_ok=True)
    indexed = os.path.join(args.dir, f"indexed-{n}.vlks")
    if not os.path.exists(indexed):
        build(indexed, n)
    out: dict[str, Any] = {"keys": n, "load_average_start": os.getloadavg()[0]}
    out.update(cli_get(n, indexed, rounds=21))
    out.update(lmdb_scan(n, indexed, args.dir))
    out["load_average_end"] = os.getloadavg()[0]
    return out


def lmdb_scan(n: int, indexed: str, directory: str) -> dict[str, Any]:
    """A full ordered scan of keys and values, against py-lmdb holding the
    same content (bulk-loaded in key order, its fastest load)."""
    import lmdb  # type: ignore[import-not-found]

    path = os.path.join(directory, f"lmdb-{n}.mdb")
    if not os.path.exists(path):
        env = lmdb.open(path, map_size=max(1 << 30, n * 400), subdir=False, sync=False, metasync=False)
        with env.begin(write=True) as txn:
            for i in range(n):
                txn.put(f"user:{i:010d}".encode(), value_of(i), append=True)
        env.sync(True)
        env.close()
    env = lmdb.open(path, subdir=False, readonly=True, lock=False)
    r = VelkReader(indexed)

    def scan_lmdb() -> int:
        with env.begin(buffers=False) as txn:
            return sum(1 for _ in txn.cursor().iternext(keys=True, values=True))

    def scan_store() -> int:
        return sum(1 for _ in r.items_bytes(raw=True))

    assert scan_lmdb() == scan_store() == n  # also warms both
    walls: dict[str, list[float]] = {"lmdb": [], "store": []}
    cpus: dict[str, list[float]] = {"lmdb": [], "store": []}
    for _ in range(3):
        for name, fn in (("store", scan_store), ("lmdb", scan_lmdb)):
            t, c = time.perf_counter(), time.thread_time()
            fn()
            walls[name].append(time.perf_counter() - t)
            cpus[name].append(time.thread_time() - c)
    env.close()
    return {
        "scan_store_s": statistics.median(walls["store"]), "scan_lmdb_s": statistics.median(walls["lmdb"]),
        "scan_store_cpu_s": statistics.median(cpus["store"]), "scan_lmdb_cpu_s": statistics.median(cpus["lmdb"]),
        "scan_vs_lmdb_cpu_ratio": statistics.median(cpus["store"]) / statistics.median(cpus["lmdb"]),
        "lmdb_version": lmdb.__version__,
    }


def build_share(n: int, driver: str, directory: str) -> dict[str, Any]:
    """Core builds of the same content with and without the index, in
    alternation, each in a process of its own."""
    path = os.path.join(directory, f"driver-{n}.vlks")
    runs: dict[str, list[dict[str, float]]] = {"index": [], "plain": []}
    for _ in range(5):
        for mode in ("plain", "index"):
            res = subprocess.run([driver, str(n), path, mode], capture_output=True, check=True)
            runs[mode].append(json.loads(res.stdout))
    os.unlink(path)

    def med(mode: str, field: str) -> float:
        return statistics.median(r[field] for r in runs[mode])

    cpu = {m: med(m, "stage_cpu_s") + med(m, "build_cpu_s") for m in runs}
    return {
        "driver_cpu_index_s": cpu["index"], "driver_cpu_plain_s": cpu["plain"],
        "index_build_cpu_share": cpu["index"] / cpu["plain"] - 1,
        "driver_peak_index_mb": med("index", "peak_rss") / 2**20,
        "driver_peak_plain_mb": med("plain", "peak_rss") / 2**20,
        "index_peak_memory_share": med("index", "peak_rss") / med("plain", "peak_rss") - 1,
    }


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, nargs="+", default=[1_000_000])
    ap.add_argument("--dir", default="build/bench-index")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--driver", help="the index_build_driver executable, for the index's share of a build")
    ap.add_argument("--lmdb", action="store_true", help="compare a full ordered scan with py-lmdb's")
    ap.add_argument("--lookups-only", action="store_true",
                    help="only open time, one reader's private memory and the lookups, on one file")
    ap.add_argument("--cli-and-scan", action="store_true",
                    help="only `velkstore get` against the import, and the scan against py-lmdb's")
    args = ap.parse_args()
    try:
        version = velkstore.__version__
    except Exception:  # a development build carries no package metadata
        version = "dev"
    results = []
    for n in args.keys:
        if args.lookups_only:
            res = lookups_only(n, args)
        else:
            res = cli_and_scan(n, args) if args.cli_and_scan else one_size(n, args)
        res["velkstore"] = version
        results.append(res)
        print(json.dumps(res, indent=1), flush=True)
    if len(results) > 1 and not args.cli_and_scan:
        first = results[0]
        print(json.dumps({f"open_ms_ratio_{r['keys']}_vs_{first['keys']}": r["open_ms"] / first["open_ms"]
                          for r in results[1:]}))


if __name__ == "__main__":
    main()
