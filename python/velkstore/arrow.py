"""Arrow in and out: batch lookups that return a ``pyarrow`` array, and
stores built from Arrow tables.  Needs the ``arrow`` extra (pyarrow);
``import velkstore`` does not import it.

The methods that use this module are `VelkReader.get_many_arrow`,
`ShardedReader.get_many_arrow`, `VelkWriter.update_arrow` and
`ShardedWriter.update_arrow`.  Columns cross into the native module
through the Arrow C data interface (the PyCapsule protocol), so keys and
values are read and written in place, with no Python object per row.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]

from . import _native

# Rows packed at a time for the sharded writer (it stages them as bytes
# pairs, spilling to disk between slices).
_SLICE_ROWS = 1 << 16

# update_arrow modes, as the native module numbers them.
_MAP, _VALUE, _RAW = 0, 1, 2


def _is_key_type(t: pa.DataType) -> bool:
    return bool(
        pa.types.is_string(t)
        or pa.types.is_large_string(t)
        or pa.types.is_string_view(t)
        or pa.types.is_binary(t)
        or pa.types.is_large_binary(t)
        or pa.types.is_binary_view(t)
    )


class _Capsules:
    """A (schema, array) capsule pair, handed to pyarrow by the protocol."""

    __slots__ = ("_pair",)

    def __init__(self, pair: tuple[object, object]) -> None:
        self._pair = pair

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        return self._pair


def _key_chunks(keys: Any) -> list[tuple[object, object]] | None:
    """The chunks of Arrow keys as capsule pairs; None for a Python sequence."""
    if isinstance(keys, (pa.Array, pa.ChunkedArray)) and pa.types.is_dictionary(keys.type):
        keys = keys.cast(keys.type.value_type)  # categorical keys: looked up by their values
    if isinstance(keys, pa.ChunkedArray):
        chunks: Sequence[pa.Array] = keys.chunks
        key_type = keys.type
    elif isinstance(keys, pa.Array):
        chunks, key_type = [keys], keys.type
    elif hasattr(keys, "__arrow_c_array__"):
        # Another library's array: its type is checked natively.
        return [keys.__arrow_c_array__()]
    elif hasattr(keys, "__arrow_c_stream__"):
        stream = pa.chunked_array(keys)
        chunks, key_type = stream.chunks, stream.type
    else:
        return None
    if not _is_key_type(key_type):
        raise TypeError(f"keys must be a string or binary array, not {key_type}")
    return [c.__arrow_c_array__() for c in chunks]


def get_many(readers: Sequence[Any], seed: int, keys: Any) -> pa.Array:
    """The values of *keys* from one reader (``readers`` of one item) or
    from the shards of a sharded store (one reader or None per shard, and
    its placement seed), as a binary array with nulls for absent keys."""
    chunks = _key_chunks(keys)
    if chunks is None:
        pair = _native._arrow_get_many(readers, seed, keys, False)
    else:
        pair = _native._arrow_get_many(readers, seed, chunks, True)
    return pa.array(_Capsules(pair))


def _schema_and_batches(data: Any) -> tuple[pa.Schema, Iterable[pa.RecordBatch]]:
    if isinstance(data, pa.Table):
        return data.schema, data.to_batches()
    if isinstance(data, pa.RecordBatch):
        return data.schema, [data]
    if isinstance(data, pa.RecordBatchReader):
        return data.schema, data
    if hasattr(data, "__arrow_c_stream__"):
        reader = pa.RecordBatchReader.from_stream(data)
        return reader.schema, reader
    if hasattr(data, "__arrow_c_array__"):
        batch = pa.record_batch(data)
        return batch.schema, [batch]
    raise TypeError(
        f"update_arrow() takes a pyarrow Table or RecordBatch (or an object with __arrow_c_stream__ "
        f"or __arrow_c_array__), not {type(data).__name__}"
    )


def _field_index(schema: pa.Schema, name: object, role: str) -> int:
    if not isinstance(name, str):
        raise TypeError(f"{role} must be a column name (str), not {type(name).__name__}")
    found = [i for i, n in enumerate(schema.names) if n == name]
    if not found:
        raise ValueError(f"{role} {name!r} is not a column of the table (its columns: {schema.names})")
    if len(found) > 1:
        raise ValueError(f"{role} {name!r} names {len(found)} columns of the table")
    return found[0]


def _plan(
    schema: pa.Schema,
    key_column: str,
    value_columns: Sequence[str] | None,
    value_column: str | None,
    raw: bool,
) -> tuple[int, list[int], int]:
    """(key index, value indices, mode) for update_arrow's arguments."""
    key_index = _field_index(schema, key_column, "key_column")
    if value_column is not None:
        if value_columns is not None:
            raise TypeError("give value_columns or value_column, not both")
        return key_index, [_field_index(schema, value_column, "value_column")], _RAW if raw else _VALUE
    if raw:
        raise TypeError("raw=True stores one binary column as it is: name it with value_column=")
    if value_columns is None:
        indices = [i for i in range(len(schema.names)) if i != key_index]
    else:
        if isinstance(value_columns, (str, bytes)):
            raise TypeError("value_columns takes a list of column names; for one column's value use value_column=")
        indices = [_field_index(schema, name, "value column") for name in value_columns]
    names = [schema.names[i] for i in indices]
    if len(set(names)) != len(names):
        raise ValueError(f"value columns {names} name a column twice; a stored map holds each name once")
    return key_index, indices, _MAP


