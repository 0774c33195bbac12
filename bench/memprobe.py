"""Resident memory added by opening one store, measured in a fresh process.

Run by run.py as: memprobe.py PEER PATH QUERIES_PICKLE [--verify]
Prints one JSON object: resident anonymous and file-backed memory (bytes)
added by the open, by a pass of lookups after it, and the peak (VmHWM)
growth over the resident size before it.  Everything the probe needs is imported and the query list loaded
before the baseline, so only the store's own memory is counted.
"""

from __future__ import annotations

import gc
import json
import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402


def status() -> dict:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("RssAnon", "RssFile", "RssShmem", "VmHWM", "VmRSS"):
                out[name] = int(rest.split()[0]) * 1024
    return out


def reset_peak() -> None:
    """Lets VmHWM restart from the current resident size (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def main() -> None:
    name, path, queries_path = sys.argv[1:4]
    verify = "--verify" in sys.argv[4:]
    peer = {p.name: p for p in peers.all_peers()}[name]
    with open(queries_path, "rb") as f:
        queries = pickle.load(f)
    gc.collect()
    reset_peak()
    base = status()
    h = peer.open(path, verify=verify) if name == peers.STORE else peer.open(path)
    gc.collect()
    opened = status()
    get = peer.get(h)
    for k in queries:
        get(k)
    gc.collect()
    after = status()
    print(json.dumps({
        "anon_open": opened["RssAnon"] - base["RssAnon"],
        "file_open": opened["RssFile"] - base["RssFile"],
        "anon_lookups": after["RssAnon"] - base["RssAnon"],
        "file_lookups": after["RssFile"] - base["RssFile"],
        "peak_open": opened["VmHWM"] - base["VmRSS"],
    }))
    peer.close(h)


if __name__ == "__main__":
    main()
