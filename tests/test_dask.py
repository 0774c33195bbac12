"""Building sharded stores on a real two-process Dask cluster."""

import importlib.util
import os
import signal
import sys

import pytest

from velkstore import ShardedReader

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
