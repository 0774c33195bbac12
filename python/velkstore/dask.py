"""Building sharded stores with Dask: `to_velkstore`.

Needs the optional extra (``pip install 'velkstore[dask]'``); the rest of
the package never imports Dask.

Each partition is split by shard on the worker that holds it, each shard is
built on a worker from its pieces of every partition, and the client
commits the manifest once every shard is built.  The shards are written
into the store's directory, so every worker must see that directory (a
local cluster, or a shared file system); see the README for clusters
without one.
"""

from __future__ import annotations

import os
from collections.abc import Hashable, Iterable, Sequence
from typing import Any, cast

try:
    import dask
    from dask.delayed import delayed
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("velkstore.dask needs Dask: pip install 'velkstore[dask]'") from exc

from ._common import PathArg
from ._writer import compression_level
from .sharded.build import BuiltShard, ShardedBuildInfo, Splitter, build_shard, commit_built, unpack_chunk
from .sharded.manifest import (
    BUILD_DIR_PREFIX,
    DirPath,
    check_num_shards,
    check_seed,
    join,
    new_build_id,
    remove_build_dir,
    replaceable_manifest,
    shard_file_name,
)

__all__ = ["to_velkstore"]

# Dask's own functions carry no type annotations.
_dask: Any = dask


def to_velkstore(
    collection: Any,
    directory: PathArg,
    num_shards: int,
    *,
    key: Hashable | None = None,
    value: Hashable | None = None,
    seed: int = 0,
    compress: str | None = None,
    compress_level: int | None = None,
    **compute_kwargs: Any,
) -> ShardedBuildInfo:
    """Build the sharded store *directory* of *num_shards* shards from a
    Dask collection, and return what was written.

    - A `dask.bag.Bag` of (key, value) pairs; or, with *key*, a bag of
      records (mappings) whose *key* field is the key and whose *value*
      field (or, without *value*, the whole record) is the value.
    - A `dask.dataframe.DataFrame`: *key* names the key column; *value*
      names the value column, or is None for whole rows as dicts.

    Keys are str or bytes; values anything MessagePack holds.  When a key
    occurs more than once, the pair that comes last in the collection's
    order wins: the higher partition number, and within a partition the
    later pair.  The result does not depend on which worker ran what.

    The computation runs on the current scheduler (the active
    `distributed.Client`, if any); *compute_kwargs* go to `dask.compute`.

    *compress* and *compress_level* are as for `VelkWriter`; each shard
    trains its own dictionary on its own values, on the worker that builds
    it.
    If it fails (a task raises, or workers die more often than the
    scheduler allows), no manifest is written: the directory keeps the
    store it had before, and this build's files are removed.
    """
    level = compression_level(compress, compress_level)
    n = check_num_shards(num_shards)
    seed = check_seed(seed)
    split = _split_partitions(collection, n, seed, key, value)
    target: DirPath = os.fspath(directory)
    os.makedirs(target, exist_ok=True)
    # A store this build could not replace fails now, not after every shard is built.
    replaceable_manifest(target)
    build_id = new_build_id()
    build_dir = join(target, BUILD_DIR_PREFIX + build_id)
    os.mkdir(build_dir)
    try:
        builds = [
            delayed(_build)(build_dir, shard_file_name(build_id, i, n), [s[i] for s in split], level)
            for i in range(n)
        ]
        built: Sequence[BuiltShard] = _dask.compute(*builds, **compute_kwargs)
        return commit_built(target, build_dir, seed, built)
    finally:
        remove_build_dir(build_dir)


