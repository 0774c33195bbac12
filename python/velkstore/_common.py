"""Conversions shared by the reader and the writer: keys, paths, objects.

Module-level names here are annotated lazily (as text) and typing is not
imported at run time: `import velkstore` loads as little as it can.
"""

from __future__ import annotations

import datetime
import math
import os

import msgpack  # type: ignore[import-untyped]

from . import _native
from ._errors import UnstorableError, VelkDecodeError

# typing is imported only by the type checker: `import velkstore` stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from types import TracebackType
    from typing import Any, TypeAlias

#: What the package accepts as a key.  Text keys are stored as their UTF-8
#: bytes (lone surrogates U+DC80..U+DCFF as the bytes they escape, the
#: os.fsencode convention), so "é" and b"\xc3\xa9" are the same key.
Key: TypeAlias = str | bytes

#: What the package accepts as a file path.
PathArg: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]


class naming_file:  # noqa: N801 - used as a function, like contextlib.suppress
    """Within it, an OSError that names no file gets *path* as its
    filename: a failed read, write or close then says which file it was."""

    def __init__(self, path: str | bytes) -> None:
        self._path = path

    def __enter__(self) -> None:
        return None

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        if isinstance(exc, OSError) and exc.filename is None:
            exc.filename = os.fsdecode(self._path)

def _unstorable(obj: object) -> UnstorableError:
    if type(obj) is int or isinstance(obj, int) and not isinstance(obj, bool):
        shown = str(obj) if obj.bit_length() <= 128 else f"of {obj.bit_length()} bits"
        return UnstorableError(f"an integer outside the 64-bit range: {shown}")
    if isinstance(obj, datetime.datetime):
        return UnstorableError(
            f"cannot store {obj!r}: a datetime without a time zone is ambiguous; "
            "give it one, e.g. .replace(tzinfo=datetime.timezone.utc)"
        )
    if isinstance(obj, datetime.date):
        return UnstorableError(
            f"cannot store {obj!r}: a date is no point in time; store a datetime with a time zone, "
            "or the text of date.isoformat()"
        )
    return UnstorableError(f"cannot store a value of type {type(obj).__name__!r}")


def _no_form(obj: object) -> object:
    # The packer's fallback for the objects it has no form for.  It stores
    # only exact datetimes: a subclass with a time zone (a pandas Timestamp,
    # for one) is a point in time all the same, stored as a timestamp, to
    # the nanosecond where it keeps them.
    if isinstance(obj, datetime.datetime) and obj.utcoffset() is not None:
        ts = msgpack.Timestamp.from_datetime(obj)
        ns = getattr(obj, "nanosecond", 0)
        return msgpack.Timestamp(ts.seconds, ts.nanoseconds + ns) if ns else ts
    raise _unstorable(obj)


def new_packer() -> Callable[[object], bytes]:
    """A function encoding one value with MessagePack, as `encode` does;
    one per thread of use (it keeps a buffer)."""
    pack = msgpack.Packer(use_bin_type=True, datetime=True, default=_no_form).pack

    def packed(obj: object) -> bytes:
        try:
            data: bytes = pack(obj)
            return data
        except UnstorableError:
            raise
        except (ValueError, TypeError, OverflowError) as exc:  # nested too deeply, for one
            raise UnstorableError(f"cannot store the value: {exc}") from exc

    return packed


def encode(obj: object) -> bytes:
    """Serialise *obj* with MessagePack (str and bytes stay distinct types;
    a `datetime` with a time zone becomes a timestamp): the package's one
    encoder, native for plain values, `new_packer`'s for the rest.

    Raises UnstorableError (a ValueError and a TypeError) for values
    MessagePack cannot hold: integers outside the 64-bit ranges, naive
    datetimes, dates, sets and other objects.
    """
    return _native.encode(obj)


class NumberOutOfRange(ValueError):
    """A JSON number literal too large for a double."""


def finite_float(literal: str) -> float:
    """A JSON number literal as a float: one too large for a double would be
    read as infinity, a value the input does not hold, and is refused.  (The
    Infinity and NaN literals are kept.)"""
    value = float(literal)
    if math.isinf(value):
        raise NumberOutOfRange(f"the number {literal} is out of range")
    return value


