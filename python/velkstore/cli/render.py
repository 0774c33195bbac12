"""The JSON line of a stored value, as `get` and `dump` print it.

The native renderer writes the line straight from the MessagePack bytes
for the values stores almost always hold; the rest (extension types, maps
with keys that are not text, values nested very deeply, bytes that are not
MessagePack) goes through the general path: decode, convert to the JSON
form, encode.  Both give the same bytes; the general path's modules are
imported only when a value needs them, so a one-shot `get` does not pay for
them.
"""

from __future__ import annotations

from .._native import _json_line
from .exits import EXIT_UNRENDERABLE, CliError


def show(key: bytes) -> str:
    """A key for a message: quoted, escaped, and cut short when long."""
    text = repr(key[:80].decode("utf-8", "backslashreplace"))
    return text if len(key) <= 80 else f"{text}... ({len(key):,} bytes)"


def render(file: str, key: bytes, raw: bytes, whole: bool) -> bytes:
    """One JSON line for a stored value, or for {"key", "value"} if *whole*.

    Raises CliError(EXIT_UNRENDERABLE) for a value this command cannot print.
    """
    line = _json_line(raw, key if whole else None)
    return _render_general(file, key, raw, whole) if line is None else line


def _render_general(file: str, key: bytes, raw: bytes, whole: bool) -> bytes:
    import msgpack  # type: ignore[import-untyped]

    from .._common import decode
    from .._errors import VelkDecodeError
    from .._jsonvalue import to_json
    from .jsonlines import dumps, key_to_json

    try:
        value = to_json(decode(raw, exact_timestamps=True))
        return dumps({"key": key_to_json(key), "value": value} if whole else value)
    except VelkDecodeError as exc:
        cause = exc.__cause__
        if isinstance(cause, (msgpack.StackError, RecursionError)):
            why = "nested deeper than the MessagePack decoder goes"
        else:
            why = f"not valid MessagePack ({str(cause) or type(cause).__name__})"
    except RecursionError:
        why = "nested too deeply to print"
    raise CliError(EXIT_UNRENDERABLE, f"{file}: value of key {show(key)} cannot be printed: {why}")
