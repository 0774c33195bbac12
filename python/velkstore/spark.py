"""Spark adapters: lookup joins against a store (`lookup`) and building
sharded stores from a DataFrame (`to_velkstore`).

Needs the optional extra (``pip install 'velkstore[spark]'``, which brings
PySpark and pyarrow); the rest of the package never imports Spark.  The
executors' Python must have velkstore installed, and the store's path must
be on a file system the driver and every executor see.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from functools import partial
from typing import Any

try:
    import pyarrow as pa  # type: ignore[import-untyped]
    from pyspark import TaskContext
    from pyspark.sql import DataFrame
    from pyspark.sql.pandas.types import from_arrow_type, to_arrow_type
    from pyspark.sql.types import BinaryType, StructField, StructType
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("velkstore.spark needs PySpark and pyarrow: pip install 'velkstore[spark]'") from exc

from . import _lookup_join as lj
from ._common import PathArg
from ._writer import compression_level
from .sharded.build import (
    BuiltShard,
    ShardedBuildInfo,
    Splitter,
    build_attempt,
    build_directory,
    commit_attempts,
    pack_chunk,
    unpack_chunk,
)
from .sharded.arrow_split import add_batch
from .sharded.manifest import DirPath, check_num_shards, check_seed, shard_file_name

__all__ = ["lookup", "to_velkstore"]

# A task hands its pairs on in chunks of about this many staged bytes.
CHUNK_BYTES = 32 << 20


# -- lookup joins ---------------------------------------------------------------


def lookup(
    df: DataFrame,
    key_column: str,
    store: Any,
    *,
    column: str = "value",
    columns: Any = None,
    verify: bool | None = None,
) -> DataFrame:
    """*df* with the value stored for each row's key added, through
    `mapInArrow`: a lookup join against a store file or a sharded store.

    *store* is a path, a `VelkReader` or a `ShardedReader`; each executor's
    Python worker opens it once and reuses it.  *key_column* is a string or
    binary column; a null key reads as absent.

    By default the stored bytes are added as the binary column *column*,
    null where the key is absent.  With *columns* (a Spark `StructType` or
    DDL string such as ``"name string, n long"``, or, as for
    `velkstore.dask.lookup`, a pyarrow Schema or mapping of name to pyarrow
    type) each stored value is taken as a map of column to scalar and those
    fields are added: null where the key is absent or its map lacks the field.
    """
    ref = lj.store_ref(store, verify)
    if key_column not in df.columns:
        raise KeyError(f"the DataFrame has no column {key_column!r}")
    fields, spark_fields = _decoded_fields(df, columns)
    if spark_fields is None:
        spark_fields = [StructField(column, BinaryType(), True)]
    lj.check_new_columns(df.columns, [f.name for f in spark_fields])
    schema = StructType(df.schema.fields + spark_fields)
    large = _large_var_types(df)
    return df.mapInArrow(partial(_lookup_batches, key_column, ref, fields, large, schema.names), schema)


def _decoded_fields(df: DataFrame, columns: Any) -> tuple[list[pa.Field] | None, list[StructField] | None]:
    if columns is None:
        return None, None
    if isinstance(columns, str):
        columns = StructType.fromDDL(columns) if hasattr(StructType, "fromDDL") else _ddl(df, columns)
    if isinstance(columns, StructType):
        fields = [pa.field(f.name, to_arrow_type(f.dataType)) for f in columns.fields]
        if not fields:
            raise ValueError("columns must name at least one column")
        return fields, list(columns.fields)
    fields = lj.as_fields(columns)
    return fields, [StructField(f.name, from_arrow_type(f.type), True) for f in fields]


def _ddl(df: DataFrame, text: str) -> StructType:  # pragma: no cover - older PySpark
    from pyspark.sql.types import _parse_datatype_string

    parsed = _parse_datatype_string(text)
    if not isinstance(parsed, StructType):
        raise ValueError(f"columns {text!r} is not a list of fields")
    return parsed


def _large_var_types(df: DataFrame) -> bool:
    # Spark may exchange string and binary columns as Arrow's 64-bit-offset
    # types; the added column must then be one too.
    value = df.sparkSession.conf.get("spark.sql.execution.arrow.useLargeVarTypes", "false")
    return str(value).lower() == "true"


def _lookup_batches(
    key_column: str,
    ref: lj.StoreRef,
    fields: list[pa.Field] | None,
    large: bool,
    names: list[str],
    batches: Iterable[pa.RecordBatch],
) -> Iterator[pa.RecordBatch]:
    # Runs in an executor's Python worker, against its cached reader.
    reader = lj.cached_reader(ref)
    for batch in batches:
        raw = lj.lookup_raw(reader, lj.key_array(batch.column(key_column), key_column))
        if fields is not None:
            added = lj.decode_columns(raw, fields)
        else:
            added = [raw.cast(pa.large_binary()) if large else raw]
        yield pa.RecordBatch.from_arrays(list(batch.columns) + added, names=names)


# -- building -------------------------------------------------------------------

_CHUNK_SCHEMA = "shard int, part long, seq long, chunk binary"


def to_velkstore(
    df: DataFrame,
    directory: PathArg,
    num_shards: int,
    *,
    key: str,
    value: str | None = None,
    seed: int = 0,
    compress: str | None = None,
    compress_level: int | None = None,
) -> ShardedBuildInfo:
    """Build the sharded store *directory* of *num_shards* shards from a
    Spark DataFrame, and return what was written.

    *key* names the key column (string or binary); *value* names the value
    column, or is None to store whole rows as maps of column to value (the
    key column included), as `velkstore.dask.to_velkstore` does.  When a key
    occurs more than once, the row last in the DataFrame's order wins (the
    higher partition, then the later row).  *seed*, *compress* and
    *compress_level* are as for `ShardedWriter`.

    Each task splits its partition's rows by shard; the pieces are shuffled
    so that task *i* of the second stage gets every piece of shard *i*, in
    partition order, and builds that shard on its executor.  Only when every
    shard is built does the driver commit the manifest.  A task that fails
    and is retried builds its shard again in a directory of its own; if the
    job fails, no manifest is written, the directory keeps the store it had,
    and this build's files are removed.
    """
    level = compression_level(compress, compress_level)
    n = check_num_shards(num_shards)
    seed = check_seed(seed)
    for name in (key,) if value is None else (key, value):
        if name not in df.columns:
            raise KeyError(f"the DataFrame has no column {name!r}")
    with build_directory(os.path.abspath(os.fspath(directory))) as (target, build_id, build_dir):
        chunks = df.mapInArrow(partial(_split_batches, n, seed, key, value), _CHUNK_SCHEMA)
        results = (
            chunks.rdd.map(_keyed_chunk)
            .repartitionAndSortWithinPartitions(n, partitionFunc=_chunk_shard)
            .mapPartitionsWithIndex(partial(_build_task, build_dir, build_id, n, level))
            .collect()
        )
        results.sort(key=lambda r: r[0])
        if [r[0] for r in results] != list(range(n)):
            raise RuntimeError(f"the build returned shards {[r[0] for r in results]}, not each of 0..{n - 1} once")
        return commit_attempts(target, build_dir, seed, [(attempt, shard) for _, attempt, shard in results])


def _split_batches(
    num_shards: int, seed: int, key: str, value: str | None, batches: Iterable[pa.RecordBatch]
) -> Iterator[pa.RecordBatch]:
    # Runs in a first-stage task: this partition's pairs as packed chunks,
    # each tagged (shard, partition, sequence) so that the second stage
    # replays them in the DataFrame's order.
    part = _task().partitionId()
    splitter = Splitter(num_shards, seed)
    seq = 0

    def emit() -> pa.RecordBatch:
        nonlocal seq
        rows: tuple[list[int], list[bytes]] = ([], [])
        for i, (keys, raws) in enumerate(zip(splitter.keys, splitter.raws)):
            if keys:
                rows[0].append(i)
                rows[1].append(pack_chunk(keys, raws))
        splitter.clear()
        first, seq = seq, seq + len(rows[0])
        return pa.RecordBatch.from_arrays(
            [
                pa.array(rows[0], pa.int32()),
                pa.array([part] * len(rows[0]), pa.int64()),
                pa.array(range(first, seq), pa.int64()),
                pa.array(rows[1], pa.binary()),
            ],
            names=["shard", "part", "seq", "chunk"],
        )

    for batch in batches:
        add_batch(splitter, batch, key, value)
        if splitter.pending > CHUNK_BYTES:
            yield emit()
    yield emit()


def _task() -> TaskContext:
    context = TaskContext.get()
    if context is None:
        raise RuntimeError("this runs only inside a Spark task")
    return context


def _keyed_chunk(row: Any) -> tuple[tuple[int, int, int], bytes]:
    return (row[0], row[1], row[2]), row[3]


def _chunk_shard(k: tuple[int, int, int]) -> int:
    return k[0]


def _build_task(
    build_dir: DirPath, build_id: str, num_shards: int, level: int | None, index: int, chunks: Iterator[Any]
) -> Iterator[tuple[int, str, BuiltShard]]:
    # Runs in a second-stage task: builds shard *index* from its chunks,
    # sorted by (partition, sequence).  Each attempt builds in its own
    # directory, so a retried or speculative attempt never meets the file
    # of another.
    attempt = f"attempt-{_task().taskAttemptId()}"
    name = shard_file_name(build_id, index, num_shards)
    yield index, attempt, build_attempt(build_dir, attempt, name, (unpack_chunk(c) for _, c in chunks), level)
