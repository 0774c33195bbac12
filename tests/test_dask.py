"""Building sharded stores on a real two-process Dask cluster."""

import importlib.util
import os
import signal
import sys

import pytest

from velkstore import ShardedReader, ShardedWriter

# Dask, distributed and pandas start threads when imported, so they are
# imported by the tests themselves (which run last), not at collection.
if importlib.util.find_spec("distributed") is None:
    pytest.skip("distributed is not installed", allow_module_level=True)


@pytest.fixture(scope="module")
def client():
    import cloudpickle
    import dask
    import distributed

    # The workers cannot import this test module: send its functions by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    # One retry after a worker dies, so a task that kills its worker every
    # time fails fast.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster, distributed.Client(cluster) as c:
            yield c


def test_bag_and_frame_round_trip_last_binding_wins(client, tmp_path):
    import dask
    import dask.bag as db
    import dask.dataframe as dd
    import pandas as pd

    from velkstore.dask import to_velkstore

    # Partition 1 is empty; "dup" is bound in partitions 0, 2 and 3 (twice),
    # so its last binding in collection order wins whoever runs what.
    parts = [
        [("dup", "p0"), ("a", 1)],
        [],
        [("dup", "p2"), ("b", {"x": [1, 2]})],
        [("dup", "p3-first"), (b"\xff", b"bytes"), ("dup", "p3-last")],
    ]
    bag = db.from_delayed([dask.delayed(p) for p in parts])
    d = tmp_path / "st"
    info = to_velkstore(bag, d, 3)
    assert (info.num_shards, info.num_keys) == (3, 4)
    with ShardedReader(d) as r:
        assert r.verify()
        assert r.get_many(["a", "b", "dup", b"\xff"]) == [1, {"x": [1, 2]}, "p3-last", b"bytes"]
        assert len(r) == 4

    frame = pd.DataFrame({"id": [f"r{i}" for i in range(50)], "n": range(50), "f": [0.5] * 50})
    ddf = dd.from_pandas(frame, npartitions=4)
    to_velkstore(ddf, d, 2, key="id", value="n")  # rebuilds over the bag's store
    with ShardedReader(d) as r:
        assert dict(r) == {f"r{i}": i for i in range(50)} and len(r.stats()["shards"]) == 2
    to_velkstore(ddf, d, 2, key="id")
    with ShardedReader(d) as r:
        assert r["r7"] == {"id": "r7", "n": 7, "f": 0.5}
    # A missing value of a pandas extension column is None, as in whole rows;
    # a nullable integer stays an integer, a map a dict, a period is no value.
    import pyarrow as pa

    gaps = pd.DataFrame({
        "id": ["a", "b"], "s": pd.array(["x", None], dtype="string"),
        "n": pd.Series([2**62 + 1, None], dtype="int64[pyarrow]"),
        "t": pd.Series([pd.Timestamp("2020-01-01", tz="UTC"), pd.NaT]), "c": pd.Categorical(["x", None]),
        "m": pd.Series([[("k", 0), ("k", 1)], None], dtype=pd.ArrowDtype(pa.map_(pa.string(), pa.int64()))),
        "l": pd.Series([[[("k", 1)]], None], dtype=pd.ArrowDtype(pa.list_(pa.map_(pa.string(), pa.int64())))),
    })
    stamp = pd.Timestamp("2020-01-01", tz="UTC").to_pydatetime()
    for column, expected in [("s", "x"), ("n", 2**62 + 1), ("t", stamp), ("c", "x"), ("m", {"k": 1}), ("l", [{"k": 1}])]:
        to_velkstore(dd.from_pandas(gaps, npartitions=1), d, 2, key="id", value=column)
        with ShardedReader(d) as r:
            assert dict(r) == {"a": expected, "b": None}, column
    to_velkstore(dd.from_pandas(gaps, npartitions=1), d, 2, key="id")
    with ShardedReader(d) as r:
        assert r["b"] == {"id": "b", "s": None, "n": None, "t": None, "c": None, "m": None, "l": None}
    # Without a gap the rows go through Arrow: a map is a dict there too (a
    # key given twice keeps its last value, as in a dict).
    for column, expected in [("m", {"k": 1}), ("l", [{"k": 1}])]:
        to_velkstore(dd.from_pandas(gaps[:1], npartitions=1), d, 2, key="id", value=column)
        with ShardedReader(d) as r:
            assert dict(r) == {"a": expected}, column
    periods = pd.DataFrame({"id": ["a"], "p": pd.period_range("2020-01", periods=1, freq="M")})
    with pytest.raises(TypeError):
        to_velkstore(dd.from_pandas(periods, npartitions=1), d, 2, key="id", value="p")
    # Whole rows stored byte for byte as update() stores the frame's records,
    # a NaN as NaN, whichever way the rows are packed.
    frame.loc[3, "f"] = float("nan")
    to_velkstore(dd.from_pandas(frame, npartitions=3), tmp_path / "nan", 2, key="id")
    with ShardedWriter(tmp_path / "ref", 2) as w:
        w.update((row["id"], row) for row in frame.to_dict("records"))
    with ShardedReader(tmp_path / "nan") as r, ShardedReader(tmp_path / "ref") as ref:
        assert list(r.items_raw()) == list(ref.items_raw())
    assert sorted(os.listdir(d))[-1] == "velkstore-manifest.json" and len(os.listdir(d)) == 3
    with pytest.raises(TypeError):
        to_velkstore(ddf, d, 2)  # a frame needs its key column


