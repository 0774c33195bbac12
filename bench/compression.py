"""compress="zstd" against the same store uncompressed, side by side in one
run, on real data sets shipped in PyPI packages, with rocksdict (its default
compression) and py-lmdb beside them for file size and random lookups.

    .venv/bin/python bench/compression.py [--repeat 5] [--out bench/COMPRESSION.md]

Data sets (values MessagePack-encoded, as the package stores them):
- documents: the docstrings of the public functions and classes of numpy,
  pandas and dask (as their wheels ship them), 200 B to 8 KB each, with
  their names;
- records: the rows of vega_datasets' airports, seattle-weather, cars and
  la-riots tables (100-220 B);
- short: the rows of vega_datasets' seattle-temps, sf-temps and stocks
  tables (40-55 B);
- random: 100-byte random values (incompressible).

Each timing is the median of --repeat runs; ratios are compressed / plain.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import inspect
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import msgpack

from _velkstore import _VelkReader
from velkstore import VelkReader, VelkWriter


def documents() -> dict[str, Any]:
    out: dict[str, Any] = {}
    for top in ("numpy", "pandas", "dask"):
        seen: set[int] = set()
        mod = importlib.import_module(top)
        stack = [(top, mod)]
        while stack:
            name, obj = stack.pop()
            if id(obj) in seen:
                continue
            seen.add(id(obj))
            for attr, member in list(vars(obj).items()):
                if attr.startswith("_"):
                    continue
                full = f"{name}.{attr}"
                if inspect.ismodule(member):
                    if member.__name__.startswith(top) and full.count(".") < 4:
                        stack.append((full, member))
                    continue
                if not (inspect.isfunction(member) or inspect.isclass(member) or inspect.isbuiltin(member)):
                    continue
                doc = inspect.getdoc(member) or ""
                if 200 <= len(doc.encode()) <= 8000:
                    out[f"doc:{full}"] = {"name": full, "kind": type(member).__name__, "doc": doc}
    return out


def _tables(names: list[str]) -> dict[str, Any]:
    from vega_datasets import local_data

    out: dict[str, Any] = {}
    for name in names:
        frame = getattr(local_data, name.replace("-", "_"))()
        for i, row in enumerate(frame.to_dict("records")):
            out[f"{name}:{i:06d}"] = {k: (v if isinstance(v, (int, float, str)) else str(v)) for k, v in row.items()}
    return out


def records() -> dict[str, Any]:
    return _tables(["airports", "seattle-weather", "cars", "la-riots"])


def short() -> dict[str, Any]:
    return _tables(["seattle-temps", "sf-temps", "stocks"])


def random_values() -> dict[str, Any]:
    rng = random.Random(7)
    return {f"rnd:{i:08d}": rng.randbytes(100) for i in range(50_000)}


DATA: dict[str, Callable[[], dict[str, Any]]] = {
    "documents": documents, "records": records, "short": short, "random": random_values,
}
GOALS = {"documents": 0.35, "records": 0.5, "short": 0.9, "random": 1.01}


def median_time(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def data_section(path: str) -> int:
    """Bytes of the values' records (headers included) and of the
    compression dictionary's records: what compression changes."""
    total = sum(8 + len(o) for o in _VelkReader(path, False).objects_raw())
    with VelkReader(path, verify=False) as r:
        c = r.stats()["compression"]
    if c:
        section = 18 + c["dictionary_size"]
        total += section + 8 * -(-section // 4096)
    return total


def dir_size(path: str) -> int:
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)


