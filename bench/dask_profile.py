"""Where the Dask build of a sharded store spends its time: the task stream of
one `to_velkstore` run (10M pairs, 16 partitions, 8 shards, a 2-worker
LocalCluster), summed by task kind.  Prints; writes nothing but a temporary store.
"""
import collections, os, sys, time, tempfile
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sharded import pairs
import dask.bag as db, distributed
from velkstore.dask import to_velkstore
def main():
    n, parts = 10_000_000, 16
    with tempfile.TemporaryDirectory() as out:
        profile(n, parts, out)


def profile(n, parts, out):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", memory_limit="8GiB") as cl, distributed.Client(cl) as c:
        step = -(-n // parts)
        ranges = [(lo, min(lo + step, n)) for lo in range(0, n, step)]
        bag = db.from_sequence(ranges, npartitions=len(ranges)).map_partitions(lambda rs: (p for lo, hi in rs for p in pairs(lo, hi)))
        with distributed.get_task_stream(c) as ts:
            t = time.perf_counter(); to_velkstore(bag, out, 8); wall = time.perf_counter() - t
        by = collections.defaultdict(float); xfer = 0.0; workers = collections.defaultdict(float)
        for task in ts.data:
            name = task["key"][0] if isinstance(task["key"], tuple) else task["key"]
            name = str(name).rsplit("-", 1)[0]
            for s in task["startstops"]:
                d = s["stop"] - s["start"]
                if s["action"] == "compute":
                    by[name] += d; workers[task["worker"]] += d
                else:
                    by["<" + s["action"] + ">"] += d
        print(f"wall {wall:.2f} s; compute per worker: " + ", ".join(f"{v:.2f}" for v in workers.values()))
        for k, v in sorted(by.items(), key=lambda kv: -kv[1]):
            print(f"  {k[:60]:<60} {v:7.2f} s")

if __name__ == "__main__":
    main()
