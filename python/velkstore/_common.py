"""Conversions shared by the reader and the writer: keys, paths, objects."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, TypeAlias, TypedDict

import msgpack  # type: ignore[import-untyped]

from ._errors import VelkDecodeError

#: What the package accepts as a key.  Text keys are stored as their UTF-8
#: bytes (lone surrogates U+DC80..U+DCFF as the bytes they escape, the
#: os.fsencode convention), so "é" and b"\xc3\xa9" are the same key.
Key: TypeAlias = str | bytes

#: What the package accepts as a file path.
PathArg: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@dataclass(frozen=True, slots=True)
class BuildInfo:
    """What a build wrote: the path as given, counts, size and CRC-32."""

    path: str | bytes
    num_keys: int
    num_objects: int
    file_size: int
    file_crc32: int


class CompressionStats(TypedDict):
    """How a file's values are compressed (`VelkStats["compression"]`).

    ``value_bytes`` and ``stored_bytes`` are the stored objects' values
    before and after compression (wrappers included); their ratio is what
    compression saved on the values.
    """

    codec: str
    level: int
    dictionary_size: int
    value_bytes: int
    stored_bytes: int


class VelkStats(TypedDict):
    """File metadata, as returned by `VelkReader.stats()` (sizes in bytes)."""

    path: str | bytes
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size: int
    file_crc32: int
    index: bool
    compression: CompressionStats | None


def encode(obj: object) -> bytes:
    """Serialise *obj* with MessagePack (str and bytes stay distinct types).

    Raises TypeError for values MessagePack cannot hold (sets, arbitrary
    objects) and OverflowError for integers outside the 64-bit ranges.
    """
    data: bytes = msgpack.packb(obj, use_bin_type=True)
    return data


def _hashable(value: Any) -> Any:
    # Arrays come back as lists, which cannot be dict keys; a tuple key
    # written by the writer is an array and has to come back as a tuple.
    if isinstance(value, list):
        return tuple(_hashable(item) for item in value)
    return value


def _pairs_to_dict(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    return {_hashable(k): v for k, v in pairs}


def decode(raw: bytes, key: object = None) -> Any:
    """Deserialise one stored object; *key* only names it in errors.

    Map keys may be of any type (integers included), so every dict the
    writer accepts reads back equal to itself, except that tuples read
    back as lists (and tuple map keys as tuples).
    """
    try:
        try:
            return msgpack.unpackb(raw, raw=False, strict_map_key=False)
        except TypeError:
            # An array used as a map key: retry on the slow path that turns
            # such keys into tuples.
            return msgpack.unpackb(
                raw, raw=False, strict_map_key=False, object_pairs_hook=_pairs_to_dict
            )
    except (ValueError, TypeError, RecursionError, msgpack.UnpackException) as exc:
        what = "stored object" if key is None else f"object of key {key!r}"
        raise VelkDecodeError(f"{what} is not valid msgpack: {exc}") from exc