def bench_set(name: str, values: dict[str, Any], tmp: str, repeat: int) -> dict[str, Any]:
    encoded = {k: msgpack.packb(v, use_bin_type=True) for k, v in values.items()}
    keys = list(encoded)
    random.Random(1).shuffle(keys)
    row: dict[str, Any] = {"set": name, "keys": len(keys),
                           "mean value": sum(map(len, encoded.values())) / len(encoded)}
    paths = {}
    for label, opts in [("plain", {}), ("zstd", {"compress": "zstd"})]:
        path = os.path.join(tmp, f"{name}-{label}.vlks")
        paths[label] = path

        def build() -> None:
            with VelkWriter(path, **opts) as w:
                w.update_raw(encoded)

        row[f"build {label}"] = median_time(build, repeat)
        row[f"data {label}"] = data_section(path)
        row[f"file {label}"] = os.path.getsize(path)
        with VelkReader(path) as r:
            row[f"get {label}"] = median_time(lambda: [r[k] for k in keys], repeat)
            row[f"get_raw {label}"] = median_time(lambda: [r.get_raw(k) for k in keys], repeat)
            row[f"get_many {label}"] = median_time(
                lambda: [r.get_many(keys[i:i + 1000]) for i in range(0, len(keys), 1000)], repeat)
            row[f"scan {label}"] = median_time(lambda: sum(1 for _ in r.items()), repeat)

    # Peers: the same encoded values, looked up as bytes.
    try:
        from rocksdict import Options, Rdict

        rpath = os.path.join(tmp, f"{name}.rocks")
        opts = Options(raw_mode=True)
        db = Rdict(rpath, opts)
        for k, v in encoded.items():
            db[k.encode()] = v
        db.close()
        db = Rdict(rpath, Options(raw_mode=True))
        bkeys = [k.encode() for k in keys]
        row["get_raw rocksdict"] = median_time(lambda: [db[k] for k in bkeys], repeat)
        db.close()
        row["file rocksdict"] = dir_size(rpath)
    except ImportError:
        pass
    try:
        import lmdb

        lpath = os.path.join(tmp, f"{name}.lmdb")
        env = lmdb.open(lpath, map_size=1 << 32, subdir=False)
        with env.begin(write=True) as txn:
            for k, v in encoded.items():
                txn.put(k.encode(), v)
        env.sync()
        bkeys = [k.encode() for k in keys]
        with env.begin() as txn:
            row["get_raw lmdb"] = median_time(lambda: [txn.get(k) for k in bkeys], repeat)
        env.close()
        row["file lmdb"] = os.path.getsize(lpath)
    except ImportError:
        pass
    return row


HEADING = """## Compressed values

`VelkWriter(compress="zstd")` (level 3) against the same store uncompressed,
side by side in one run, on data sets shipped in PyPI packages (see
`bench/compression.py` for what each is), with rocksdict (its default
compression) and py-lmdb beside them. Data section: the values' records
(headers included) and the compression dictionary's records; the lookup
index is the same in both files and left out. Times: every key once in
random order (`r[k]`, `get_raw`, `get_many` in batches of 1,000), a full
`items()` scan, and the build from encoded values (`update_raw`, dictionary
training included); medians of 5 runs.

```sh
.venv/bin/python -m pip install rocksdict lmdb vega_datasets
.venv/bin/python bench/compression.py --out bench/COMPRESSION.md
```
"""


def report(rows: list[dict[str, Any]], load: str) -> str:
    out = [HEADING, f"Machine load while measuring (1-minute average, 2 cores): {load}", "",
           "| data set | keys | mean value B | data section zstd/plain (goal) | build | get | get_raw | get_many | scan |",
           "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        ratio = r["data zstd"] / r["data plain"]
        cells = [r["set"], f"{r['keys']:,}", f"{r['mean value']:.0f}",
                 f"{ratio:.3f} (<= {GOALS[r['set']]})"]
        for what in ("build", "get", "get_raw", "get_many", "scan"):
            cells.append(f"{r[f'{what} zstd'] / r[f'{what} plain']:.2f}x ({r[f'{what} plain'] * 1e3:.0f} → "
                         f"{r[f'{what} zstd'] * 1e3:.0f} ms)")
        out.append("| " + " | ".join(cells) + " |")
    out += ["", "Side by side with peers (the same MessagePack values; lookups of every key in random order, "
            "as bytes):", "",
            "| data set | file: velk plain | velk zstd | rocksdict | lmdb | get_raw: velk plain | velk zstd | "
            "rocksdict | lmdb |", "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        files = [f"{r.get(f'file {p}', 0) / 1024:,.0f} KiB" for p in ("plain", "zstd", "rocksdict", "lmdb")]
        gets = [f"{r[f'get_raw {p}'] * 1e3:.0f} ms" if f"get_raw {p}" in r else "-"
                for p in ("plain", "zstd", "rocksdict", "lmdb")]
        out.append("| " + " | ".join([r["set"], *files, *gets]) + " |")
    return "\n".join(out) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--sets", nargs="*", default=list(DATA))
    ap.add_argument("--out", default=None)
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="velk-compress-")
    try:
        rows = []
        for name in args.sets:
            rows.append(bench_set(name, DATA[name](), tmp, args.repeat))
            print(rows[-1], file=sys.stderr)
        text = report(rows, f"{os.getloadavg()[0]:.1f}")
        print(text)
        if args.out:
            with open(args.out, "w") as f:
                f.write(text)
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
