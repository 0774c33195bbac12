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
    from ..arrow import packed_pairs

    slices = packed_pairs(batch, key, list(batch.schema.names) if value is None else None, value, False)
    try:
        first = next(slices, None)
    except TypeError:
        # A column type the native packer does not take: as Python objects
        # (a map as a dict, as update takes it, not as a list of pairs; a
        # key given twice keeps its last value, as a dict does).
        keys = batch.column(key).to_pylist()
        if value is None:
            values = batch.to_pylist(maps_as_pydicts="lossy")
        else:
            values = batch.column(value).to_pylist(maps_as_pydicts="lossy")
        splitter.add_pairs(zip(keys, values))
        return
    if first is not None:
        splitter.add_pairs(first, raw=True)
        for pairs in slices:
            splitter.add_pairs(pairs, raw=True)


def frame_batch(frame: Any) -> Any:
    """A pandas frame as one Arrow record batch whose rows pack byte for
    byte as `update` stores ``frame.to_dict("records")``, or None when a
    column would not: names that are not unique text, object columns of
    anything but text, bytes or None (ints and floats mixed would come out
    all floats), missing values outside object columns (pandas' own
    markers, NaN in a text column or NA, are not None).  A float NaN stays
    NaN."""
    import pyarrow as pa  # type: ignore[import-untyped]

    names = list(frame.columns)
    if not all(isinstance(n, str) for n in names) or len(set(names)) != len(names):
        return None
    exact_objects = (pa.types.is_string, pa.types.is_large_string, pa.types.is_binary, pa.types.is_null)
    arrays = []
    try:
        for name in names:
            array = pa.array(frame[name], from_pandas=False)
            # pandas' own kinds (periods, intervals) become extension types
            # whose storage alone would be packed.
            if isinstance(array.type, pa.BaseExtensionType):
                return None
            if frame[name].dtype == object:
                if not any(is_type(array.type) for is_type in exact_objects):
                    return None
            elif array.null_count:
                return None
            arrays.append(array)
    except (pa.ArrowException, TypeError, ValueError, OverflowError):
        return None
    return pa.RecordBatch.from_arrays(arrays, names=names)
