"""One operation of the fault-injection matrix, run in a process of its own.

    python fault_driver.py SCENARIO CASE_DIR

CASE_DIR holds `store/` (the state before the operation) and the inputs the
scenario needs.  The driver first runs the same operation once in
`CASE_DIR/warm/`, so that every lazy import and first-use allocation is
done; then it probes two marker names (`.fault-begin`, `.fault-end`) around
the real operation, so that a trace shows exactly which system calls the
operation made.  It prints one JSON line: {"ok": true} or what was raised
(and where), with the texts of the warnings the operation gave.
"""
import io
import json
import os
import shutil
import sys
import traceback
import warnings

from _velkstore import _VelkReader, _VelkWriter

import velkstore
import velkstore as sharded  # the sharded classes are exported at the top
from velkstore.cli import main as cli_main

# The content a build writes (the harness's state checks know it too).
NEW_KEYS = 40


def new_pairs(count=NEW_KEYS):
    return {f"k{i:03d}": b"new" + bytes([i]) * 40 for i in range(count)} | {"gen": b"new"}


def fixed_build(d):
    w = _VelkWriter()
    for key, raw in new_pairs().items():
        w.add_key(key, w.add_object_raw(raw))
    w.build(os.path.join(d, "store", "s.vlks"))


def package_build(d):
    w = velkstore.VelkWriter()
    w.update_raw(new_pairs().items())
    w.build(os.path.join(d, "store", "s.vlks"))


def cli_build(d):
    err = io.StringIO()
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = io.StringIO(), err
    try:
        code = cli_main(["build", os.path.join(d, "store", "s.vlks"), os.path.join(d, "input.jsonl")])
    finally:
        sys.stdout, sys.stderr = saved
    if code != 0 or err.getvalue():
        return {"ok": code == 0, "code": code, "msg": err.getvalue()}
    return None


def sharded_build(d):
    # A small spill threshold: every shard is spilled more than once.
    w = sharded.ShardedWriter(os.path.join(d, "store"), 3, spill_bytes=2000)
    w.update_raw(new_pairs().items())
    w.build()


def worker_build(d):
    # Shards built as a cluster's tasks build them: the pairs handed on as
    # chunks in a file of the build directory, each shard's attempt in a
    # directory of its own (every shard's first attempt left behind, as a
    # failed one would be), then committed from the attempts kept.
    from velkstore.sharded.build import (
        Splitter, append_chunks, build_attempt, build_directory, commit_attempts, read_chunk, unpack_chunk,
    )
    from velkstore.sharded.manifest import join, shard_file_name

    splitter = Splitter(3, 0)
    splitter.add_pairs(new_pairs().items(), raw=True)
    with build_directory(os.path.join(d, "store")) as (target, build_id, build_dir):
        chunks = splitter.take()
        offsets = append_chunks(join(build_dir, "chunks-0"), chunks)
        built = []
        for i in range(3):
            name = shard_file_name(build_id, i, 3)
            pairs = list(unpack_chunk(read_chunk(join(build_dir, "chunks-0"), offsets[i], len(chunks[i]))))
            build_attempt(build_dir, f"attempt-{2 * i}", name, [pairs])
            built.append((f"attempt-{2 * i + 1}", build_attempt(build_dir, f"attempt-{2 * i + 1}", name, [pairs])))
        commit_attempts(target, build_dir, 0, built)


def commit_shards(d):
    names = sorted(n for n in os.listdir(os.path.join(d, "store")) if n.startswith("new-"))
    sharded.commit_shards(os.path.join(d, "store"), names)


def reindex(d):
    velkstore.reindex(os.path.join(d, "store", "s.vlks"))


def open_fixed(d):
    r = _VelkReader(os.path.join(d, "store", "s.vlks"))
    assert r.verify() is True and r.get_raw("gen") == b"old"


def open_package(d):
    with velkstore.VelkReader(os.path.join(d, "store", "s.vlks"), verify=True) as r:
        assert r.verify() is True and r.get_raw("gen") == b"old"


def open_sharded(d):
    with sharded.ShardedReader(os.path.join(d, "store")) as r:
        assert r.verify() is True and r.get_raw("gen") == b"old"


SCENARIOS = {f.__name__: f for f in (
    fixed_build, package_build, cli_build, sharded_build, worker_build, commit_shards, reindex, open_fixed, open_package,
    open_sharded,
)}


def main():
    scenario, case = SCENARIOS[sys.argv[1]], os.path.abspath(sys.argv[2])
    # Descriptor 1 (where the fixed face prints its summary line) goes to a
    # file of the case; the report goes to the original standard output.
    report_fd = os.dup(1)
    summary = os.open(os.path.join(case, "summary"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(summary, 1)
    os.close(summary)
    warm = os.path.join(case, "warm")
    shutil.copytree(os.path.join(case, "store"), os.path.join(warm, "store"), symlinks=True)
    for name in os.listdir(case):
        if name.endswith(".jsonl"):
            shutil.copy(os.path.join(case, name), warm)
    scenario(warm)
    shutil.rmtree(warm)

    os.access(os.path.join(case, ".fault-begin"), os.F_OK)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            report = scenario(case) or {"ok": True}
        except Exception as exc:  # every failure is the report
            frames = traceback.extract_tb(exc.__traceback__)
            report = {"ok": False, "type": type(exc).__name__, "msg": str(exc),
                      "filename": None if getattr(exc, "filename", None) is None else os.fsdecode(exc.filename),
                      "where": [f"{os.path.basename(f.filename)}:{f.lineno}" for f in frames[1:]]}
    os.access(os.path.join(case, ".fault-end"), os.F_OK)
    report["warnings"] = [str(w.message) for w in caught]
    os.write(report_fd, (json.dumps(report) + "\n").encode())


if __name__ == "__main__":
    main()
