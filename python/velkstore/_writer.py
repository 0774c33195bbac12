"""VelkWriter: stages Python objects and writes a store file (interim, over _velkstore)."""

from __future__ import annotations

import os
import zlib
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any

from _velkstore import _VelkWriter

from ._common import MAX_KEY_BYTES, BuildInfo, Key, PathArg, encode, key_bytes
from ._errors import ClosedError, LimitError, os_error


def _checked_key(key: object) -> bytes:
    kb = key_bytes(key)
    if len(kb) > MAX_KEY_BYTES:
        raise LimitError(f"key of {len(kb)} bytes exceeds the limit of {MAX_KEY_BYTES}")
    return kb


class VelkWriter:
    """Collects key → object bindings in memory and writes a `.vlks` file."""

    def __init__(self, path: PathArg | None = None) -> None:
        self._path: str | bytes | None = None if path is None else os.fspath(path)
        self._native: _VelkWriter | None = _VelkWriter()
        self._ids: dict[bytes, int] = {}
        self._built: str | bytes | None = None

    def _w(self) -> _VelkWriter:
        if self._native is None:
            raise ClosedError("VelkWriter is closed")
        return self._native

    def _bind(self, keys: list[bytes], raw: bytes) -> None:
        w = self._w()
        obj_id = self._ids.get(raw)
        if obj_id is None:
            obj_id = w.add_object_raw(raw)
            self._ids[raw] = obj_id
        for kb in keys:
            w.add_key(kb, obj_id)
        self._built = None

    def add(self, key: Key, value: object) -> None:
        kb = _checked_key(key)
        self._bind([kb], encode(value))

    def add_many(self, keys: Iterable[Key], value: object) -> None:
        if isinstance(keys, (str, bytes, bytearray, memoryview)):
            raise TypeError("add_many() takes an iterable of keys, not a single key")
        kbs = [_checked_key(k) for k in keys]
        if kbs:
            self._bind(kbs, encode(value))

    def add_raw(self, key: Key, raw: bytes) -> None:
        if not isinstance(raw, (bytes, bytearray, memoryview)):
            raise TypeError(f"raw must be bytes, not {type(raw).__name__!r}")
        self._bind([_checked_key(key)], bytes(raw))

    def update(self, pairs: Mapping[Key, Any] | Iterable[tuple[Key, Any]]) -> None:
        items = pairs.items() if isinstance(pairs, Mapping) else pairs
        for k, v in items:
            self.add(k, v)

    def update_raw(self, pairs: Mapping[Key, bytes] | Iterable[tuple[Key, bytes]]) -> None:
        items = pairs.items() if isinstance(pairs, Mapping) else pairs
        for k, v in items:
            self.add_raw(k, v)

    def build(self, path: PathArg | None = None) -> BuildInfo:
        if path is None:
            if self._path is None:
                raise TypeError("build() needs a path: none was given to VelkWriter()")
            target = self._path
        else:
            target = os.fspath(path)
        w = self._w()
        try:
            w.build(os.fsdecode(target))
        except OSError as exc:
            raise os_error(exc.errno or 5, str(exc), target) from None
        data = open(target, "rb").read()
        self._built = target
        return BuildInfo(target, int(data[8:12].hex(), 16), int(data[12:16].hex(), 16), len(data), zlib.crc32(data[40:]))

    def close(self) -> None:
        self._native = None
        self._ids = {}

    @property
    def closed(self) -> bool:
        return self._native is None

    def __enter__(self) -> VelkWriter:
        self._w()
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc_val: BaseException | None, exc_tb: TracebackType | None
    ) -> None:
        try:
            if exc_type is None and self._path is not None and self._built != self._path:
                self.build()
        finally:
            self.close()

    def __repr__(self) -> str:
        if self._native is None:
            return "<VelkWriter closed>"
        return repr(self._native).removeprefix("_")