def _kill_once(marker, pairs):
    # Kills the worker running it the first time any worker runs it.
    try:
        fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
    except FileExistsError:
        return pairs
    os.close(fd)
    os.kill(os.getpid(), signal.SIGKILL)


def _kill_always(pairs):
    os.kill(os.getpid(), signal.SIGKILL)


def test_worker_killed_mid_build(client, tmp_path):
    import dask.bag as db
    import distributed

    from velkstore.dask import to_velkstore

    d = tmp_path / "st"
    pairs = [(f"k{i}", i) for i in range(2000)]
    bag = db.from_sequence(pairs, npartitions=4)
    # Dies once: the scheduler reruns the lost work on a new worker and the
    # store comes out whole.
    killing = bag.map_partitions(lambda p, m=str(tmp_path / "killed"): _kill_once(m, list(p)))
    assert to_velkstore(killing, d, 4).num_keys == 2000
    with ShardedReader(d) as r:
        assert r.verify() and dict(r) == dict(pairs)
    before = sorted(os.listdir(d))
    manifest = (d / "velkstore-manifest.json").read_bytes()

    # Dies every time: the job fails, and the previous store is left as it
    # was, with no file of the failed build visible.
    with pytest.raises(distributed.KilledWorker):
        to_velkstore(bag.map_partitions(_kill_always), d, 4)
    assert sorted(os.listdir(d)) == before
    assert (d / "velkstore-manifest.json").read_bytes() == manifest
    with ShardedReader(d) as r:
        assert dict(r) == dict(pairs)


def test_lookup_join_absent_and_null_keys(client, tmp_path):
    import dask
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa

    from velkstore import ShardedWriter, VelkReader, VelkWriter
    from velkstore.dask import lookup

    pairs = {f"k{i}": {"name": f"n{i}", "n": i} for i in range(40)}
    pairs[b"\xff\xfe".decode("utf-8", "surrogateescape")] = {"name": "odd", "n": -1}
    with VelkWriter(tmp_path / "one.vlks") as w:
        w.update(pairs)
    with ShardedWriter(tmp_path / "sh", 3) as w:
        w.update(pairs)
    # str keys (Arrow-backed), bytes keys with bytes that are not UTF-8, and
    # nulls: present and absent keys mixed in every partition.
    text = ["k3", None, "missing", "k39", "k0", None, "k3", "", "k12"]
    raw_keys = [b"k1", b"\xff\xfe", None, b"nope", b"k2", b"k2", None, b"\xff", b"k30"]
    frame = pd.DataFrame({"t": text, "b": pd.Series(raw_keys, dtype=object), "i": range(len(text))})
    frame["t"] = frame["t"].astype("string[pyarrow]")
    with dask.config.set({"dataframe.convert-string": False}):  # keep the bytes as bytes
        ddf = dd.from_pandas(frame, npartitions=3)
    with VelkReader(tmp_path / "one.vlks") as r:
        want_t = [None if k is None else r.get_raw(k) for k in text]
        want_b = [None if k is None else r.get_raw(k) for k in raw_keys]
    assert want_t.count(None) == want_b.count(None) == 4

    for store in (tmp_path / "one.vlks", ShardedReader(tmp_path / "sh")):
        out = lookup(ddf, "t", store).compute()
        assert out["value"].dtype == pd.ArrowDtype(pa.binary())
        assert [None if pd.isna(v) else v for v in out["value"]] == want_t
        assert list(out["i"]) == list(range(len(text)))  # rows and order kept
        out = lookup(ddf, "b", store, column="v", decode=True).compute()
        assert list(out["v"]) == [None if k is None else pairs.get(_text(k)) for k in raw_keys]
        cols = lookup(ddf, "b", store, columns={"name": pa.string(), "n": pa.int64(), "gone": pa.bool_()}).compute()
        assert cols["n"].dtype == pd.ArrowDtype(pa.int64())
        assert cols["n"].tolist() == [1, -1, pd.NA, pd.NA, 2, 2, pd.NA, pd.NA, 30]
        assert cols["gone"].isna().all() and cols["name"].tolist()[1] == "odd"

    # A store rebuilt in place is seen by the next join: the workers' cached
    # readers notice the new manifest.
    with ShardedWriter(tmp_path / "sh", 2) as w:
        w.update({"k3": "new"})
    out = lookup(ddf, "t", tmp_path / "sh", decode=True).compute()
    assert out["value"].tolist() == ["new" if k == "k3" else None for k in text]
    with pytest.raises(ValueError, match="already has"):
        lookup(ddf, "t", tmp_path / "sh", column="i")
    with pytest.raises(TypeError, match="must hold str or bytes"):
        lookup(ddf, "i", tmp_path / "sh")


def _text(k):
    return k.decode("utf-8", "surrogateescape")


def test_lookup_join_survives_a_killed_worker(client, tmp_path):
    import dask.dataframe as dd
    import pandas as pd

    from velkstore import ShardedWriter
    from velkstore.dask import lookup

    with ShardedWriter(tmp_path / "st", 4) as w:
        w.update((f"k{i}", i * 3) for i in range(3000))
    frame = pd.DataFrame({"key": [f"k{i}" for i in range(0, 6000, 2)]})
    marker = str(tmp_path / "killed")
    ddf = dd.from_pandas(frame, npartitions=6)
    # meta given: the function must run on the workers only, never on the client.
    ddf = ddf.map_partitions(lambda p: _kill_once(marker, p), meta=ddf._meta)
    out = lookup(ddf, "key", tmp_path / "st", decode=True).compute()
    assert os.path.exists(marker)
    assert out["value"].tolist() == [i * 3 if i < 3000 else None for i in range(0, 6000, 2)]
