"""ShardedReader: one mapping over the shards of a sharded store."""

from __future__ import annotations

import os
from contextlib import nullcontext
from collections.abc import ItemsView, Iterable, Iterator, Mapping, ValuesView
from types import TracebackType
from typing import TYPE_CHECKING, Any

from .. import _native
from .._common import Key, PathArg
from .._errors import ClosedError, CorruptError, ShardNotOpenError
from .._reader import VelkReader
from .manifest import (
    DirPath,
    Manifest,
    check_shard_path,
    commit_lock,
    join,
    read_manifest,
    shard_of,
    try_read_manifest,
)

if TYPE_CHECKING:
    from typing import Self

# Opens started again when a commit removed the shards of the manifest read.
_OPEN_ATTEMPTS = 5
# What a native scan yields: its keys= and values= forms.
_NONE, _STR, _BYTES = 0, 1, 2
_RAW, _DECODED = 1, 2

class ShardedReader(_native.ShardRouter, Mapping[str, Any]):
    """A read-only view of a sharded store, with `VelkReader`'s read API.

    Lookups go to the one shard that can hold the key; `get_many` groups
    its keys by shard; iteration, `prefix` and `range` merge the shards'
    sorted streams lazily, so they come in key order across the whole store.
    All of it runs natively, in one router over the shards' readers.

    Each shard is checked against the manifest when opened: a shard whose
    size, key count or file CRC-32 disagrees with it (a file swapped in
    from another build, truncated or rewritten) raises `CorruptError`.  With
    *verify* each shard's whole-file CRC is checked as well; by default a
    shard that carries its lookup index opens in constant time and is
    checked as it is read (see `VelkReader`).

    *shards* (indices) opens only those shards, so a serving machine maps
    just its part: listings and `len()` then cover the open shards, and
    looking up a key that belongs to a shard not open raises
    `ShardNotOpenError` (a `VelkError` and `LookupError`) rather than
    answering "absent" for a key that may exist.
    """

    # Slots, not an instance dict: CPython then binds `r.get` and the other
    # lookups straight from the type on every call, as for `VelkReader`.
    __slots__ = ("_dir", "_home", "_verify", "_manifest", "_n", "_shard_ids", "_readers", "_open", "__weakref__")

    def __init__(
        self, directory: PathArg, *, verify: bool | None = None, shards: Iterable[int] | None = None
    ) -> None:
        self._dir: DirPath = os.fspath(directory)
        # Made absolute now: a pickled reader reopens this store even after
        # the process has changed directory.
        self._home: DirPath = os.path.abspath(self._dir)
        self._verify = verify
        # Taken once: an open that starts again reads the indices again.
        asked = None if shards is None else list(shards)
        # A build committing meanwhile may remove the shards of the manifest
        # just read: the open then starts again from the new manifest.  The
        # last attempt holds the commit lock shared, so that commits coming
        # one after another cannot keep a reader from ever opening.
        for attempt in range(_OPEN_ATTEMPTS):
            last = attempt + 1 == _OPEN_ATTEMPTS
            with commit_lock(self._dir, shared=True) if last else nullcontext():
                m = read_manifest(self._dir)
                wanted = range(m.num_shards) if asked is None else sorted(set(_indices(asked, m.num_shards)))
                try:
                    readers = self._open_shards(m, wanted)
                    break
                except FileNotFoundError:
                    if last or try_read_manifest(self._dir) == m:
                        raise
        self._manifest = m
        self._n = m.num_shards
        self._shard_ids: tuple[int, ...] = tuple(wanted)
        self._readers: list[VelkReader | None] | None = readers
        self._open = [r for r in readers if r is not None]
        # Lookups (get_raw, get, [], in, get_many, get_many_raw) and scans are
        # the native router's own: key bytes, hash, shard, probe; scans merged
        # across the shards.
        self._attach(readers, m.seed)

    def _open_shards(self, m: Manifest, wanted: Iterable[int]) -> list[VelkReader | None]:
        readers: list[VelkReader | None] = [None] * m.num_shards
        try:
            for i in wanted:
                readers[i] = self._open_shard(m, i)
        except BaseException:
            for r in readers:
                if r is not None:
                    r.close()
            raise
        return readers

    def _open_shard(self, m: Manifest, index: int) -> VelkReader:
        entry = m.shards[index]
        path = join(self._dir, entry.file)
        if (fault := check_shard_path(self._dir, path)) is not None:
            raise CorruptError(f"shard {index} {os.fsdecode(path)!r} {fault}")
        reader = VelkReader(path, verify=self._verify)
        try:
            _check_shard(reader, m, index, path)
            # The first key in its place: a cheap check of the manifest's
            # seed and shard order, which verify() checks for every key.
            _check_placement(reader, m, index, path, limit=1)
        except BaseException:
            reader.close()
            raise
        return reader

    def _all(self) -> list[VelkReader | None]:
        if self._readers is None:
            raise ClosedError("ShardedReader is closed")
        return self._readers

    def _live(self) -> list[VelkReader]:
        self._all()
        return self._open

    # -- listings -------------------------------------------------------------

    def __len__(self) -> int:
        """The number of keys in the open shards."""
        return sum(len(r) for r in self._live())

    def __iter__(self) -> Iterator[str]:
        return self._scan()

    def keys_bytes(self, prefix: Key = b"", start: Key | None = None, stop: Key | None = None) -> Iterator[bytes]:
        """Keys as bytes, lazily, in key order across the open shards."""
        return self._scan(prefix, start, stop, keys=_BYTES)

    def items_bytes(
        self,
        prefix: Key = b"",
        start: Key | None = None,
        stop: Key | None = None,
        *,
        raw: bool = False,
    ) -> Iterator[tuple[bytes, Any]]:
        """(bytes key, value), or (bytes key, encoded value) with *raw*,
        lazily, in key order across the open shards."""
        return self._scan(prefix, start, stop, keys=_BYTES, values=_RAW if raw else _DECODED)

    def items(self) -> ItemsView[str, Any]:
        """A view whose iteration merges the shards' scans (one decoding
        pass, not one lookup per key)."""
        return _ItemsView(self)

    def values(self) -> ValuesView[Any]:
        return _ValuesView(self)

    def items_raw(self) -> Iterator[tuple[str, bytes]]:
        return self._scan(values=_RAW)

    def prefix(self, prefix: Any) -> Iterator[tuple[str, Any]]:
        """(key, object) for every key starting with *prefix*, in key order."""
        return self._prefix(prefix, _DECODED)

    def prefix_raw(self, prefix: Any) -> Iterator[tuple[str, bytes]]:
        return self._prefix(prefix, _RAW)

    def _prefix(self, prefix: Any, values: int) -> Iterator[tuple[str, Any]]:
        return self._scan(prefix, values=values)

    def range(self, start: Any = None, stop: Any = None) -> Iterator[tuple[str, Any]]:
        """(key, object) for start <= key < stop (either end open when
        None), in key order."""
        return self._scan(None, start, stop, values=_DECODED)

    def range_raw(self, start: Any = None, stop: Any = None) -> Iterator[tuple[str, bytes]]:
        return self._scan(None, start, stop, values=_RAW)

    def get_many_arrow(self, keys: Any) -> Any:
        """`VelkReader.get_many_arrow` across the shards: each key looked up
        in its shard, the values in the order asked, null where absent."""
        from ..arrow import get_many

        return get_many(self._all(), self._manifest.seed, keys)

    # -- the store --------------------------------------------------------------

    @property
    def manifest(self) -> Manifest:
        return self._manifest

    @property
    def shards(self) -> tuple[int, ...]:
        """The indices of the open shards."""
        return self._shard_ids

    @property
    def path(self) -> DirPath:
        return self._dir

    @property
    def closed(self) -> bool:
        return self._readers is None

    def stats(self) -> dict[str, Any]:
        """Totals over the open shards, and each open shard's own stats."""
        per_shard = [r.stats() for r in self._live()]
        return {
            "path": self._dir,
            "num_shards": self._n,
            "open_shards": list(self._shard_ids),
            "num_keys": sum(s["num_keys"] for s in per_shard),
            "num_objects": sum(s["num_objects"] for s in per_shard),
            "file_size": sum(e.size for i, e in enumerate(self._manifest.shards) if i in self._shard_ids),
            "seed": self._manifest.seed,
            "shards": per_shard,
        }

    def verify(self) -> bool:
        """Check every open shard in full, and against the manifest: each of
        its keys must be one the manifest's seed and shard count send to it.

        Returns True; damage raises `CorruptError` naming the shard.
        """
        readers = self._all()
        for i in self._shard_ids:
            r = readers[i]
            assert r is not None
            path = join(self._dir, self._manifest.shards[i].file)
            _check_shard(r, self._manifest, i, path)
            r.verify()
            _check_placement(r, self._manifest, i, path)
        return True

    def close(self) -> None:
        """Close every shard.  Idempotent."""
        readers, self._readers = self._readers, None
        self._close()
        for r in readers or ():
            if r is not None:
                r.close()
        self._open = []

    def __enter__(self) -> Self:
        self._all()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        # A reader travels to another process as its directory and options;
        # one open on every shard reopens every shard the store has there.
        shards = None if len(self._shard_ids) == self._n else self._shard_ids
        return (_reopen, (self._home, self._verify, shards))

    def __repr__(self) -> str:
        if self._readers is None:
            return "<ShardedReader closed>"
        return (
            f"ShardedReader({os.fsdecode(self._dir)!r}, shards={len(self._shard_ids)}"
            f"/{self._n}, keys={len(self)})"
        )