def _split_partitions(
    collection: Any, n: int, seed: int, key: Hashable | None, value: Hashable | None
) -> list[Any]:
    """One task per partition, giving its pairs as one packed chunk per shard."""
    import dask.bag

    if isinstance(collection, dask.bag.Bag):
        # Split inside the partition's own task: a bag's partitions may be
        # iterators, which cannot travel to another worker.
        parts: list[Any] = cast(Any, collection).map_partitions(_split_partition, n, seed, key, value).to_delayed()
        return parts
    try:
        import dask.dataframe
    except ImportError:  # pragma: no cover - dask without its dataframe extra
        pass
    else:
        if isinstance(collection, dask.dataframe.DataFrame):
            if key is None:
                raise TypeError("to_velkstore() of a DataFrame needs key=<column name>")
            frames: list[Any] = cast(Any, collection).to_delayed()
            return [delayed(_split_partition)(f, n, seed, key, value) for f in frames]
    raise TypeError(
        f"to_velkstore() takes a dask Bag or DataFrame, not {type(collection).__name__!r}"
    )


def _pairs(part: Any, key: Hashable | None, value: Hashable | None) -> Iterable[tuple[Any, Any]]:
    if hasattr(part, "columns") and hasattr(part, "to_dict"):  # a pandas frame
        keys = part[key].tolist()
        values = part.to_dict("records") if value is None else part[value].tolist()
        return zip(keys, values)
    if key is None:
        return cast(Iterable[tuple[Any, Any]], part)  # pairs, checked as they are split
    if value is None:
        return ((r[key], r) for r in part)
    return ((r[key], r[value]) for r in part)


def _arrow_pairs(part: Any, key: Hashable, value: Hashable | None) -> list[Iterable[tuple[bytes, bytes]]] | None:
    """A pandas frame's rows packed natively through Arrow, byte for byte as
    `_pairs` would have them stored; None when pyarrow is missing or a
    column does not convert exactly (object columns other than text, bytes
    or None, missing values of other columns, names that are not str, types
    the Arrow path refuses), which then go the way of `_pairs`."""
    try:
        import pyarrow as pa  # type: ignore[import-untyped]
    except ImportError:  # pragma: no cover - depends on the installation
        return None
    from .arrow import packed_pairs

    names = list(part.columns)
    if not all(isinstance(n, str) for n in names) or len(set(names)) != len(names):
        return None
    if value is not None:
        names = [n for n in names if n in (key, value)]  # only the columns stored
    exact_objects = (pa.types.is_string, pa.types.is_large_string, pa.types.is_binary, pa.types.is_null)
    arrays = []
    try:
        for name in names:
            # from_pandas=False: a float NaN stays NaN, as to_dict gives it.
            array = pa.array(part[name], from_pandas=False)
            if part[name].dtype == object:
                if not any(t(array.type) for t in exact_objects):
                    return None  # ints and floats mixed, say, would come out all floats
            elif array.null_count:
                return None  # pandas' own missing markers (NaN in a text column, NA) are not None
            arrays.append(array)
        table = pa.Table.from_arrays(arrays, names=names)
        # Whole rows, the key column included, as to_dict("records") has them.
        columns = None if value is not None else names
        return list(packed_pairs(table, cast(str, key), columns, cast("str | None", value), False))
    except (pa.ArrowException, TypeError, ValueError, OverflowError):
        return None


def _split_partition(
    part: Any, num_shards: int, seed: int, key: Hashable | None, value: Hashable | None
) -> tuple[bytes, ...]:
    # Runs on a worker: one packed chunk per shard, pairs in partition order.
    splitter = Splitter(num_shards, seed)
    packed = None
    if key is not None and hasattr(part, "columns") and hasattr(part, "to_dict"):  # a pandas frame
        packed = _arrow_pairs(part, key, value)
    if packed is None:
        splitter.add_pairs(_pairs(part, key, value))
    else:
        for pairs in packed:
            splitter.add_pairs(pairs, raw=True)
    return tuple(splitter.take())


def _build(build_dir: DirPath, name: str, chunks: list[bytes], compress_level: int | None) -> BuiltShard:
    # Runs on a worker: the chunks come in partition order, so a key bound
    # in a later partition takes its later value.
    return build_shard(build_dir, name, (unpack_chunk(c) for c in chunks), compress_level)
