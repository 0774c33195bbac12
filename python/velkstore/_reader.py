"""VelkReader: a read-only Mapping over a store file (interim, over _velkstore)."""

from __future__ import annotations

import bisect
import errno
import os
import re
from collections.abc import Iterable, Iterator, Mapping
from types import TracebackType
from typing import Any, TypedDict

from _velkstore import _VelkReader

from ._common import Key, PathArg, decode, key_bytes
from ._errors import ClosedError, CorruptError, LimitError, VersionError, os_error


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


_OS_ERROR = re.compile(r"^VelkIOError: (.*?): (.*) \(os error (\d+)\)$")


def _open(path: str | bytes, verify: bool) -> _VelkReader:
    try:
        return _VelkReader(os.fsdecode(path), verify)
    except OSError as exc:
        m = _OS_ERROR.match(str(exc))
        if m is None:
            raise os_error(errno.EIO, str(exc), path) from None
        raise os_error(int(m.group(3)), m.group(2), path) from None
    except RuntimeError as exc:
        text = str(exc)
        if text.startswith("VelkVersionError"):
            err: CorruptError | VersionError = VersionError(f"{os.fsdecode(path)}: {text.split(': ', 1)[1]}")
        elif "bad magic" in text or "too small" in text:
            err = CorruptError(f"not a velkstore file: {os.fsdecode(path)}")
        else:
            err = CorruptError(f"{os.fsdecode(path)}: {text.split(': ', 1)[1]}")
        err.filename = path
        raise err from None


class VelkReader(Mapping[str, Any]):
    """A read-only Mapping over a `.vlks` store file."""

    def __init__(self, path: PathArg, *, verify: bool = True) -> None:
        p = os.fspath(path)
        self._path: str | bytes = p
        self._verify = verify
        self._native: _VelkReader | None = _open(p, verify)
        self._len = int(self._r().stats()["num_keys"])

    def _r(self) -> _VelkReader:
        if self._native is None:
            raise ClosedError("VelkReader is closed")
        return self._native

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self._path, self._verify))

    # -- lookups ---------------------------------------------------------
    def get_raw(self, key: Key) -> bytes | None:
        native = self._r()
        try:
            kb = key_bytes(key)
        except LimitError:
            return None
        return native.get_raw(kb)

    def get(self, key: Key, default: Any = None) -> Any:
        raw = self.get_raw(key)
        return default if raw is None else decode(raw, key)

    def __getitem__(self, key: Key) -> Any:
        raw = self.get_raw(key)
        if raw is None:
            raise KeyError(key)
        return decode(raw, key)

    def __contains__(self, key: object) -> bool:
        native = self._r()
        try:
            kb = key_bytes(key)
        except LimitError:
            return False
        return native.exists(kb)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        return [self.get(k, default) for k in keys]

    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]:
        return [self.get_raw(k) for k in keys]

    # -- listings --------------------------------------------------------
    def __len__(self) -> int:
        self._r()
        return self._len

    def _entries(self, prefix: bytes, start: bytes | None, stop: bytes | None) -> Iterator[tuple[str, bytes]]:
        for k, raw in self._r().prefix_raw(prefix):
            kb = k.encode("utf-8", "surrogateescape")
            if start is not None and kb < start:
                continue
            if stop is not None and kb >= stop:
                break
            yield k, raw

    def __iter__(self) -> Iterator[str]:
        return iter(self._r().keys())

    def items_raw(self) -> Iterator[tuple[str, bytes]]:
        return self._entries(b"", None, None)

    def prefix_raw(self, prefix: Key) -> Iterator[tuple[str, bytes]]:
        return self._entries(key_bytes(prefix), None, None)

    def prefix(self, prefix: Key) -> Iterator[tuple[str, Any]]:
        return ((k, decode(v, k)) for k, v in self.prefix_raw(prefix))

    def range_raw(self, start: Key | None = None, stop: Key | None = None) -> Iterator[tuple[str, bytes]]:
        return self._entries(
            b"", None if start is None else key_bytes(start), None if stop is None else key_bytes(stop)
        )

    def range(self, start: Key | None = None, stop: Key | None = None) -> Iterator[tuple[str, Any]]:
        return ((k, decode(v, k)) for k, v in self.range_raw(start, stop))

    def keys_bytes(self, prefix: bytes = b"", start: bytes | None = None, stop: bytes | None = None) -> Iterator[bytes]:
        return (k.encode("utf-8", "surrogateescape") for k, _ in self._entries(prefix, start, stop))

    def items_bytes(
        self, prefix: bytes = b"", start: bytes | None = None, stop: bytes | None = None, *, raw: bool = False
    ) -> Iterator[tuple[bytes, Any]]:
        for k, v in self._entries(prefix, start, stop):
            yield k.encode("utf-8", "surrogateescape"), (v if raw else decode(v, k))

    # -- file ------------------------------------------------------------
    def stats(self) -> VelkStats:
        st = self._r().stats()
        return VelkStats(
            path=self._path, version=st["version"], num_keys=st["num_keys"], num_objects=st["num_objects"],
            index_offset=st["index_offset"], data_offset=st["data_offset"],
            file_size=os.stat(self._path).st_size, file_crc32=int(st["file_crc32"], 16),
        )

    def verify(self) -> bool:
        try:
            return self._r().verify()
        except RuntimeError as exc:
            err = CorruptError(f"{os.fsdecode(self._path)}: {str(exc).split(': ', 1)[1]}")
            err.filename = self._path
            raise err from None

    @property
    def path(self) -> str | bytes:
        return self._path

    @property
    def closed(self) -> bool:
        return self._native is None

    def close(self) -> None:
        self._native = None

    def __enter__(self) -> VelkReader:
        self._r()
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc_val: BaseException | None, exc_tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._native is None:
            return "<VelkReader closed>"
        return f"VelkReader({self._path!r}, keys={self._len})"


def _reopen(path: str | bytes, verify: bool) -> VelkReader:
    return VelkReader(path, verify=verify)


_ = bisect  # interim module; the native reader replaces it
