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
  each side, and the timed job counts the non-null values.
- Floor: each Spark figure comes with the time of a mapInArrow that only
  returns its input, on the same frame: what Spark's own exchange with
  Python costs before any work is done.

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


def rows(n: int) -> Iterator[tuple[str, dict[str, Any]]]:
    for i in range(n):
        key = f"key:{i:010d}"
        yield key, {"key": key, "a": i, "b": i * 0.5, "c": f"s{i % 1000}"}


def build_writer(directory: str, n: int, shards: int) -> float:
    from velkstore import ShardedWriter

    t = time.perf_counter()
    with ShardedWriter(directory, shards) as w:
        w.update(rows(n))
    return time.perf_counter() - t


def spark_session() -> Any:
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    return (
        SparkSession.builder.master("local[2]")
        .appName("velkstore-bench")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "4g")
        .getOrCreate()
    )


def _identity(batches: Any) -> Any:
    yield from batches


def spark_floor(df: Any, column: str) -> float:
    """The time Spark takes to hand *df* to Python as Arrow and take it back
    (a mapInArrow that returns its input): the floor under any mapInArrow job."""
    t = time.perf_counter()
    df.mapInArrow(_identity, df.schema).selectExpr(f"count({column})").collect()
    return time.perf_counter() - t


def spark_table(spark: Any, n: int) -> Any:
    return spark.range(0, n, numPartitions=PARTS).selectExpr(
        "concat('key:', lpad(cast(id AS string), 10, '0')) AS key",
        "id AS a",
        "cast(id AS double) * 0.5 AS b",
        "concat('s', cast(id % 1000 AS string)) AS c",
    )


def build_spark(spark: Any, directory: str, n: int, shards: int) -> float:
    from velkstore.spark import to_velkstore

    t = time.perf_counter()
    info = to_velkstore(spark_table(spark, n), directory, shards, key="key")
    elapsed = time.perf_counter() - t
    assert info.num_keys == n, info
    return elapsed


def _dask_keys(lo: int, hi: int, space: int) -> Any:
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.compute as pc

    ids = (np.arange(lo, hi, dtype=np.int64) * 7919 + 13) % space
    text = pc.utf8_lpad(pc.cast(pa.array(ids), pa.string()), width=10, padding="0")
    keys = pc.binary_join_element_wise("key:", text, "")
    return pd.DataFrame({"key": pd.arrays.ArrowExtensionArray(keys)})


def join_dask(store: str, n: int, space: int, reps: int) -> list[float]:
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
            t = time.perf_counter()
            found = int(lookup(keys, "key", store)["value"].count().compute())
            times.append(time.perf_counter() - t)
    return times + [found]


def join_spark(spark: Any, store: str, n: int, space: int, reps: int) -> list[float]:
    from velkstore.spark import lookup

    keys = spark.range(0, n, numPartitions=PARTS).selectExpr(
        f"concat('key:', lpad(cast(((id * 7919 + 13) % {space}) AS string), 10, '0')) AS key"
    ).cache()
    keys.count()
    times, floor = [], []
    for _ in range(reps):
        t = time.perf_counter()
        found = lookup(keys, "key", store).selectExpr("count(value) AS n").collect()[0].n
        times.append(time.perf_counter() - t)
        floor.append(spark_floor(keys, "key"))
    keys.unpersist()
    return times + [floor, found]


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
        # The first jobs start the Python workers and compile the plans.
        build_spark(spark, os.path.join(scratch, "warm"), 1000, args.shards)
        join_spark(spark, os.path.join(scratch, "warm"), 1000, 1100, 1)
        for _ in range(args.reps):
            writer.append(build_writer(store, n, args.shards))
            spark_build.append(build_spark(spark, spark_store, n, args.shards))
            build_floor.append(spark_floor(spark_table(spark, n), "key"))
        dask_times = join_dask(store, n, space, args.reps)
        spark_times = join_spark(spark, store, n, space, args.reps)
        spark.stop()
        assert dask_times[-1] == spark_times[-1], (dask_times[-1], spark_times[-1])
        w, sb = statistics.median(writer), statistics.median(spark_build)
        join_floor = spark_times.pop(-2)
        dj, sj = statistics.median(dask_times[:-1]), statistics.median(spark_times[:-1])
        out.update(
            build_writer_s=writer,
            build_spark_s=spark_build,
            build_ratio_spark_over_writer=round(sb / w, 3),
            build_spark_floor_s=build_floor,
            join_found=dask_times[-1],
            join_dask_s=dask_times[:-1],
            join_spark_s=spark_times[:-1],
            join_spark_floor_s=join_floor,
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
