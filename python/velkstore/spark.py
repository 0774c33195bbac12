"""Spark adapters: lookup joins against a store (`lookup`) and building
sharded stores from a DataFrame (`to_velkstore`).

Needs the optional extra (``pip install 'velkstore[spark]'``, which brings
PySpark and pyarrow); the rest of the package never imports Spark.  The
executors' Python must have velkstore installed, and the store's path must
be on a file system the driver and every executor see.
"""

from __future__ import annotations

import os
import pickle
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
    append_chunks,
    build_attempt,
    build_directory,
    commit_attempts,
    read_chunk,
    unpack_chunk,
)
from .sharded.arrow_split import add_batch
from .sharded.manifest import DirPath, check_num_shards, check_seed, join, shard_file_name

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

    By default the encoded values are added as the binary column *column*,
    null where the key is absent.  With *columns* (a Spark `StructType` or
    DDL string such as ``"name string, n long"``, or, as for
    `velkstore.dask.lookup`, a pyarrow Schema or mapping of name to pyarrow
    type) each stored value is taken as a map of column to scalar and those
    fields are added: null where the key is absent or its map lacks the field.

    Spark 4 measures each Arrow batch after every row to keep it under
    ``spark.sql.execution.arrow.maxBytesPerBatch``; for a join that costs
    about as much as Spark's whole exchange with Python.  Setting it to
    2147483647 on the session turns the measuring off (see the README).
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

