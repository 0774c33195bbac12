"""Renders bench/results.json as bench/README.md and bench/ratios.png.

Run on its own (``python bench/report.py``) to redraw both from the last
results without measuring again.
"""

from __future__ import annotations

import json
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STORE = "velk"
PEER_ORDER = ["dict", "lmdb", "marisa", "sqlite"]
GB = 1e9
MEM_ALLOWANCE = 64 * 1024  # bytes not proportional to the key count


def med(xs):
    return statistics.median(xs) if xs else None


def wmed(ds: dict, workload: str, peer: str):
    w = ds.get("workloads", {}).get(workload)
    if not w:
        return None
    return med(w["samples"].get(peer, []))


def fmt_val(v, unit: str) -> str:
    if v is None:
        return "–"
    if unit == "ns/op":
        return f"{v:,.0f} ns" if v >= 100 else f"{v:.1f} ns"
    if v >= 1:
        return f"{v:.2f} s"
    if v >= 1e-3:
        return f"{v * 1e3:.1f} ms"
    return f"{v * 1e6:.0f} µs"


def fmt_ratio(r) -> str:
    if r is None:
        return "–"
    if r >= 100 or r < 0.01:
        return f"{r:.3g}×"
    return f"{r:.2f}×"


# --- targets ------------------------------------------------------------------

def bandwidth_gbs(res: dict):
    bw = res.get("bandwidth") or {}
    if not bw.get("sum_s"):
        return None
    return bw["bytes"] / med(bw["sum_s"]) / GB


def open_crc_gbs(ds: dict):
    """File bytes per second of the whole-file CRC in a verifying open.

    The extra time of open(verify=True) over open(verify=False), taken per
    repetition (both ran back to back, with no other peer between them) and
    then the median, which is far steadier than a difference of two medians
    on a busy machine.
    """
    w = ds.get("workloads", {})
    fb = ds.get("file_bytes", {}).get(STORE)
    if "open_pair" in w:  # the store's opens back to back, apart from the peers
        a = w["open_pair"]["samples"].get(STORE, [])
        b = w["open_pair"]["samples"].get(STORE + "_verify", [])
    else:
        a = w.get("open", {}).get("samples", {}).get(STORE, [])
        b = w.get("open_verify", {}).get("samples", {}).get(STORE, [])
    extras = [v - o for o, v in zip(a, b) if v > o]
    if not fb or not extras:
        return None
    return fb / med(extras) / GB


