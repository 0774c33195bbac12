"""Writes the 1M-key text store of the benchmark to the path given, for
bench/verify_driver.cc (make verify-bench)."""

import os
import sys

import _velkstore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import data  # noqa: E402

path = sys.argv[1]
os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
ds = data.make_text(1_000_000, 10)
w = _velkstore._VelkWriter()
ids = list(map(w.add_object_raw, ds.objects))
for key, obj in zip(ds.keys, ds.obj_of):
    w.add_key(key, ids[obj])
w.build(path)
