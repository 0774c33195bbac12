"""Lookup joins: what the Dask and Spark adapters share.

A join sends the store to the workers as a small reference (its absolute path
and options), never as an open reader: each worker process opens it once
and keeps it, so every partition after the first pays nothing to open.
A store rebuilt at the same path (a new manifest, or a new file renamed
into place) is seen by its changed inode and reopened.

Needs pyarrow; only the adapters import this module.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]

from ._common import decode
from .arrow import _is_key_type as is_key_type
from ._reader import VelkReader
from .sharded.manifest import MANIFEST_NAME, join


@dataclass(frozen=True)
class StoreRef:
    """What a worker needs to open a store: the absolute path, and the
    options of the reader it was given (shards: the indices a
    `ShardedReader` had open, None for all)."""

    path: str | bytes
    verify: bool | None = None
    shards: tuple[int, ...] | None = None


def store_ref(store: Any, verify: bool | None = None) -> StoreRef:
    """What a worker needs to open *store*: a path (a store file, a sharded store's
    directory or its manifest), a `VelkReader` or a `ShardedReader`.

    The store is opened here once, so that a wrong path fails on the client
    rather than in every task.
    """
    from .sharded.open_store import open_store
    from .sharded.reader import ShardedReader

    if isinstance(store, ShardedReader):
        shards = None if len(store.shards) == store.manifest.num_shards else store.shards
        return StoreRef(store._home, store._verify if verify is None else verify, shards)
    if isinstance(store, VelkReader):
        return StoreRef(store._home, store._verify if verify is None else verify)
    if not isinstance(store, (str, bytes, os.PathLike)):
        raise TypeError(f"store must be a path, VelkReader or ShardedReader, not {type(store).__name__!r}")
    path = os.path.abspath(os.fspath(store))
    with open_store(path, verify=verify):
        pass
    return StoreRef(path, verify)


# -- the per-process reader cache ---------------------------------------------

_cache: dict[StoreRef, tuple[tuple[int, ...], Any]] = {}
_cache_lock = threading.Lock()


def _identity(path: str | bytes) -> tuple[int, ...]:
    # A commit renames a new manifest (or a new file) into place: a new inode.
    st = os.stat(join(path, MANIFEST_NAME) if os.path.isdir(path) else path)
    return (st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size)


def cached_reader(ref: StoreRef) -> Any:
    """This process's reader of *ref*, opened on first use.  Readers may be
    shared by threads, so one serves every task of the process."""
    from .sharded.open_store import open_store
    from .sharded.reader import ShardedReader

    ident = _identity(ref.path)
    with _cache_lock:
        hit = _cache.get(ref)
        if hit is not None and hit[0] == ident:
            return hit[1]
        if ref.shards is not None:
            reader: Any = ShardedReader(ref.path, verify=ref.verify, shards=ref.shards)
        else:
            reader = open_store(ref.path, verify=ref.verify)
        # A replaced reader is dropped, not closed: a task on another thread
        # may have been handed it and not yet begun its lookup.  Its file is
        # released when the last of them lets it go.
        _cache[ref] = (ident, reader)
    return reader


# -- one batch ------------------------------------------------------------------


def key_array(keys: pa.Array | pa.ChunkedArray, name: str) -> pa.Array | pa.ChunkedArray:
    """*keys* as a string or binary array (dictionary-encoded keys decoded)."""
    if pa.types.is_dictionary(keys.type):
        keys = keys.cast(keys.type.value_type)
    t = keys.type
    if not (pa.types.is_null(t) or is_key_type(t)):
        raise TypeError(f"key column {name!r} must hold str or bytes, not {t}")
    return keys


def lookup_raw(reader: Any, keys: pa.Array | pa.ChunkedArray) -> pa.Array:
    """The encoded value of each key, as a binary array: null where the key
    is null or absent."""
    if pa.types.is_null(keys.type):  # a column with no key at all
        return pa.nulls(len(keys), pa.binary())
    return reader.get_many_arrow(keys)


def decode_values(raw: pa.Array) -> list[Any]:
    """Each stored value decoded (None where null)."""
    return [None if v is None else decode(v) for v in raw.to_pylist()]


def as_fields(columns: Any) -> list[pa.Field]:
    """The decoded columns asked for: a pyarrow Schema, a sequence of
    pyarrow Fields, or a mapping of name to pyarrow type."""
    if isinstance(columns, pa.Schema):
        fields = list(columns)
    elif isinstance(columns, Mapping):
        fields = [pa.field(name, t) for name, t in columns.items()]
    elif isinstance(columns, Sequence) and all(isinstance(f, pa.Field) for f in columns):
        fields = list(columns)
    else:
        raise TypeError("columns must be a pyarrow Schema, a list of pyarrow Fields or a mapping of name to type")
    if not fields:
        raise ValueError("columns must name at least one column")
    return fields


def decode_columns(raw: pa.Array, fields: list[pa.Field]) -> list[pa.Array]:
    """The stored values, each a map of column to scalar (as tables are
    stored), taken apart into one array per field: null where the value is
    absent or its map lacks the field."""
    rows = decode_values(raw)
    for row in rows:
        if row is not None and not isinstance(row, dict):
            raise TypeError(f"stored value {row!r} is not a map, so it has no columns")
    out = []
    for f in fields:
        cells = [None if row is None else row.get(f.name) for row in rows]
        try:
            out.append(pa.array(cells, f.type))
        except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError) as exc:
            raise TypeError(f"stored field {f.name!r} does not fit column type {f.type}: {exc}") from None
    return out


def check_new_columns(existing: Sequence[str], added: Sequence[str]) -> None:
    clash = sorted(set(existing) & set(added))
    if clash:
        raise ValueError(f"the frame already has column(s) {', '.join(map(repr, clash))}")
    if len(set(added)) != len(added):
        raise ValueError("the same column is asked for twice")


__all__ = [
    "StoreRef",
    "as_fields",
    "cached_reader",
    "check_new_columns",
    "decode_columns",
    "decode_values",
    "key_array",
    "lookup_raw",
    "store_ref",
]