# What a first-stage task hands on for each chunk of pairs it wrote: the
# shard, the value that routes the row to the shard's task (`_routes`), its
# place in the DataFrame's order (partition, sequence) and where it is.
_CHUNK_SCHEMA = "route int, shard int, part long, seq long, file string, offset long, size long"
# What a second-stage task returns: (shard, attempt, BuiltShard), pickled.
_BUILT_SCHEMA = "built binary"


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

    Each task of a first stage splits its partition's rows by shard into
    packed chunks, which it appends to a file of its own in the build
    directory (a hidden directory inside *directory*).  Only where each chunk
    lies goes through Spark's shuffle, so that task *i* of the second stage
    gets the places of every chunk of shard *i*, in the DataFrame's order; it
    reads them back and builds that shard.  Only when every shard is built
    does the driver commit the manifest.  A task that fails and is retried
    writes its chunks, or builds its shard, again in files of its own; if the
    job fails, no manifest is written, the directory keeps the store it had,
    and this build's files are removed.  The build directory needs room for
    the packed pairs as well as the shards.

    As for `lookup`, ``spark.sql.execution.arrow.maxBytesPerBatch`` set to
    2147483647 spares the first stage Spark's measuring of every row.
    """
    level = compression_level(compress, compress_level)
    n = check_num_shards(num_shards)
    seed = check_seed(seed)
    for name in (key,) if value is None else (key, value):
        if name not in df.columns:
            raise KeyError(f"the DataFrame has no column {name!r}")
    with build_directory(directory) as (target, build_id, build_dir):
        routes = _routes(df.sparkSession, n)
        chunks = df.mapInArrow(partial(_split_batches, build_dir, n, seed, key, value, routes), _CHUNK_SCHEMA)
        ordered = chunks.repartition(n, "route").sortWithinPartitions("part", "seq")
        rows = ordered.mapInArrow(partial(_build_batches, build_dir, build_id, n, level), _BUILT_SCHEMA).collect()
        results = [pickle.loads(row[0]) for row in rows]
        if not results:
            # A DataFrame of no partitions: no task ran, the shards are empty.
            results = [_build(build_dir, build_id, n, level, i, iter(()), f"driver-{i}") for i in range(n)]
        results.sort(key=lambda r: r[0])
        if [r[0] for r in results] != list(range(n)):
            raise RuntimeError(f"the build returned shards {[r[0] for r in results]}, not each of 0..{n - 1} once")
        return commit_attempts(target, build_dir, seed, [(attempt, shard) for _, attempt, shard in results])


def _routes(spark: Any, num_shards: int) -> list[int]:
    """For each shard *i*, a value that Spark's hash partitioning into
    *num_shards* partitions sends to partition *i* (``pmod(hash(v), n)``,
    asked of Spark itself): a shuffle on it gives task *i* shard *i*."""
    width = 16 * num_shards
    while True:
        found = (
            spark.range(0, width)
            .selectExpr("CAST(id AS int) AS v")
            .selectExpr("v", f"pmod(hash(v), {num_shards}) AS p")
            .groupBy("p")
            .agg({"v": "min"})
            .collect()
        )
        if len(found) == num_shards:
            routes = [0] * num_shards
            for p, v in found:
                routes[p] = v
            return routes
        if width >= 1 << 30:  # pragma: no cover - the hash would have to be broken
            raise RuntimeError(f"found no value for each of {num_shards} partitions")
        width *= 4


def _split_batches(
    build_dir: DirPath,
    num_shards: int,
    seed: int,
    key: str,
    value: str | None,
    routes: list[int],
    batches: Iterable[pa.RecordBatch],
) -> Iterator[pa.RecordBatch]:
    # Runs in a first-stage task: this partition's pairs as packed chunks in
    # a file of this attempt's, each chunk's row tagged (shard, partition,
    # sequence) so that the second stage replays them in the DataFrame's
    # order.
    context = _task()
    part = context.partitionId()
    file = f"chunks-{context.taskAttemptId()}"
    splitter = Splitter(num_shards, seed)
    seq = 0

    def emit(every: bool = False) -> pa.RecordBatch:
        nonlocal seq
        shards = [i for i, keys in enumerate(splitter.keys) if every or keys]
        packed = splitter.take()
        sizes = [len(packed[i]) for i in shards]
        offsets = append_chunks(join(build_dir, file), [packed[i] for i in shards])
        first, seq = seq, seq + len(shards)
        return pa.RecordBatch.from_arrays(
            [
                pa.array([routes[i] for i in shards], pa.int32()),
                pa.array(shards, pa.int32()),
                pa.array([part] * len(shards), pa.int64()),
                pa.array(range(first, seq), pa.int64()),
                pa.array([file] * len(shards), pa.string()),
                pa.array(offsets, pa.int64()),
                pa.array(sizes, pa.int64()),
            ],
            names=["route", "shard", "part", "seq", "file", "offset", "size"],
        )

    for batch in batches:
        add_batch(splitter, batch, key, value)
        if splitter.pending > CHUNK_BYTES:
            yield emit()
    # The first partition sends every shard a chunk, empty or not, so that
    # no shard's task goes without input (Spark may skip an empty one).
    yield emit(every=part == 0)


def _task() -> TaskContext:
    context = TaskContext.get()
    if context is None:
        raise RuntimeError("this runs only inside a Spark task")
    return context


def _build_batches(
    build_dir: DirPath, build_id: str, num_shards: int, level: int | None, batches: Iterable[pa.RecordBatch]
) -> Iterator[pa.RecordBatch]:
    # Runs as a second-stage task: partition i builds shard i.  Each attempt
    # builds in its own directory, so a retried or speculative attempt never
    # meets the file of another.
    context = _task()
    index = context.partitionId()
    rows = (row for batch in batches for row in batch.select(["shard", "file", "offset", "size"]).to_pylist())
    built = _build(build_dir, build_id, num_shards, level, index, rows, f"attempt-{context.taskAttemptId()}")
    yield pa.RecordBatch.from_arrays([pa.array([pickle.dumps(built)], pa.binary())], names=["built"])


def _build(
    build_dir: DirPath,
    build_id: str,
    num_shards: int,
    level: int | None,
    index: int,
    rows: Iterator[dict[str, Any]],
    attempt: str,
) -> tuple[int, str, BuiltShard]:
    # Builds shard *index* in the directory *attempt* from the chunks the
    # rows place, which come in the DataFrame's order.
    def chunks() -> Iterator[Iterable[tuple[bytes, bytes]]]:
        for row in rows:
            if row["shard"] != index:
                raise RuntimeError(f"a chunk of shard {row['shard']} reached the task building shard {index}")
            yield unpack_chunk(read_chunk(join(build_dir, row["file"]), row["offset"], row["size"]))

    name = shard_file_name(build_id, index, num_shards)
    return index, attempt, build_attempt(build_dir, attempt, name, chunks(), level)
