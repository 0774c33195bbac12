"""The lookup index carried in the file, side by side with the in-memory
index built at open, on the same file.

    python bench/lookup_index.py [--keys 1000000] [--dir build/bench-index]

Builds a store of keys like user:%010d with 100-byte values, added in
shuffled order, with VelkWriter (which writes the index).  A copy with the
header's index flag cleared is read the way every file was read before: the
whole index loaded into memory at open (that copy's content and layout are
the same bytes).  Prints one JSON object of medians and ratios.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

import velkstore
from velkstore import VelkReader, VelkWriter

PROBE = r"""
import json, random, sys, velkstore
def anon():
    for line in open("/proc/self/status"):
        if line.startswith("RssAnon:"):
            return int(line.split()[1]) * 1024
path, n, verify = sys.argv[1], int(sys.argv[2]), sys.argv[3]
keys = [f"user:{random.randrange(n):010d}" for _ in range(100_000)]
before = anon()
r = velkstore.VelkReader(path, verify={"none": None, "false": False}[verify])
for k in keys:
    r.get_raw(k)
print(json.dumps({"anon_added": anon() - before}))
"""


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--dir", default="build/bench-index")
    args = ap.parse_args()
    n = args.keys
    os.makedirs(args.dir, exist_ok=True)
    indexed = os.path.join(args.dir, f"indexed-{n}.vlks")
    loaded = os.path.join(args.dir, f"loaded-{n}.vlks")
    out: dict[str, object] = {"keys": n}

    order = list(range(n))
    random.Random(1).shuffle(order)
    value = b"\xc4\x64" + bytes(range(100))  # 100 bytes of bin8 MessagePack
    t = time.perf_counter()
    with VelkWriter(indexed) as w:
        w.update_raw((f"user:{i:010d}", value[:2] + i.to_bytes(8, "big") + value[10:]) for i in order)
    out["build_s"] = time.perf_counter() - t

    with open(indexed, "rb") as f:
        data = bytearray(f.read())
    data[5] = 0  # no index flag: read as a file without the index
    with open(loaded, "wb") as f:
        f.write(data)
    st = VelkReader(indexed).stats()
    # The extension area runs from its start (in the directory, whose
    # record ends at index_offset) to index_offset.
    dir_len = int.from_bytes(data[36:40], "big")
    dir_at = st["index_offset"] - 8 - dir_len
    extension_start = int.from_bytes(data[dir_at + 8 + 32:dir_at + 8 + 40], "big")
    out["index_bytes_per_key"] = (st["index_offset"] - extension_start) / n
    out["file_size"] = st["file_size"]

    out["open_ms"] = median_time(lambda: VelkReader(indexed), 51) * 1e3
    out["open_loaded_no_crc_ms"] = median_time(lambda: VelkReader(loaded, verify=False), 5) * 1e3

    ri = VelkReader(indexed)
    rl = VelkReader(loaded, verify=False)
    rng = random.Random(2)
    picks = [rng.randrange(n) for _ in range(200_000)]

    def fresh(prefix: str = "user:") -> list[str]:
        return [f"{prefix}{i:010d}" for i in picks]

    for name, r in (("indexed", ri), ("loaded", rl)):
        keys = fresh()
        for k in keys:  # warm: pages in cache, blocks checked
            r.get_raw(k)
        keys = fresh()
        out[f"get_raw_{name}_ns"] = median_time(lambda: [r.get_raw(k) for k in keys], 5) / len(keys) * 1e9
        keys = fresh()
        out[f"get_many_raw_{name}_ns"] = (
            median_time(lambda: [r.get_many_raw(keys[i:i + 1000]) for i in range(0, len(keys), 1000)], 5)
            / len(keys) * 1e9
        )
        keys = fresh("user:x")
        out[f"miss_{name}_ns"] = median_time(lambda: [r.get_raw(k) for k in keys], 5) / len(keys) * 1e9
        out[f"scan_{name}_s"] = median_time(lambda: sum(1 for _ in r.items_raw()), 3)
        middle = f"user:{n // 2:010d}"
        t = time.perf_counter()
        first = next(iter(r.prefix_raw(middle[:-2])))
        out[f"prefix_first_{name}_ms"] = (time.perf_counter() - t) * 1e3
        assert first[0] == middle[:-2] + "00"
    for op in ("get_raw", "get_many_raw", "miss"):
        out[f"{op}_ratio"] = out[f"{op}_indexed_ns"] / out[f"{op}_loaded_ns"]  # type: ignore[operator]

    for name, path, verify in (("indexed", indexed, "none"), ("loaded", loaded, "false")):
        res = subprocess.run([sys.executable, "-c", PROBE, path, str(n), verify], capture_output=True, check=True)
        out[f"private_after_100k_{name}_mb"] = json.loads(res.stdout)["anon_added"] / 2**20

    cmd_get = [sys.executable, "-m", "velkstore", "get", indexed, f"user:{n // 2:010d}"]
    cmd_import = [sys.executable, "-c", "import velkstore"]
    out["cli_get_s"] = median_time(lambda: subprocess.run(cmd_get, capture_output=True, check=True), 7)
    out["import_s"] = median_time(lambda: subprocess.run(cmd_import, capture_output=True, check=True), 7)
    out["cli_get_ratio"] = out["cli_get_s"] / out["import_s"]  # type: ignore[operator]
    try:
        out["velkstore"] = velkstore.__version__
    except Exception:  # a development build carries no package metadata
        out["velkstore"] = "dev"
    out["load_average"] = os.getloadavg()[0]
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
