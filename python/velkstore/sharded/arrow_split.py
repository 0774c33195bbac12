"""Rows of an Arrow record batch added to a `Splitter` as (key, value) pairs.

The rows are packed natively (`velkstore.arrow`, no Python object per
cell) when every value column is of a type the native packer takes; other
batches (nested lists or structs, dates, timestamps without a time zone)
go through Python objects, as `update` takes them.  Either way a row is
stored as the same bytes.
"""

from __future__ import annotations

from typing import Any

from .build import Splitter


def add_batch(splitter: Splitter, batch: Any, key: str, value: str | None) -> None:
    """Add each row of *batch*: the key from column *key*, the value from
    column *value*, or (None) the map of every column, the key's included."""
    try:
        from ..arrow import packed_pairs  # type: ignore[import-not-found,unused-ignore]
    except ImportError:  # a velkstore without the native Arrow input
        packed_pairs = None
    if packed_pairs is not None:
        slices = packed_pairs(batch, key, list(batch.schema.names) if value is None else None, value, False)
        try:
            first = next(slices, None)
        except TypeError:
            pass  # a column type the native packer does not take
        else:
            if first is not None:
                splitter.add_pairs(first, raw=True)
                for pairs in slices:
                    splitter.add_pairs(pairs, raw=True)
            return
    keys = batch.column(key).to_pylist()
    values = batch.to_pylist() if value is None else batch.column(value).to_pylist()
    splitter.add_pairs(zip(keys, values))


def frame_batch(frame: Any) -> Any:
    """A pandas frame as one Arrow record batch, or None when its columns
    would not read back as `to_dict("records")` gives them (names that are
    not unique text, columns Arrow cannot type).  A float column keeps its
    NaN as NaN, not null."""
    import pyarrow as pa  # type: ignore[import-untyped]

    names = list(frame.columns)
    if not all(isinstance(n, str) for n in names) or len(set(names)) != len(names):
        return None
    try:
        arrays = [pa.array(frame[n], from_pandas=frame[n].dtype.kind != "f") for n in names]
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
        return None
    return pa.RecordBatch.from_arrays(arrays, names=names)
