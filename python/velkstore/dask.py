"""Dask adapters: building sharded stores (`to_velkstore`) and lookup
joins against a store (`lookup`).

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
from .sharded.build import (
    BuiltShard,
    ShardedBuildInfo,
    Splitter,
    build_directory,
    build_shard,
    commit_built,
    unpack_chunk,
)
from .sharded.arrow_split import add_batch
from .sharded.manifest import DirPath, check_num_shards, check_seed, shard_file_name

__all__ = ["lookup", "to_velkstore"]

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
    with build_directory(directory) as (target, build_id, build_dir):
        builds = [
            delayed(_build)(build_dir, shard_file_name(build_id, i, n), [s[i] for s in split], level)
            for i in range(n)
        ]
        built: Sequence[BuiltShard] = _dask.compute(*builds, **compute_kwargs)
        return commit_built(target, build_dir, seed, built, given=os.fspath(directory))


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
        return zip(keys, _records(part) if value is None else _column(part[[value]].iloc[:, 0]))
    if key is None:
        return cast(Iterable[tuple[Any, Any]], part)  # pairs, checked as they are split
    if value is None:
        return ((r[key], r) for r in part)
    return ((r[key], r[value]) for r in part)


def _column(series: Any) -> list[Any]:
    """A pandas column's values as plain Python values, a missing one as
    None.  An Arrow-backed column converts as Arrow converts it (an integer
    with a gap stays an integer, where to_dict gives floats; a map, at any
    depth, is a dict, as on the Arrow paths).  Otherwise to_dict's values,
    which are None for most of pandas' missing markers, but NaT in a time
    column and NaN in a categorical one, set to None here (a float column's
    NaN is a value, and stays)."""
    if _arrow_backed(series.dtype):
        values: list[Any] = series.array.__arrow_array__().to_pylist(maps_as_pydicts="lossy")
        return values
    values = series.to_frame(name=0).to_dict("list")[0]
    if _own_gap_marker(series.dtype):
        missing = series.isna().to_numpy()
        if missing.any():
            values = [None if gone else v for v, gone in zip(values, missing)]
    return values


def _arrow_backed(dtype: Any) -> bool:
    return getattr(dtype, "pyarrow_dtype", None) is not None


def _own_gap_marker(dtype: Any) -> bool:
    # NaT in a time column, NaN in a categorical one.
    return getattr(dtype, "kind", "") in ("m", "M") or getattr(dtype, "name", "") == "category"


def _records(frame: Any) -> list[dict[Hashable, Any]]:
    """A pandas frame's rows as plain Python values, each column's as
    _column gives them."""
    rows: list[dict[Hashable, Any]] = frame.to_dict("records")
    for at, (name, dtype) in enumerate(frame.dtypes.items()):
        if _arrow_backed(dtype) or _own_gap_marker(dtype):
            for row, cell in zip(rows, _column(frame.iloc[:, at])):
                row[name] = cell
    return rows


def _split_partition(
    part: Any, num_shards: int, seed: int, key: Hashable | None, value: Hashable | None
) -> tuple[bytes, ...]:
    # Runs on a worker: one packed chunk per shard, pairs in partition order.
    splitter = Splitter(num_shards, seed)
    batch = _arrow_frame(part, key, value)
    if batch is not None:
        add_batch(splitter, batch, cast(str, key), cast("str | None", value))
    else:
        splitter.add_pairs(_pairs(part, key, value))
    return tuple(splitter.take())


def _arrow_frame(part: Any, key: Hashable | None, value: Hashable | None) -> Any:
    # A data frame's rows go through Arrow, packed natively, when its
    # columns allow (see sharded.arrow_split).
    if not (hasattr(part, "columns") and hasattr(part, "to_dict")):
        return None
    if not isinstance(key, str) or not isinstance(value, (str, type(None))):
        return None
    from .sharded.arrow_split import frame_batch

    return frame_batch(part if value is None else part[[key] if key == value else [key, value]])


def _build(build_dir: DirPath, name: str, chunks: list[bytes], compress_level: int | None) -> BuiltShard:
    # Runs on a worker: the chunks come in partition order, so a key bound
    # in a later partition takes its later value.
    return build_shard(build_dir, name, (unpack_chunk(c) for c in chunks), compress_level)


# -- lookup joins ---------------------------------------------------------------


def lookup(
    df: Any,
    key_column: Hashable,
    store: Any,
    *,
    column: str = "value",
    decode: bool = False,
    columns: Any = None,
    verify: bool | None = None,
) -> Any:
    """*df* (a Dask DataFrame) with the value stored for each row's key
    added: a lookup join against a store file or a sharded store.

    *store* is a path (file, sharded store directory or manifest), a
    `VelkReader` or a `ShardedReader` (a reader opened on some shards only
    keeps that restriction).  Every worker opens it once and reuses it for
    all its partitions, so the path must be readable on the workers as on
    the client.  *key_column* holds str or bytes (Arrow-backed strings and
    categoricals included); a null key reads as absent.

    - By default the encoded values are added as the column *column*, of
      dtype ``binary[pyarrow]``, null where the key is absent.
    - With *decode*, *column* holds the decoded objects (dtype object,
      None where absent).
    - With *columns* (a pyarrow Schema, list of Fields or mapping of name
      to pyarrow type), each stored value is taken as a map of column to
      scalar (the form tables are stored in) and those fields are added as
      Arrow-backed columns: null where the key is absent or its map lacks
      the field.
    """
    import pandas as pd  # type: ignore[import-untyped]
    import pyarrow as pa  # type: ignore[import-untyped]

    from . import _lookup_join as lj

    ref = lj.store_ref(store, verify)
    if key_column not in df.columns:
        raise KeyError(f"the frame has no column {key_column!r}")
    if df._meta[key_column].dtype.kind in "biufcmM":
        raise TypeError(f"key column {key_column!r} must hold str or bytes, not {df._meta[key_column].dtype}")
    fields = None if columns is None else lj.as_fields(columns)
    if fields is not None and decode:
        raise ValueError("decode and columns cannot both be given")
    added = [column] if fields is None else [f.name for f in fields]
    lj.check_new_columns(list(df.columns), added)
    meta = df._meta.copy()
    if fields is not None:
        for f in fields:
            meta[f.name] = pd.Series([], dtype=pd.ArrowDtype(f.type))
    elif decode:
        meta[column] = pd.Series([], dtype=object)
    else:
        meta[column] = pd.Series([], dtype=pd.ArrowDtype(pa.binary()))
    return df.map_partitions(_lookup_partition, key_column, ref, column, decode, fields, meta=meta)


def _lookup_partition(
    part: Any, key_column: Hashable, ref: Any, column: str, decode: bool, fields: list[Any] | None
) -> Any:
    # Runs on a worker, against that worker process's reader of the store.
    import pandas as pd
    import pyarrow as pa

    from . import _lookup_join as lj

    reader = lj.cached_reader(ref)
    series = part[key_column]
    try:
        keys = pa.array(series, from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:
        raise TypeError(f"key column {key_column!r} must hold str or bytes: {exc}") from None
    raw = lj.lookup_raw(reader, lj.key_array(keys, str(key_column)))
    out = part.copy(deep=False)
    if fields is not None:
        for f, arr in zip(fields, lj.decode_columns(raw, fields)):
            out[f.name] = pd.Series(pd.arrays.ArrowExtensionArray(arr), index=part.index)
    elif decode:
        out[column] = pd.Series(lj.decode_values(raw), index=part.index, dtype=object)
    else:
        out[column] = pd.Series(pd.arrays.ArrowExtensionArray(raw), index=part.index)
    return out
