"""Natural calls that `mypy --strict` must accept (checked by `make pytest`,
not run): the stubs' key and value types against concrete containers."""

import datetime

import velkstore
from velkstore import BuildInfo, ShardedReader, ShardedWriter, VelkReader, VelkWriter


def typed_calls(path: str) -> None:
    rows: dict[str, dict[str, float]] = {"a": {"x": 1.0}}
    raw: dict[bytes, bytes] = {b"k": b"\x01"}
    pairs: list[tuple[str, list[int]]] = [("k", [1])]
    with VelkWriter(path) as w:
        w.update(rows)
        w.update(pairs)
        w.update_raw(raw)
        w.update_raw([("k", b"\x01")])
        w.add_many(["a", "b"], {"when": datetime.datetime.now(datetime.timezone.utc)})
    info: BuildInfo = w.build()
    n: int = info.replaced
    with VelkReader(path) as r:
        values: list[object] = r.get_many(["a", b"b"])
        size: int = r.stats()["file_size"]
        first: dict[str, float] = r["a"]
    with ShardedWriter(path + ".d", num_shards=2) as sw:
        sw.update(rows)
    with ShardedReader(path + ".d") as sr:
        sr.get_many(list(rows))
    built = velkstore.build_from([{"id": 1, "v": 2.0}], path, key="id", value="v")
    print(n, values, size, first, built.num_keys)


class Counting(VelkReader):
    def count(self) -> int:
        return len(self)


def subclass_in_with(path: str) -> int:
    with Counting(path) as r:  # `with` gives the subclass back
        return r.count()