def targets(res: dict) -> list:
    rows = []

    def add(scope, what, measured, threshold, met, value=None, limit=None, higher_is_better=False):
        rows.append({"scope": scope, "what": what, "measured": measured, "threshold": threshold,
                     "met": met, "value": value, "limit": limit, "higher": higher_is_better})

    bw = bandwidth_gbs(res)
    sets = [(name, ds) for name, ds in res.get("datasets", {}).items()]
    if res.get("large"):
        sets.append((f"text {res['large']['n'] / 1e6:g}M", res["large"]))
    for name, ds in sets:
        scope = f"{name}" if "M" in name else f"{name} {ds['n'] / 1e6:g}M"
        v = wmed(ds, "get_hit_fresh", STORE)

        def ratio_to(peer, workload="get_hit_fresh", mine=None):
            a = mine if mine is not None else wmed(ds, workload, STORE)
            b = wmed(ds, workload, peer)
            return None if a is None or b is None else a / b

        r = ratio_to("dict")
        if r is not None:
            add(scope, "get_raw hits, fresh keys ≤ 0.8× dict.get (fresh keys)",
                f"{r:.2f}×", "≤ 0.8×", r <= 0.8, r, 0.8)
        d_own = wmed(ds, "get_hit_own", "dict")
        if v is not None and d_own:
            r = v / d_own
            add(scope, "get_raw hits, fresh keys ≤ 1.5× dict.get (own keys)",
                f"{r:.2f}×", "≤ 1.5×", r <= 1.5, r, 1.5)
        r = ratio_to("dict", "get_repeat")
        if r is not None:
            add(scope, "get_raw repeated key ≤ 2× dict.get", f"{r:.2f}×", "≤ 2×", r <= 2, r, 2.0)
        r = ratio_to("sqlite")
        if r is not None:
            add(scope, "get_raw hits ≥ 5× faster than sqlite", f"{1 / r:.1f}× faster", "≥ 5×",
                1 / r >= 5, 1 / r, 5.0, True)
        r = ratio_to("lmdb")
        if r is not None:
            add(scope, "get_raw hits faster than lmdb", f"{1 / r:.2f}× faster", "> 1×", r < 1,
                1 / r, 1.0, True)
        o = wmed(ds, "open", STORE)
        p = wmed(ds, "open", "dict")
        if o and p:
            add(scope, "open (verify=False) ≥ 5× faster than pickle load", f"{p / o:.1f}× faster",
                "≥ 5×", p / o >= 5, p / o, 5.0, True)
        if o:
            ns = o / ds["n"] * 1e9
            add(scope, "open (verify=False) ≤ 50 ns/key", f"{ns:.1f} ns/key", "≤ 50", ns <= 50, ns, 50.0)
        fb = ds.get("file_bytes", {}).get(STORE)
        tput = open_crc_gbs(ds)
        if tput and bw:
            add(scope, "verifying open: CRC throughput ≥ 0.8× read bandwidth",
                f"{tput:.1f} GB/s = {tput / bw:.2f}× of {bw:.1f} GB/s", "≥ 0.8×",
                tput / bw >= 0.8, tput / bw, 0.8, True)
        vt = wmed(ds, "verify", STORE)
        if vt and fb and bw:
            tput = fb / vt / GB
            add(scope, "verify(): file bytes/s ≥ 0.8× read bandwidth",
                f"{tput:.1f} GB/s = {tput / bw:.2f}× of {bw:.1f} GB/s", "≥ 0.8×",
                tput / bw >= 0.8, tput / bw, 0.8, True)
        b = wmed(ds, "build", STORE)
        if b and len(ds["workloads"]["build"]["samples"].get(STORE, [])) > 1:
            kps = ds["n"] / b
            add(scope, "build ≥ 1M keys/s end to end", f"{kps / 1e6:.2f}M keys/s", "≥ 1M/s",
                kps >= 1e6, kps / 1e6, 1.0, True)
            bl = wmed(ds, "build", "lmdb")
            if bl:
                add(scope, "build faster than lmdb bulk load", f"{bl / b:.2f}× faster", "> 1×",
                    b < bl, bl / b, 1.0, True)
        mem = ds.get("memory", {}).get(STORE)
        if mem:
            # Per key, with a fixed allowance for the reader object itself
            # and page rounding of the resident-size figures.
            limit = ds["key_bytes"] + 24 * ds["n"]
            over = mem["anon_open"] - limit
            add(scope, "reader memory ≤ key bytes + 24 B/key beyond the mapping",
                f"{mem['anon_open'] / ds['n']:.2f} B/key in all, key bytes being "
                f"{ds['key_bytes'] / ds['n']:.1f} B/key ({over / 1024:+.0f} KiB vs the limit)",
                f"≤ +24 B/key (+{MEM_ALLOWANCE // 1024} KiB fixed)",
                mem["anon_open"] <= limit + MEM_ALLOWANCE, mem["anon_open"] / (limit + MEM_ALLOWANCE), 1.0)
    return rows


# --- tables -------------------------------------------------------------------

WORKLOAD_ORDER = ["build", "open", "open_verify", "get_hit_fresh", "get_hit_own", "get_miss",
                  "get_repeat", "exists", "prefix", "keys", "items", "objects", "verify",
                  "call_overhead"]


