"""JSON Lines for the command line: keys and values in their JSON form.

orjson does the work; the standard library takes over for the few lines
orjson would change or refuse: integers past 64 bits (which orjson reads
as floats), NaN and Infinity literals, lone surrogate escapes, and values
nested deeper than orjson writes.
"""

from __future__ import annotations

import json
from typing import Any

import orjson

from .._common import NumberOutOfRange, finite_float
from .._jsonvalue import bytes_to_json, from_json, unb64
from .._native import encode

# Integer literals of 19 digits or more may lie outside 64 bits; orjson would
# turn them into floats, silently rounding them.  Found by mapping every
# digit to "0" and searching for a run: far quicker than a regular
# expression.
_DIGITS_AS_ZERO = bytes.maketrans(b"123456789", b"000000000")
_LONG_RUN = b"0" * 19


def _has_long_number(data: bytes) -> bool:
    return _LONG_RUN in data.translate(_DIGITS_AS_ZERO)


class BadRecord(ValueError):
    """A line of build input that is not a record; the text says why."""


def key_to_json(key: bytes) -> Any:
    """A stored key as JSON: text when it is UTF-8, else {"$bytes": base64}."""
    try:
        return key.decode("utf-8")
    except UnicodeDecodeError:
        return bytes_to_json(key)


def _key_from_json(key: Any) -> str | bytes:
    if type(key) is str:
        return key
    if type(key) is dict and len(key) == 1 and type(key.get("$bytes")) is str:
        try:
            return unb64(key["$bytes"])
        except ValueError as exc:
            raise BadRecord(f"bad key: {exc}") from None
    raise BadRecord('"key" must be a string or a {"$bytes": "<base64>"} object')


def dumps(obj: Any) -> bytes:
    """One line of JSON (newline included) for an object in the JSON form.

    Raises RecursionError for a value nested too deeply for any encoder.
    """
    try:
        return orjson.dumps(obj, option=orjson.OPT_APPEND_NEWLINE)
    except TypeError:
        # orjson stops at 255 levels; the standard library goes on until
        # the interpreter's recursion limit.
        text = json.dumps(obj, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
        return text.encode("utf-8") + b"\n"


def _slow_loads(line: bytes, first: bool) -> Any:
    if first:
        line = line.removeprefix(b"\xef\xbb\xbf")  # a UTF-8 byte order mark
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise BadRecord(f"not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    try:
        return json.loads(text, parse_float=finite_float)
    except NumberOutOfRange as exc:
        raise BadRecord(f"bad value: {exc}") from None
    except json.JSONDecodeError as exc:
        raise BadRecord(f"invalid JSON: {exc.msg} (column {exc.colno})") from None
    except RecursionError:
        raise BadRecord("invalid JSON: nested too deeply") from None
    except ValueError:  # an integer literal of thousands of digits
        raise BadRecord("bad value: an integer outside the 64-bit range") from None


def parse_batch(lines: list[bytes]) -> list[tuple[str | bytes, bytes]] | None:
    """(key, MessagePack bytes) of each line of build input, when every line
    is a plain record; None when a line needs parse_record's care (a blank
    line, an error, a binary key, a long number)."""
    chunk = b",".join(lines)
    if _has_long_number(chunk):
        return None
    pack = encode
    tagged = b'"$' in chunk or b"\\u" in chunk
    loads = orjson.loads
    try:
        # Each line on its own: lines joined into one document can parse
        # when one line holds half a record and another two.
        records = [loads(line) for line in lines]
        if tagged:
            pairs = [(r["key"], pack(from_json(r["value"]))) for r in records if type(r) is dict and len(r) == 2]
        else:
            pairs = [(r["key"], pack(r["value"])) for r in records if type(r) is dict and len(r) == 2]
    except (orjson.JSONDecodeError, KeyError, ValueError, TypeError, OverflowError, RecursionError):
        return None
    # Every line a pair with a text key.
    if len(pairs) != len(lines) or {type(k) for k, _ in pairs} != {str}:
        return None
    return pairs


def parse_record(line: bytes, first: bool = False) -> tuple[str | bytes, bytes] | None:
    """(key, MessagePack bytes) of one line of build input, or None for a
    blank line.  Raises BadRecord for anything else."""
    fast = not _has_long_number(line)
    record: Any = None
    if fast:
        try:
            record = orjson.loads(line)
        except orjson.JSONDecodeError:
            fast = False
    if not fast:
        if not line.strip():
            return None
        record = _slow_loads(line, first)
    if type(record) is not dict or len(record) != 2 or "key" not in record or "value" not in record:
        raise BadRecord('expected an object with exactly the members "key" and "value"')
    key = _key_from_json(record["key"])
    if not fast and type(key) is str:
        # Only the standard library lets a lone surrogate escape through;
        # such text has no UTF-8 form (binary keys take the "$bytes" form).
        try:
            key.encode("utf-8")
        except UnicodeEncodeError:
            raise BadRecord(f"key {key!r} is not valid Unicode text") from None
    value = record["value"]
    # Tagged values need converting; a tag may hide behind a \u escape.
    if not fast or b'"$' in line or b"\\u" in line:
        try:
            value = from_json(value)
        except (ValueError, TypeError) as exc:
            raise BadRecord(f"bad value: {exc}") from None
        except RecursionError:
            raise BadRecord("bad value: nested too deeply") from None
    try:
        return key, encode(value)
    except OverflowError:
        raise BadRecord("bad value: an integer outside the 64-bit range") from None
    except (ValueError, TypeError, RecursionError) as exc:
        raise BadRecord(f"bad value: {exc}") from None
