"""ShardedReader: one mapping over the shards of a sharded store."""

from __future__ import annotations

import heapq
import os
from collections.abc import ItemsView, Iterable, Iterator, Mapping, ValuesView
from operator import itemgetter
from types import TracebackType
from typing import Any

from .. import _native
from .._common import Key, PathArg
from .._errors import ClosedError, CorruptError, LimitError, VelkError
from .._reader import VelkReader
from .manifest import (
    DirPath,
    Manifest,
    check_shard_path,
    join,
    key_bytes,
    key_text,
    read_manifest,
    shard_of,
    try_read_manifest,
)

_first = itemgetter(0)
# Opens started again when a commit removed the shards of the manifest read.
_OPEN_ATTEMPTS = 5


class ShardNotOpenError(VelkError, LookupError):
    """A lookup of a key whose shard this reader did not open (``shards=``)."""


def _lookup_key(key: object) -> bytes | None:
    # The stored form of a key asked for; None for text that no stored key
    # can match.  Bad types raise TypeError, as VelkReader does.
    try:
        return key_bytes(key)
    except LimitError:
        return None


def _bound(key: object) -> bytes | None:
    return None if key is None else key_bytes(key)


class ShardedReader(Mapping[str, Any]):
    """A read-only view of a sharded store, with `VelkReader`'s read API.

    Lookups go to the one shard that can hold the key; `get_many` groups
    its keys by shard; iteration, `prefix` and `range` merge the shards'
    sorted streams lazily, so they come in key order across the whole store.

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

    def __init__(
        self, directory: PathArg, *, verify: bool | None = None, shards: Iterable[int] | None = None
    ) -> None:
        self._dir: DirPath = os.fspath(directory)
        self._verify = verify
        # A build committing meanwhile may remove the shards of the manifest
        # just read: the open then starts again from the new manifest.
        for attempt in range(_OPEN_ATTEMPTS):
            m = read_manifest(self._dir)
            wanted = range(m.num_shards) if shards is None else sorted(set(_indices(shards, m.num_shards)))
            try:
                readers = self._open_shards(m, wanted)
                break
            except FileNotFoundError:
                if attempt + 1 == _OPEN_ATTEMPTS or try_read_manifest(self._dir) == m:
                    raise
        self._manifest = m
        self._n = m.num_shards
        self._shard_ids: tuple[int, ...] = tuple(wanted)
        self._readers: list[VelkReader | None] | None = readers
        self._open = [r for r in readers if r is not None]
        # Exact lookups in one native call each: key bytes, hash, shard, probe.
        self._router: _native.ShardRouter | None = _native.ShardRouter(readers, m.seed, ShardNotOpenError)

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

    def _route(self, key: object) -> tuple[VelkReader, bytes] | None:
        """The open shard that holds *key* and the key's bytes; None for a
        key no store can hold."""
        readers = self._all()
        kb = _lookup_key(key)
        if kb is None:
            return None
        i = shard_of(kb, self._n, self._manifest.seed)
        r = readers[i]
        if r is None:
            raise ShardNotOpenError(f"key {kb!r} belongs to shard {i}, which this reader did not open")
        return r, kb

    def _live(self) -> list[VelkReader]:
        self._all()
        return self._open

    # -- lookups ------------------------------------------------------------

    def get_raw(self, key: Any) -> bytes | None:
        """The stored bytes of *key*, or None when it is absent."""
        router = self._router
        if router is None:
            raise ClosedError("ShardedReader is closed")
        return router.get_raw(key)

    def get(self, key: Any, default: Any = None) -> Any:
        route = self._route(key)
        return default if route is None else route[0].get(route[1], default)

    def __getitem__(self, key: Any) -> Any:
        route = self._route(key)
        if route is None:
            raise KeyError(key)
        try:
            return route[0][route[1]]
        except KeyError:
            raise KeyError(key) from None

    def __contains__(self, key: object) -> bool:
        try:
            route = self._route(key)
        except TypeError:
            return False
        return route is not None and route[0].__contains__(route[1])

    def get_many_raw(self, keys: Iterable[Any]) -> list[bytes | None]:
        """The stored bytes of each key (None when absent), in the order asked."""
        return self._get_many(keys, raw=True, default=None)

    def get_many(self, keys: Iterable[Any], default: Any = None) -> list[Any]:
        """The object of each key (*default* when absent), in the order asked."""
        return self._get_many(keys, raw=False, default=default)

    def _get_many(self, keys: Iterable[Any], raw: bool, default: Any) -> list[Any]:
        readers = self._all()
        if raw and self._router is not None:
            return self._router.get_many_raw(keys if isinstance(keys, list) else list(keys))
        kbs = _many_keys(keys)
        n = self._n
        if n == 1 and readers[0] is not None and None not in kbs:
            one = readers[0]
            return one.get_many_raw(kbs) if raw else one.get_many(kbs, default)
        # One batch per shard, each answered by that shard's batch lookup,
        # then the answers put back in the order asked.
        seed = self._manifest.seed
        positions: list[list[int]] = [[] for _ in range(n)]
        batches: list[list[bytes]] = [[] for _ in range(n)]
        for pos, kb in enumerate(kbs):
            if kb is not None:
                i = shard_of(kb, n, seed)
                positions[i].append(pos)
                batches[i].append(kb)
        out: list[Any] = [default] * len(kbs)
        for i, batch in enumerate(batches):
            if not batch:
                continue
            r = readers[i]
            if r is None:
                raise ShardNotOpenError(f"key {batch[0]!r} belongs to shard {i}, which this reader did not open")
            found = r.get_many_raw(batch) if raw else r.get_many(batch, default)
            for pos, value in zip(positions[i], found):
                out[pos] = value
        return out

    # -- listings -------------------------------------------------------------

    def __len__(self) -> int:
        """The number of keys in the open shards."""
        return sum(len(r) for r in self._live())

    def __iter__(self) -> Iterator[str]:
        return map(key_text, self.keys_bytes())

    def keys_bytes(self, prefix: Key = b"", start: Key | None = None, stop: Key | None = None) -> Iterator[bytes]:
        """Keys as bytes, lazily, in key order across the open shards."""
        return heapq.merge(*(r.keys_bytes(prefix, start, stop) for r in self._live()))

    def items_bytes(
        self,
        prefix: Key = b"",
        start: Key | None = None,
        stop: Key | None = None,
        *,
        raw: bool = False,
    ) -> Iterator[tuple[bytes, Any]]:
        """(bytes key, value), or (bytes key, stored bytes) with *raw*,
        lazily, in key order across the open shards."""
        streams = [r.items_bytes(prefix, start, stop, raw=raw) for r in self._live()]
        return heapq.merge(*streams, key=_first)

    def items(self) -> ItemsView[str, Any]:
        """A view whose iteration merges the shards' scans (one decoding
        pass, not one lookup per key)."""
        return _ItemsView(self)

    def values(self) -> ValuesView[Any]:
        return _ValuesView(self)

    def _items(self, prefix: bytes, start: bytes | None, stop: bytes | None, raw: bool) -> Iterator[tuple[str, Any]]:
        for kb, value in self.items_bytes(prefix, start, stop, raw=raw):
            yield key_text(kb), value

    def items_raw(self) -> Iterator[tuple[str, bytes]]:
        return self._items(b"", None, None, raw=True)

    def prefix(self, prefix: Any) -> Iterator[tuple[str, Any]]:
        """(key, object) for every key starting with *prefix*, in key order."""
        return self._prefix(prefix, raw=False)

    def prefix_raw(self, prefix: Any) -> Iterator[tuple[str, bytes]]:
        return self._prefix(prefix, raw=True)

    def _prefix(self, prefix: Any, raw: bool) -> Iterator[tuple[str, Any]]:
        pb = _lookup_key(prefix)
        self._live()
        return iter(()) if pb is None else self._items(pb, None, None, raw)

    def range(self, start: Any = None, stop: Any = None) -> Iterator[tuple[str, Any]]:
        """(key, object) for start <= key < stop (either end open when
        None), in key order."""
        self._live()
        return self._items(b"", _bound(start), _bound(stop), raw=False)

    def range_raw(self, start: Any = None, stop: Any = None) -> Iterator[tuple[str, bytes]]:
        self._live()
        return self._items(b"", _bound(start), _bound(stop), raw=True)

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
        self._router = None
        for r in readers or ():
            if r is not None:
                r.close()
        self._open = []

    def __enter__(self) -> ShardedReader:
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
        # A reader travels to another process as its directory and options.
        return (_reopen, (self._dir, self._verify, self._shard_ids))

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
        return self._mapping._items(b"", None, None, raw=False)


class _ValuesView(ValuesView[Any]):
    _mapping: ShardedReader

    def __iter__(self) -> Iterator[Any]:
        return (v for _, v in self._mapping.items_bytes())


def _reopen(directory: DirPath, verify: bool | None, shards: tuple[int, ...]) -> ShardedReader:
    return ShardedReader(directory, verify=verify, shards=shards)


def _many_keys(keys: Iterable[Any]) -> list[Any]:
    # Text keys encoded in one pass; a key no store can hold becomes None.
    items = keys if isinstance(keys, list) else list(keys)
    try:
        return [k.encode("utf-8", "surrogateescape") if type(k) is str else key_bytes(k) for k in items]
    except (UnicodeEncodeError, LimitError):
        return [_lookup_key(k) for k in items]


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
