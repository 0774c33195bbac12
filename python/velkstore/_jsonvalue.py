"""The JSON form of stored objects used by the command line.

MessagePack holds values that JSON cannot: byte strings, maps with
non-text keys, NaN and infinities, extension types.  They are written as
JSON objects with exactly one member whose name is a tag:

    {"$bytes": "<base64>"}          bytes
    {"$map": [[key, value], ...]}   a map whose keys are not all text
    {"$float": "nan"|"inf"|"-inf"}  a float JSON has no literal for
    {"$ext": [code, "<base64>"]}    an extension type (-1: timestamp)

A text-keyed map that itself has exactly one member named like a tag is
written in the "$map" form, so every stored value reads back unchanged.
Tuples are arrays and read back as lists.
"""

from __future__ import annotations

import base64
import binascii
import math
from typing import Any

import msgpack  # type: ignore[import-untyped]

from ._common import hashable

TAGS = frozenset({"$bytes", "$map", "$float", "$ext"})
_FLOATS = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def bytes_to_json(data: bytes) -> dict[str, str]:
    """Bytes in their JSON form, {"$bytes": "<base64>"}."""
    return {"$bytes": base64.b64encode(data).decode("ascii")}


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def to_json(value: Any) -> Any:
    """A JSON-serialisable form of a deserialised object."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, (bytes, bytearray)):
        return bytes_to_json(bytes(value))
    # Before sequences: an extension value is a named tuple.
    if isinstance(value, msgpack.Timestamp):
        return {"$ext": [-1, _b64(value.to_bytes())]}
    if isinstance(value, msgpack.ExtType):
        return {"$ext": [value.code, _b64(value.data)]}
    if isinstance(value, (list, tuple)):
        return [to_json(item) for item in value]
    if isinstance(value, dict):
        if all(isinstance(k, str) for k in value) and not (len(value) == 1 and next(iter(value)) in TAGS):
            return {k: to_json(v) for k, v in value.items()}
        return {"$map": [[to_json(k), to_json(v)] for k, v in value.items()]}
    raise TypeError(f"cannot represent {type(value).__name__!r} as JSON")


def unb64(text: object) -> bytes:
    """The bytes of base64 *text*; ValueError for anything else."""
    if not isinstance(text, str):
        raise ValueError("base64 text expected")
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error as exc:
        raise ValueError(f"invalid base64: {exc}") from None


def _from_tag(tag: str, body: Any) -> Any:
    if tag == "$bytes":
        return unb64(body)
    if tag == "$float":
        if body not in _FLOATS:
            raise ValueError('"$float" must be "nan", "inf" or "-inf"')
        return _FLOATS[body]
    if tag == "$map":
        if not isinstance(body, list) or not all(isinstance(p, list) and len(p) == 2 for p in body):
            raise ValueError('"$map" must be a list of [key, value] pairs')
        return {hashable(from_json(k)): from_json(v) for k, v in body}
    # "$ext"
    if not (isinstance(body, list) and len(body) == 2 and type(body[0]) is int):
        raise ValueError('"$ext" must be [code, base64]')
    code, data = body[0], unb64(body[1])
    if code == -1:
        return msgpack.Timestamp.from_bytes(data)
    if not 0 <= code <= 127:
        raise ValueError('"$ext" code must be -1 or 0..127')
    return msgpack.ExtType(code, data)


def from_json(value: Any) -> Any:
    """The object a JSON value (in the form above) stands for.

    Raises ValueError for a malformed tagged value.
    """
    if isinstance(value, dict):
        if len(value) == 1:
            tag, body = next(iter(value.items()))
            if tag in TAGS:
                return _from_tag(tag, body)
        return {k: from_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [from_json(item) for item in value]
    return value