def _checked_keys(data: Any, schema: pa.Schema, key_index: int) -> None:
    # A null key fails before anything is staged when the whole table is
    # at hand; a stream's batches are checked as they come.
    if isinstance(data, (pa.Table, pa.RecordBatch)):
        column = data.column(key_index)
        if column.null_count:
            import pyarrow.compute as pc  # type: ignore[import-untyped]

            first = pc.index(pc.is_null(column), True).as_py()
            raise ValueError(
                f"key column {schema.names[key_index]!r} is null in row {first}; every row needs a key"
            )


def _plan_batches(
    data: Any, key_column: str, value_columns: Sequence[str] | None, value_column: str | None, raw: bool
) -> tuple[Iterable[pa.RecordBatch], int, list[int], int]:
    schema, batches = _schema_and_batches(data)
    key_index, indices, mode = _plan(schema, key_column, value_columns, value_column, raw)
    _checked_keys(data, schema, key_index)
    return batches, key_index, indices, mode


def stage(
    writer: Any,
    data: Any,
    key_column: str,
    value_columns: Sequence[str] | None,
    value_column: str | None,
    raw: bool,
) -> None:
    """`VelkWriter.update_arrow`: every row staged in *writer* natively."""
    batches, key_index, indices, mode = _plan_batches(data, key_column, value_columns, value_column, raw)
    # A table's row count is known up front: the writer sizes its tables
    # for all of them at the first batch.
    total = data.num_rows if isinstance(data, (pa.Table, pa.RecordBatch)) else -1
    row = 0
    for batch in batches:
        ahead = total - row if total >= 0 else -1
        _native._arrow_stage(writer, batch.__arrow_c_array__(), key_index, indices, mode, row, ahead)
        row += batch.num_rows


def packed_pairs(
    data: Any,
    key_column: str,
    value_columns: Sequence[str] | None,
    value_column: str | None,
    raw: bool,
) -> Iterator[Iterable[tuple[bytes, bytes]]]:
    """`ShardedWriter.update_arrow`: the rows as (key, stored value) bytes
    pairs, a slice of rows at a time."""
    batches, key_index, indices, mode = _plan_batches(data, key_column, value_columns, value_column, raw)
    row = 0
    for batch in batches:
        for start in range(0, batch.num_rows, _SLICE_ROWS):
            part = batch.slice(start, _SLICE_ROWS)
            keys, values = _native._arrow_pack(part.__arrow_c_array__(), key_index, indices, mode, row)
            row += part.num_rows
            yield zip(keys, values)
