"""Lookup joins and sharded builds on a local Spark session."""

import importlib.util
import os
import shutil
import sys

import pytest

from velkstore import ShardedReader, ShardedWriter

if importlib.util.find_spec("pyspark") is None or shutil.which("java") is None:
    pytest.skip("pyspark or java is not installed", allow_module_level=True)
# Under the sanitizer run the preloaded runtime reaches Spark's launch
# scripts, whose `ps` then never returns; the native paths Spark drives are
# the ones the other tests run under the sanitizers.
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Spark does not start under the preloaded sanitizer runtime", allow_module_level=True)


@pytest.fixture(scope="module")
def spark():
    from pyspark.sql import SparkSession

    # The Python workers run this interpreter, which has velkstore.
    saved = os.environ.get("PYSPARK_PYTHON")
    os.environ["PYSPARK_PYTHON"] = sys.executable
    # Two threads; "local[2,2]" lets a failed task run once more, as a
    # cluster's task retries would.
    session = (
        SparkSession.builder.master("local[2,2]")
        .appName("velkstore-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .getOrCreate()
    )
    yield session
    session.stop()
    if saved is None:
        del os.environ["PYSPARK_PYTHON"]
    else:
        os.environ["PYSPARK_PYTHON"] = saved


def _failing(marker, real):
    # Builds the shard, then fails the task: the first time any task gets
    # here (marker is None: every time).
    def build(*args):
        shard = real(*args)
        if marker is not None:
            try:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                return shard
        raise RuntimeError("task failed after writing its shard")

    return build


def test_build_with_a_failing_task(spark, tmp_path, monkeypatch):
    from pyspark import cloudpickle

    import velkstore.spark as vs

    # The tasks run the patched module: send it, and this test's functions,
    # by value.
    for module in (vs, sys.modules[__name__]):
        cloudpickle.register_pickle_by_value(module)
    try:
        rows = [(f"k{i}", i, f"v{i}") for i in range(2000)] + [("k5", -5, "last")]
        df = spark.createDataFrame(rows, "key string, n long, s string").coalesce(3)
        d = tmp_path / "st"
        marker = str(tmp_path / "failed")
        monkeypatch.setattr(vs, "build_attempt", _failing(marker, vs.build_attempt))
        info = vs.to_velkstore(df, d, 4, key="key", seed=7)
        assert os.path.exists(marker) and info.num_keys == 2000
        want = {k: {"key": k, "n": n, "s": s} for k, n, s in rows}  # k5: its later row
        with ShardedReader(d) as r:
            assert r.verify() and r.manifest.seed == 7 and dict(r) == want
        before = sorted(os.listdir(d))
        assert len(before) == 5  # four shards and the manifest: nothing of the failed attempt
        manifest = (d / "velkstore-manifest.json").read_bytes()

        # Failing every time: the job fails, and the store is as it was.
        monkeypatch.setattr(vs, "build_attempt", _failing(None, vs.build_attempt))
        with pytest.raises(Exception, match="task failed"):
            vs.to_velkstore(df.select("key", "n"), d, 2, key="key", value="n")
        assert sorted(os.listdir(d)) == before
        assert (d / "velkstore-manifest.json").read_bytes() == manifest
    finally:
        for module in (vs, sys.modules[__name__]):
            cloudpickle.unregister_pickle_by_value(module)


def test_lookup_matches_dask(spark, tmp_path):
    import dask
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa

    import velkstore.dask
    import velkstore.spark

    with ShardedWriter(tmp_path / "st", 3) as w:
        w.update((f"k{i}", {"n": i, "s": f"v{i}"}) for i in range(500))
        w.add(b"\xff\x00", {"n": -1})
    keys = [b"k1", None, b"\xff\x00", b"absent", b"k499", b"k1", b"\xff"]
    sdf = spark.createDataFrame([(k, i) for i, k in enumerate(keys)], "key binary, i int").repartition(2, "i")
    pdf = pd.DataFrame({"key": pd.Series(keys, dtype=object), "i": range(len(keys))})
    schema = pa.schema([("n", pa.int64()), ("s", pa.string())])

    # The bytes keys stay bytes (not converted to text).
    with dask.config.set({"scheduler": "sync", "dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=2)
        want_raw = velkstore.dask.lookup(ddf, "key", tmp_path / "st").compute()
        want_cols = velkstore.dask.lookup(ddf, "key", tmp_path / "st", columns=schema).compute()
    got_raw = velkstore.spark.lookup(sdf, "key", tmp_path / "st").orderBy("i").collect()
    got_cols = velkstore.spark.lookup(sdf, "key", tmp_path / "st", columns="n long, s string").orderBy("i").collect()
    assert [None if r.value is None else bytes(r.value) for r in got_raw] == [
        None if pd.isna(v) else v for v in want_raw["value"]
    ]
    assert [(r.n, r.s) for r in got_cols] == [
        (None if pd.isna(n) else n, None if pd.isna(s) else s) for n, s in zip(want_cols["n"], want_cols["s"])
    ]
    assert [r.n for r in got_cols] == [1, None, -1, None, 499, 1, None]


def test_build_of_few_or_no_rows(spark, tmp_path):
    # Shards that get no row, a DataFrame whose partitions are all empty, and
    # one with no partition at all: every shard is still built, and empty.
    from velkstore.spark import to_velkstore

    cases = {
        "one row": spark.createDataFrame([("a", 1)], "key string, n long").repartition(3),
        "empty partitions": spark.createDataFrame([("a", 1)], "key string, n long").where("n < 0").repartition(2),
        "no partition": spark.range(0).selectExpr("CAST(id AS string) AS key", "id AS n"),
    }
    for name, df in cases.items():
        d = tmp_path / name
        info = to_velkstore(df, d, 4, key="key", value="n")
        want = {"a": 1} if name == "one row" else {}
        with ShardedReader(d) as r:
            assert r.verify() and r.manifest.num_shards == 4 and dict(r) == want, name
        assert info.num_keys == len(want) and len(os.listdir(d)) == 5, name