def hashable(value: Any) -> Any:
    """*value* as a map key: arrays come back as lists, which cannot be dict
    keys, so a tuple key written by the writer comes back as a tuple.  A map
    cannot be a key (ValueError)."""
    return _as_tuples(value, list, _key_item)


def _key_item(item: Any) -> Any:
    if isinstance(item, dict):
        raise ValueError("a map key cannot be a map")
    return item


def _as_tuples(value: Any, nested: type, leaf: Callable[[Any], Any]) -> Any:
    """*value* with every *nested* (list or tuple) in it, at any depth, made
    a tuple, and leaf(item) for every other item.  With a stack of its own,
    not by recursion: a key nested as deeply as the decoder allows must not
    depend on how deep the caller's stack is."""
    if not isinstance(value, nested):
        return leaf(value)
    stack: list[tuple[Any, list[Any]]] = [(value, [])]
    while True:
        items, done = stack[-1]
        if len(done) < len(items):
            item = items[len(done)]
            if isinstance(item, nested):
                stack.append((item, []))
            else:
                done.append(leaf(item))
            continue
        stack.pop()
        if not stack:
            return tuple(done)
        stack[-1][1].append(tuple(done))


def _datetimes(value: Any) -> Any:
    """*value* with every timestamp a datetime can hold made one (in UTC, to
    the microsecond), the others left as they are: what decoding each
    timestamp as a datetime gives, where one out of range failed the whole
    value."""

    def timestamp(item: Any) -> Any:
        if isinstance(item, msgpack.Timestamp):
            try:
                return item.to_datetime()
            except (OverflowError, ValueError):
                return item
        return item

    def convert(item: Any) -> Any:
        # A tuple is a key made hashable: the timestamps in it too.
        return _as_tuples(item, tuple, timestamp)

    # A stack of its own, as in hashable; containers are changed in place.
    top = convert(value)
    stack = [top]
    while stack:
        item = stack.pop()
        if isinstance(item, list):
            for i, child in enumerate(item):
                item[i] = convert(child)
                stack.append(item[i])
        elif isinstance(item, dict):
            pairs = [(convert(k), convert(v)) for k, v in item.items()]
            item.clear()
            item.update(pairs)
            stack.extend(v for _, v in pairs)
    return top


def _pairs_to_dict(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    return {hashable(k): v for k, v in pairs}


def _unpack(raw: bytes, timestamp: int) -> Any:
    try:
        return msgpack.unpackb(raw, raw=False, strict_map_key=False, timestamp=timestamp)
    except TypeError:
        # An array used as a map key: retry on the slow path that turns
        # such keys into tuples.
        return msgpack.unpackb(
            raw, raw=False, strict_map_key=False, object_pairs_hook=_pairs_to_dict, timestamp=timestamp
        )


def decode(raw: bytes, key: object = None, *, exact_timestamps: bool = False) -> Any:
    """Deserialise one stored object; *key* only names it in errors.

    Map keys may be of any type (integers included), so every dict the
    writer accepts reads back equal to itself, except that tuples read
    back as lists (and tuple map keys as tuples).  Timestamps read back as
    `datetime` in UTC (to the microsecond); one no `datetime` can hold, or
    every one with *exact_timestamps*, as `msgpack.Timestamp`.
    """
    try:
        if not exact_timestamps:
            try:
                return _unpack(raw, 3)
            except (OverflowError, ValueError):
                # A timestamp no datetime can hold (or bytes that fail
                # anyway): the others still read as datetimes.
                return _datetimes(_unpack(raw, 0))
        return _unpack(raw, 0)
    except (ValueError, TypeError, RecursionError, msgpack.UnpackException) as exc:
        what = "stored object" if key is None else f"object of key {key!r}"
        why = "nested too deeply" if isinstance(exc, msgpack.StackError) else str(exc) or type(exc).__name__
        raise VelkDecodeError(f"{what} is not valid msgpack: {why}") from exc


def __getattr__(name: str) -> object:
    # BuildInfo and VelkStats live in _info (they need dataclasses and
    # typing, imported on first use).
    if name in ("BuildInfo", "VelkStats"):
        from . import _info

        return getattr(_info, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
