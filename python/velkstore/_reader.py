"""VelkReader: opens a store file and deserialises the objects it holds."""

from __future__ import annotations

from collections.abc import Iterator
from types import TracebackType
from typing import Any, TypedDict, cast

from _velkstore import _VelkReader

from ._common import Key, PathArg, decode, fspath, key_bytes

class VelkStats(TypedDict):
    """File metadata, as returned by `VelkReader.stats()`."""

    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size_kb: float
    file_crc32: str  # "0x" and 8 lowercase hex digits


def _lookup_key(key: object) -> bytes | None:
    # Text without a UTF-8 form cannot name any stored key.
    try:
        return key_bytes(key)
    except ValueError:
        return None


class VelkReader:
    """A read-only view of a `.vlks` store file.

    Opening maps the file and checks its header; with *verify* (the default)
    it also checks the whole-file CRC-32, which reads the whole file once.
    Objects are deserialised with MessagePack on access; the `*_raw` methods
    return the stored bytes instead.

    Keys are looked up as str or bytes (text by its UTF-8 bytes).  Keys are
    listed as str, in ascending order of their bytes; a key that is not valid
    UTF-8 is listed with U+FFFD replacement characters and cannot be looked
    up by that listed form.

    `close()` (or leaving a `with` block) releases the file mapping; any
    later call raises ValueError.  One reader may be shared by threads.
    """

    def __init__(self, path: PathArg, verify: bool = True) -> None:
        self._native: _VelkReader | None = _VelkReader(fspath(path), verify)

    def _reader(self) -> _VelkReader:
        native = self._native
        if native is None:
            raise ValueError("VelkReader is closed")
        return native

    # -- lookups ---------------------------------------------------------

    def get_raw(self, key: Key) -> bytes | None:
        """The stored bytes of *key*, or None when it is absent."""
        native = self._reader()
        kb = _lookup_key(key)
        return None if kb is None else native.get_raw(kb)

    def get(self, key: Key, default: Any = None) -> Any:
        """The object of *key*, or *default* when it is absent."""
        raw = self.get_raw(key)
        return default if raw is None else decode(raw, _key_text(key))

    def __getitem__(self, key: Key) -> Any:
        raw = self.get_raw(key)
        if raw is None:
            raise KeyError(key)
        return decode(raw, _key_text(key))

    def __contains__(self, key: object) -> bool:
        native = self._reader()
        try:
            kb = _lookup_key(key)
        except TypeError:
            return False
        return kb is not None and native.exists(kb)

    # -- listings --------------------------------------------------------

    def __len__(self) -> int:
        """The number of keys."""
        return cast(int, self._reader().stats()["num_keys"])

    def __iter__(self) -> Iterator[str]:
        return iter(self.keys())

    def keys(self) -> list[str]:
        """All keys, in ascending order of their bytes."""
        return self._reader().keys()

    def items_raw(self) -> list[tuple[str, bytes]]:
        """All (key, stored bytes) pairs in key order."""
        return self._reader().items_raw()

    def items(self) -> list[tuple[str, Any]]:
        """All (key, object) pairs in key order.

        Keys that share one stored object get equal but separate objects.
        """
        return [(k, decode(raw, k)) for k, raw in self.items_raw()]

    def values_raw(self) -> list[bytes]:
        """The stored bytes of each distinct object, de-duplicated."""
        return self._reader().objects_raw()

    def values(self) -> list[Any]:
        """Each distinct stored object once (de-duplicated, unlike a dict's
        values()): an object that several keys share appears once, at the
        position of the first key in key order that names it."""
        return [decode(raw, f"<object {i}>") for i, raw in enumerate(self.values_raw())]

    def prefix_raw(self, prefix: Key) -> list[tuple[str, bytes]]:
        """(key, stored bytes) for every key starting with *prefix*, in key order."""
        native = self._reader()
        pb = _lookup_key(prefix)
        return [] if pb is None else native.prefix_raw(pb)

    def prefix(self, prefix: Key) -> Iterator[tuple[str, Any]]:
        """Yield (key, object) for every key starting with *prefix*, in key
        order.  The matching records are read when the call is made; the
        objects are deserialised as they are yielded."""
        matches = self.prefix_raw(prefix)
        return ((k, decode(raw, k)) for k, raw in matches)

    # -- file ------------------------------------------------------------

    def stats(self) -> VelkStats:
        """File metadata: path, format version, key and object counts,
        section offsets, size in KiB and the stored file CRC-32."""
        return cast(VelkStats, self._reader().stats())

    def verify(self) -> bool:
        """Check the whole-file CRC-32 and every object's CRC-32.

        Returns True; damage raises RuntimeError ("VelkCorruptError: ...").
        """
        return self._reader().verify()

    @property
    def path(self) -> str:
        return cast(str, self._reader().stats()["path"])

    @property
    def closed(self) -> bool:
        return self._native is None

    def close(self) -> None:
        """Release the file mapping once no call is using it.  Idempotent."""
        self._native = None

    def __enter__(self) -> VelkReader:
        self._reader()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._native is None:
            return "<VelkReader closed>"
        st = self._native.stats()
        return f"VelkReader({st['path']!r}, keys={st['num_keys']}, objects={st['num_objects']})"


def _key_text(key: Key) -> str:
    return key if isinstance(key, str) else bytes(key).decode("utf-8", "replace")
