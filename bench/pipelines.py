"""Data pipelines side by side: the lookup join on Dask and on Spark, and a
sharded build on Spark against `ShardedWriter` in one process.

    tools/dev-run.sh build/dev .venv/bin/python bench/pipelines.py [--rows 10000000] [--shards 8] [--reps 1]

- Build: --rows rows of a 4-column table (key, a int, b float, c text),
  each stored as the map of its columns, into --shards shards: through
  `ShardedWriter.update` in this process (the rows made in Python as
  dicts), and through `velkstore.spark.to_velkstore` on `local[2]` (the rows
  made by Spark).
- Join: --rows keys (about 9% absent, spread over the whole store) looked
  up against that store, raw values, on a 2-worker `LocalCluster` (one
  thread each) and on `local[2]`; the keys are made and cached first on
  each side, and the timed job counts the non-null values.  Before any
  timed job, a join of a million keys (against a small store) lets the JVM
  compile its per-row paths: without it, the first timed Spark join pays
  for the compiling (about a fifth of its time), which no long-running
  Spark application does.
- Floor: each Spark figure comes with the time of a mapInArrow that only
  returns its input, on the same frame: what Spark's own exchange with
  Python costs before any work is done.
- Spark's Arrow byte cap: Spark 4 caps each Arrow batch it sends to Python
  at `spark.sql.execution.arrow.maxBytesPerBatch` (64 MB) and, to do so,
  measures the batch after every row, which costs about as much as the
  exchange itself.  The session here turns the cap off (its largest value,
  2147483647, skips the measuring), as the README advises for these jobs;
  the row count cap (10,000 rows a batch) still bounds a batch.  The Spark
  build and join are also run once with Spark's default cap
  (`*_default_cap_s`), to show what the setting is worth.
- Processor time: every figure comes with the processor seconds of this
  process and all its children (the JVM, Python and Dask workers) over the
  same interval (`*_cpu_s`), which a busy machine distorts less than the
  wall-clock time.

Prints one JSON object; record the figures in bench/README.md.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
PARTS = 16
# Spark's Arrow byte cap off (see above).
NO_BYTE_CAP = "2147483647"
DEFAULT_BYTE_CAP = "64MB"
# Keys of the Spark join that warms up the JVM.
WARM_KEYS = 1_000_000


def tree_cpu() -> float:
    """Processor seconds used so far by this process and its live children."""
    import psutil

    total = 0.0
    me = psutil.Process()
    for p in [me, *me.children(recursive=True)]:
        try:
            t = p.cpu_times()
        except psutil.Error:
            continue
        total += t.user + t.system
    return total


class Timer:
    """Wall-clock and processor time of a block."""

    def __enter__(self) -> Timer:
        self.cpu0, self.t0 = tree_cpu(), time.perf_counter()
        return self

    def __exit__(self, *exc: object) -> None:
        self.wall = time.perf_counter() - self.t0
        self.cpu = tree_cpu() - self.cpu0


def rows(n: int) -> Iterator[tuple[str, dict[str, Any]]]:
    for i in range(n):
        key = f"key:{i:010d}"
        yield key, {"key": key, "a": i, "b": i * 0.5, "c": f"s{i % 1000}"}


def build_writer(directory: str, n: int, shards: int) -> Timer:
    from velkstore import ShardedWriter

    with Timer() as t, ShardedWriter(directory, shards) as w:
        w.update(rows(n))
    return t


def spark_session() -> Any:
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    return (
        SparkSession.builder.master("local[2]")
        .appName("velkstore-bench")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "4g")
        .config("spark.sql.execution.arrow.maxBytesPerBatch", NO_BYTE_CAP)
        .getOrCreate()
    )


def _identity(batches: Any) -> Any:
    yield from batches


def spark_floor(df: Any, column: str) -> Timer:
    """The time Spark takes to hand *df* to Python as Arrow and take it back
    (a mapInArrow that returns its input): the floor under any mapInArrow job."""
    with Timer() as t:
        df.mapInArrow(_identity, df.schema).selectExpr(f"count({column})").collect()
    return t


def spark_table(spark: Any, n: int) -> Any:
    return spark.range(0, n, numPartitions=PARTS).selectExpr(
        "concat('key:', lpad(cast(id AS string), 10, '0')) AS key",
        "id AS a",
        "cast(id AS double) * 0.5 AS b",
        "concat('s', cast(id % 1000 AS string)) AS c",
    )


def build_spark(spark: Any, directory: str, n: int, shards: int) -> Timer:
    from velkstore.spark import to_velkstore

    with Timer() as t:
        info = to_velkstore(spark_table(spark, n), directory, shards, key="key")
    assert info.num_keys == n, info
    return t


def _dask_keys(lo: int, hi: int, space: int) -> Any:
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.compute as pc

    ids = (np.arange(lo, hi, dtype=np.int64) * 7919 + 13) % space
    text = pc.utf8_lpad(pc.cast(pa.array(ids), pa.string()), width=10, padding="0")
    keys = pc.binary_join_element_wise("key:", text, "")
    return pd.DataFrame({"key": pd.arrays.ArrowExtensionArray(keys)})


def join_dask(store: str, n: int, space: int, reps: int) -> tuple[list[Timer], int]:
    import dask.dataframe as dd
    import distributed

    from velkstore.dask import lookup

    bounds = [(n * p // PARTS, n * (p + 1) // PARTS) for p in range(PARTS)]
    times = []
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster):
        keys = dd.from_map(lambda b: _dask_keys(b[0], b[1], space), bounds).persist()
        distributed.wait(keys)
        for _ in range(reps):
            with Timer() as t:
                found = int(lookup(keys, "key", store)["value"].count().compute())
            times.append(t)
    return times, found


def join_spark(spark: Any, store: str, n: int, space: int, reps: int) -> tuple[list[Timer], list[Timer], int]:
    from velkstore.spark import lookup

    keys = spark.range(0, n, numPartitions=PARTS).selectExpr(
        f"concat('key:', lpad(cast(((id * 7919 + 13) % {space}) AS string), 10, '0')) AS key"
    ).cache()
    keys.count()
    times, floor = [], []
    for _ in range(reps):
        with Timer() as t:
            found = lookup(keys, "key", store).selectExpr("count(value) AS n").collect()[0].n
        times.append(t)
        floor.append(spark_floor(keys, "key"))
    keys.unpersist()
    return times, floor, found


def byte_cap(spark: Any, value: str) -> None:
    spark.conf.set("spark.sql.execution.arrow.maxBytesPerBatch", value)


def figures(name: str, timers: list[Timer]) -> dict[str, list[float]]:
    return {f"{name}_s": [round(t.wall, 3) for t in timers], f"{name}_cpu_s": [round(t.cpu, 2) for t in timers]}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--reps", type=int, default=1)
    ap.add_argument("--dir", default=None, help="scratch directory (default: a new one under build/)")
    args = ap.parse_args()
    n, space = args.rows, args.rows + args.rows // 10
    scratch = args.dir or tempfile.mkdtemp(prefix="bench-pipelines-", dir=os.path.join(HERE, "..", "build"))
    store, spark_store = os.path.join(scratch, "writer"), os.path.join(scratch, "spark")
    load = {"before": os.getloadavg()}
    out: dict[str, Any] = {"rows": n, "shards": args.shards, "reps": args.reps}
    try:
        writer, spark_build, build_floor = [], [], []
        spark = spark_session()
        # The first jobs start the Python workers and compile the plans;
        # a million keys also let the JVM compile its per-row paths, as
        # they are in any Spark application that has run for a while.
        build_spark(spark, os.path.join(scratch, "warm"), 1000, args.shards)
        join_spark(spark, os.path.join(scratch, "warm"), min(n, WARM_KEYS), min(n, WARM_KEYS) + 1100, 1)
        for _ in range(args.reps):
            writer.append(build_writer(store, n, args.shards))
            spark_build.append(build_spark(spark, spark_store, n, args.shards))
            build_floor.append(spark_floor(spark_table(spark, n), "key"))
        byte_cap(spark, DEFAULT_BYTE_CAP)
        build_default = build_spark(spark, spark_store, n, args.shards)
        byte_cap(spark, NO_BYTE_CAP)
        dask_times, found = join_dask(store, n, space, args.reps)
        spark_times, join_floor, spark_found = join_spark(spark, store, n, space, args.reps)
        byte_cap(spark, DEFAULT_BYTE_CAP)
        join_default, _, _ = join_spark(spark, store, n, space, 1)
        spark.stop()
        assert found == spark_found, (found, spark_found)
        w = statistics.median(t.wall for t in writer)
        sb = statistics.median(t.wall for t in spark_build)
        dj = statistics.median(t.wall for t in dask_times)
        sj = statistics.median(t.wall for t in spark_times)
        out.update(
            figures("build_writer", writer),
            **figures("build_spark", spark_build),
            build_ratio_spark_over_writer=round(sb / w, 3),
            **figures("build_spark_floor", build_floor),
            **figures("build_spark_default_cap", [build_default]),
            join_found=found,
            **figures("join_dask", dask_times),
            **figures("join_spark", spark_times),
            **figures("join_spark_floor", join_floor),
            **figures("join_spark_default_cap", join_default),
            join_dask_rows_per_s=round(n / dj),
            join_spark_rows_per_s=round(n / sj),
            join_ratio_spark_over_dask=round(sj / dj, 3),
        )
    finally:
        if args.dir is None:
            shutil.rmtree(scratch, ignore_errors=True)
    load["after"] = os.getloadavg()
    out["load"] = load
    out["uptime"] = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