def results_table(ds: dict) -> list:
    labels = ds.get("labels", {})
    peers = [p for p in PEER_ORDER if p in labels]
    head = ["workload", labels.get(STORE, STORE)]
    for p in peers:
        head += [labels[p], f"ratio vs {p}"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key in WORKLOAD_ORDER:
        w = ds.get("workloads", {}).get(key)
        if not w:
            continue
        mine = med(w["samples"].get(STORE, []))
        row = [w["title"], fmt_val(mine, w["unit"])]
        for p in peers:
            theirs = med(w["samples"].get(p, []))
            ratio = mine / theirs if mine is not None and theirs else None
            row += [fmt_val(theirs, w["unit"]), fmt_ratio(ratio)]
        lines.append("| " + " | ".join(row) + " |")
    return lines


def detail_lines(ds: dict, res: dict) -> list:
    labels = ds.get("labels", {})
    peers = [STORE] + [p for p in PEER_ORDER if p in labels]
    n = ds["n"]
    out = []
    fb = ds.get("file_bytes", {})
    out.append("| | " + " | ".join(labels.get(p, p) for p in peers) + " |")
    out.append("|" + "---|" * (len(peers) + 1))
    out.append("| file bytes per key | " + " | ".join(
        f"{fb[p] / n:.1f}" if p in fb else "–" for p in peers) + " |")
    b = ds.get("workloads", {}).get("build", {}).get("samples", {})
    out.append("| build, keys/s | " + " | ".join(
        f"{n / med(b[p]) / 1e6:.2f} M" if b.get(p) else "–" for p in peers) + " |")
    o = ds.get("workloads", {}).get("open", {}).get("samples", {})
    out.append("| open, ns/key | " + " | ".join(
        f"{med(o[p]) / n * 1e9:.1f}" if o.get(p) else "–" for p in peers) + " |")
    mem = ds.get("memory", {})

    def mib(v):
        return f"{v / 2**20:.1f} MiB"

    for field, title in (("anon_open", "RSS anon after open"), ("file_open", "RSS file-backed after open"),
                         ("peak_open", "peak RSS growth during open"),
                         ("anon_lookups", "RSS anon after lookups"), ("file_lookups", "RSS file-backed after lookups")):
        out.append(f"| {title} | " + " | ".join(
            mib(mem[p][field]) if p in mem else "–" for p in peers) + " |")
    if STORE in mem:
        m = mem[STORE]
        out.append("")
        out.append(f"Store reader, verify=False: anonymous memory {m['anon_open'] / n:.1f} B/key "
                   f"(the keys themselves, {ds['key_bytes'] / n:.1f} B/key, are read from the mapping); "
                   f"peak growth while opening {m['peak_open'] / n:.1f} B/key.")
        if STORE + "_verify" in mem:
            mv = mem[STORE + "_verify"]
            out.append(f"With verify=True: anonymous {mv['anon_open'] / n:.1f} B/key, "
                       f"file-backed {mv['file_open'] / 2**20:.1f} MiB (the whole file is read for the CRC).")
    o1, o2 = wmed(ds, "open", STORE), wmed(ds, "open_verify", STORE)
    if o1 and o2 and o1 > o2:
        out.append("")
        out.append("The store's open with verify=False came out slower than with verify=True, which "
                   "does more work; most likely because the first open of each repetition follows other "
                   "peers' work that freed much memory and pays for fresh huge pages for its index "
                   "(see PROFILE.md), on top of the noise of a shared machine.")
    pair = ds.get("workloads", {}).get("open_pair", {}).get("samples", {})
    if pair.get(STORE) and pair.get(STORE + "_verify"):
        a, b = med(pair[STORE]), med(pair[STORE + "_verify"])
        out.append("")
        out.append(f"The store's opens back to back, with no other peer's work between them: "
                   f"verify=False {fmt_val(a, 's')} ({a / n * 1e9:.1f} ns/key), "
                   f"verify=True {fmt_val(b, 's')}.")
    extra = ds.get("workloads", {}).get("build", {}).get("extra", {}).get(STORE)
    if extra:
        out.append("")
        out.append(f"Store build split: staging (Python calls) {fmt_val(med(extra['stage']), 's')}, "
                   f"build(path) {fmt_val(med(extra['write']), 's')}.")
    if "prefix_avg_hits" in ds:
        out.append(f"Prefix scans return {ds['prefix_avg_hits']:.0f} entries on average.")
    rb = ds.get("workloads", {}).get("read_bw", {}).get("samples", {})
    fsz = fb.get(STORE)
    if rb and fsz:
        parts = []
        v = wmed(ds, "verify", STORE)
        if v:
            parts.append(f"verify() {fsz / v / GB:.1f} GB/s")
        crc = open_crc_gbs(ds)
        if crc:
            parts.append(f"verifying open's extra time {crc:.1f} GB/s")
        for k, xs in rb.items():
            parts.append(f"{k} {fsz / med(xs) / GB:.1f} GB/s")
        out.append("")
        out.append(f"Over the {fsz / 2**20:.0f} MiB store file: " + "; ".join(parts) + ".")
    return out


def write_chart(res: dict, path: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    sets = [(f"{k} keys, {v['n'] / 1e6:g}M", v) for k, v in res.get("datasets", {}).items()]
    if res.get("large"):
        sets.append((f"text keys, {res['large']['n'] / 1e6:g}M", res["large"]))
    tg = [t for t in targets(res) if t["value"] is not None and t["limit"] is not None]
    ncols = max(1, len(sets))
    top_rows = 7
    bottom_rows = max(2, round(1 + 0.28 * len(tg)))
    shape = (top_rows + bottom_rows, ncols)
    fig = plt.figure(figsize=(6.5 * ncols, shape[0]))
    colors = {"dict": "#4c72b0", "lmdb": "#dd8452", "marisa": "#55a868", "sqlite": "#c44e52"}
    for col, (title, ds) in enumerate(sets):
        ax = plt.subplot2grid(shape, (0, col), rowspan=top_rows, fig=fig)
        peers = [p for p in PEER_ORDER if p in ds.get("labels", {})]
        wls = [k for k in WORKLOAD_ORDER if k in ds.get("workloads", {})
               and wmed(ds, k, STORE) and any(wmed(ds, k, p) for p in peers)]
        h = 0.8 / max(1, len(peers))
        for j, p in enumerate(peers):
            ys, xs = [], []
            for i, k in enumerate(wls):
                mine = wmed(ds, k, STORE)
                theirs = wmed(ds, k, p)
                if mine and theirs:
                    ys.append(i + (j - (len(peers) - 1) / 2) * h)
                    xs.append(mine / theirs)
            ax.barh(ys, xs, height=h, color=colors.get(p, "gray"), label=ds["labels"][p])
        ax.axvline(1.0, color="black", lw=1)
        ax.set_xscale("log")
        ax.set_yticks(range(len(wls)))
        ax.set_yticklabels([ds["workloads"][k]["title"] for k in wls], fontsize=8)
        ax.invert_yaxis()
        ax.set_title(f"{title}\nstore time / peer time (left of 1: store faster)", fontsize=10)
        ax.legend(fontsize=8, loc="lower right")
        ax.grid(axis="x", which="both", alpha=0.3)
    ax = plt.subplot2grid(shape, (top_rows, 0), rowspan=bottom_rows, colspan=ncols, fig=fig)
    labels, vals, cols = [], [], []
    for t in tg:
        # Margin: above 1 the target is met with room to spare, below 1 missed.
        margin = t["value"] / t["limit"] if t["higher"] else t["limit"] / t["value"] if t["value"] else 0
        labels.append(f"{t['scope']}: {t['what']}")
        vals.append(max(margin, 1e-3))
        cols.append("#55a868" if t["met"] else "#c44e52")
    ax.barh(range(len(vals)), vals, color=cols)
    for i, v in enumerate(vals):
        ax.text(v, i, f" {v:.2f}", va="center", fontsize=7)
    ax.axvline(1.0, color="black", lw=1)
    ax.set_xscale("log")
    ax.set_yticks(range(len(vals)))
    ax.set_yticklabels(labels, fontsize=7.5)
    ax.invert_yaxis()
    ax.set_title("targets: measured / required (right of 1 = met; green met, red missed)", fontsize=10)
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    return True


INTRO = """# Benchmarks

The store against what users would otherwise pick for a read-mostly key →
object map: a `dict` loaded from a pickle (the in-memory ceiling), `lmdb`
(read-only environment, one read transaction), `marisa_trie.BytesTrie`
(memory-mapped) and the standard library's `sqlite3` (`immutable=1` URI,
`WITHOUT ROWID` table, statement cached by the module, memory-mapped I/O).

## Running

```sh
make bench                                  # the 1M-key suite (about 8 minutes)
make bench BENCH_ARGS="--large"             # plus build, open and lookups at 10M keys (about 10 more)
.venv/bin/python bench/run.py --help        # every option
.venv/bin/python bench/report.py            # redraw README.md and ratios.png from results.json
```

`make bench` installs the bench-only packages of `bench/requirements.txt`
into `.venv` and is not part of `make test`.

## Method

* Data: keys like `user:00012345` (text) and random binary keys of 8–40
  bytes, 100-byte random objects, about 10% of keys sharing an object with
  another key.  Insertion order is shuffled; everything is seeded.
* Side by side: each workload runs every peer in the same process, with
  the repetitions as the outer loop and the peers (in rotating order) as
  the inner one (5 repetitions, 11 for the opens at 1M).  Figures are
  medians of the repetitions; **ratios are store time / peer time, so
  below 1× the store is faster**.
* Lookups: a tight loop over a pre-built list of keys, timed with
  `time.perf_counter_ns`, reported as ns per operation including the loop
  and the call (the `call_overhead` row is the same loop calling the
  built-in `id`).  *Fresh* keys are equal copies made before each pass, so
  their hash is not cached; *own keys* are the dict's own key objects, its
  best case (the store's figure on that row uses the data set's key
  objects, scattered in memory).  Each peer gets keys in its native type
  (lmdb bytes; marisa str, binary keys as hex, since NUL characters slow
  its lookups down badly).  Queries are uniformly random over all keys.
* Builds include everything from the in-memory data to a synced file
  (lmdb and sqlite sort their input first and load it in key order, their
  fastest path).  lmdb, marisa-trie and sqlite keep a copy of the object
  per key (the pickle shares it, as the store does); `objects` for them is
  the list of all values.
* Open: the store with `verify=False` (maps the file and loads the key
  index) and `verify=True` (adds the whole-file CRC); `pickle.load` of the
  dict; the others' opens are O(1) and do their work lazily at lookup time.
* Memory: resident memory added by opening, measured in a fresh process
  from `/proc/self/status` (anonymous and file-backed separately; peak via
  `VmHWM` after resetting it), median of several processes.  The target
  allows 64 KiB that do not grow with the key count (the reader object,
  page rounding).
* Bandwidth: a numpy `sum` over a 1 GiB array is the read-bandwidth
  reference for CRC throughput; the same over the store file's mapping (kept
  and new) and `zlib.crc32` over it are shown for context.  The CRC
  throughput of a verifying open is the file size over the extra time of
  `verify=True` over `verify=False`, from the store's two opens run back to
  back (no other peer between them), taken per repetition, then the median.
* The files sit in the page cache (warm); cold-cache reads are not measured.
"""


def write(res: dict, out_dir: str) -> None:
    lines = [INTRO]
    m = res.get("machine", {})
    lines.append("## Machine and run\n")
    lines.append(f"* CPU: {m.get('Model name', '?')}, {m.get('CPU(s)', '?')} cores "
                 f"(L2 {m.get('L2 cache', '?')}, L3 {m.get('L3 cache', '?')}), "
                 f"{m.get('Hypervisor vendor', 'no') or 'no'} hypervisor; memory {m.get('MemTotal', '?')}; "
                 f"Linux {m.get('kernel', '?')}")
    lines.append("* Versions: " + ", ".join(f"{k} {v}" for k, v in res.get("versions", {}).items()))
    extra = res.get("command", "").split()[1:]
    make_cmd = "make bench" + (f' BENCH_ARGS="{" ".join(extra)}"' if extra else "")
    lines.append(f"* Command: `{make_cmd}` (runs `.venv/bin/python {res.get('command', '')}`); "
                 f"commit {m.get('commit', '?')} plus the working tree (module sha256 {m.get('module_sha256', '?')}…); "
                 f"started {res.get('started', '?')}; "
                 f"wall time {res.get('wall_s', 0) / 60:.1f} min")
    p = res.get("params", {})
    lines.append(f"* {p.get('reps')} repetitions per workload, {p.get('queries', 0):,} lookups per timed pass")
    load = res.get("load", {})
    lines.append("* The machine is shared with other work (2 cores): single figures are noisy, "
                 "the side-by-side ratios less so"
                 + (f"; load average {load.get('start', '?')} at the start, {load.get('end', '?')} at the end"
                    if load else "") + ".\n")
    bw = res.get("bandwidth") or {}
    if bw.get("sum_s"):
        lines.append(f"Read bandwidth (numpy sum over 1 GiB): **{bw['bytes'] / med(bw['sum_s']) / GB:.1f} GB/s**; "
                     f"copy (`bytes(memoryview)`, 1 GiB): {bw['bytes'] / med(bw['copy_s']) / GB:.1f} GB/s.\n")

    lines.append("## Targets\n")
    lines.append("| scope | target | measured | met |")
    lines.append("|---|---|---|---|")
    for t in targets(res):
        lines.append(f"| {t['scope']} | {t['what']} | {t['measured']} | {'met' if t['met'] else '**missed**'} |")
    lines.append("")
    lines.append("![ratios](ratios.png)\n")

    sets = list(res.get("datasets", {}).items())
    if res.get("large"):
        sets.append(("text, large", res["large"]))
    for name, ds in sets:
        lines.append(f"## {name}: {ds['n']:,} keys, {ds.get('objects', 0):,} objects\n")
        lines.append("Medians; ratio = store time / peer time (below 1×: store faster).\n")
        lines += results_table(ds)
        lines.append("")
        lines += detail_lines(ds, res)
        if ds.get("skipped_workloads"):
            lines.append(f"\nLeft out past the time budget: {', '.join(ds['skipped_workloads'])}.")
        if ds.get("skipped_peers"):
            lines.append(f"\nPeers left out to stay in the time budget: {', '.join(ds['skipped_peers'])}.")
        lines.append("")
    # verify() is timed by its own C++ driver; its results are kept by hand.
    verify_notes = os.path.join(out_dir, "VERIFY.md")
    if os.path.exists(verify_notes):
        with open(verify_notes) as f:
            lines.append(f.read())
    # The package's face is timed by bench/package_face.py; kept by hand.
    package = os.path.join(out_dir, "PACKAGE.md")
    if os.path.exists(package):
        with open(package) as f:
            lines.append(f.read())
    sharded = os.path.join(out_dir, "SHARDED.md")  # written by bench/sharded.py
    if os.path.exists(sharded):
        with open(sharded) as f:
            lines.append(f.read())
    compression = os.path.join(out_dir, "COMPRESSION.md")  # written by bench/compression.py
    if os.path.exists(compression):
        with open(compression) as f:
            lines.append(f.read())
    prof = os.path.join(out_dir, "PROFILE.md")
    if os.path.exists(prof):
        lines.append("## Profile\n\nSee [PROFILE.md](PROFILE.md) for where the lookup and open time goes.\n")

    # The command line is timed by bench/cli.py, which writes CLI.md.
    cli = os.path.join(out_dir, "CLI.md")
    if os.path.exists(cli):
        with open(cli) as f:
            lines.append(f.read())
    records = os.path.join(out_dir, "RECORDS.md")  # written by bench/records.py
    if os.path.exists(records):
        with open(records) as f:
            lines.append(f.read())
    chart = write_chart(res, os.path.join(out_dir, "ratios.png"))
    if not chart:
        lines.append("(matplotlib missing: no chart drawn)\n")
    with open(os.path.join(out_dir, "README.md"), "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else HERE
    with open(os.path.join(out, "results.json")) as f:
        write(json.load(f), out)