class _ItemsView(ItemsView[str, Any]):
    _mapping: ShardedReader

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self._mapping._scan(values=_DECODED)


class _ValuesView(ValuesView[Any]):
    _mapping: ShardedReader

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._scan(keys=_NONE, values=_DECODED)


def _reopen(directory: DirPath, verify: bool | None, shards: tuple[int, ...] | None) -> ShardedReader:
    return ShardedReader(directory, verify=verify, shards=shards)


def _indices(shards: Iterable[int], num_shards: int) -> Iterator[int]:
    for i in shards:
        if not isinstance(i, int) or isinstance(i, bool):
            raise TypeError(f"shard indices must be ints, not {type(i).__name__!r}")
        if not 0 <= i < num_shards:
            raise ValueError(f"shard {i} is out of range: the store has {num_shards} shards")
        yield i


def _check_shard(reader: VelkReader, m: Manifest, index: int, path: DirPath) -> None:
    entry = m.shards[index]
    st = reader.stats()
    for what, found, expected in (
        ("bytes", st["file_size"], entry.size),
        ("keys", st["num_keys"], entry.num_keys),
        ("file CRC-32", st["file_crc32"], entry.crc32),
    ):
        if found != expected:
            raise CorruptError(
                f"shard {index} {os.fsdecode(path)!r} does not match the manifest:"
                f" {what} {found!r}, expected {expected!r}"
            )


def _check_placement(reader: VelkReader, m: Manifest, index: int, path: DirPath, limit: int | None = None) -> None:
    # A key in the wrong shard would read as absent.
    kb = _native.misplaced_key(reader, index, m.num_shards, m.seed, limit)
    if kb is not None:
        raise CorruptError(
            f"shard {index} {os.fsdecode(path)!r} holds key {kb!r}, which the manifest's seed and"
            f" shard count place in shard {shard_of(kb, m.num_shards, m.seed)}"
        )
