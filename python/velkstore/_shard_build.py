"""Building shards: pairs split by shard into chunks, chunks built into files.

Both the one-machine `ShardedWriter` and the Dask adapter split (key,
value) pairs into per-shard chunks, move the chunks (through spill files or
between workers) and build each shard from its chunks in order.  Keeping
the order of the chunks is what makes the last binding of a key win.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass

import msgpack  # type: ignore[import-untyped]

from ._errors import LimitError
from ._sharding import (
    MAX_KEY_BYTES,
    DirPath,
    Manifest,
    ShardEntry,
    commit,
    join,
    key_bytes,
    key_hash,
    try_read_manifest,
)
from ._writer import VelkWriter

# Per pair, what a staged key and value cost beyond their bytes (two list
# slots and two bytes objects).
PAIR_OVERHEAD = 90


def stored_key(key: object) -> bytes:
    """The bytes *key* is stored as, checked against the format's limit."""
    kb = key_bytes(key)
    if len(kb) > MAX_KEY_BYTES:
        raise LimitError(f"key of {len(kb)} bytes exceeds the limit of {MAX_KEY_BYTES}")
    return kb


def raw_value(raw: object) -> bytes:
    if not isinstance(raw, (bytes, bytearray, memoryview)):
        raise TypeError(f"raw must be bytes, not {type(raw).__name__!r}")
    return bytes(raw)


def pack_chunk(keys: list[bytes], raws: list[bytes]) -> bytes:
    data: bytes = msgpack.packb([keys, raws], use_bin_type=True)
    return data


def unpack_chunk(chunk: bytes) -> Iterator[tuple[bytes, bytes]]:
    keys, raws = msgpack.unpackb(chunk, use_list=True)
    return zip(keys, raws)


class Splitter:
    """Pairs grouped by shard, in the order they came, with a byte count."""

    def __init__(self, num_shards: int, seed: int) -> None:
        self.num_shards = num_shards
        self.seed = seed
        self.keys: list[list[bytes]] = [[] for _ in range(num_shards)]
        self.raws: list[list[bytes]] = [[] for _ in range(num_shards)]
        self.pending = 0  # bytes staged since the last clear()
        # One packer for every value: packb() would make one per value.
        self.pack = msgpack.Packer(use_bin_type=True).pack

    def add_pairs(self, pairs: Iterable[tuple[object, object]], raw: bool = False) -> None:
        """Add each (key, value) pair, the value encoded with MessagePack or,
        with *raw*, already bytes.  A bad pair raises with the pairs before
        it added and nothing of it."""
        h = key_hash(self.seed)
        n = self.num_shards
        keys, raws = self.keys, self.raws
        pack = self.pack
        pending = 0
        try:
            for pair in pairs:
                try:
                    key, value = pair
                except (TypeError, ValueError):
                    raise TypeError(f"expected a (key, value) pair, not {pair!r:.60}") from None
                # Text keys on a fast path; anything unusual takes stored_key's
                # checks and errors.
                if type(key) is str:
                    try:
                        kb = key.encode("utf-8", "surrogateescape")
                    except UnicodeEncodeError:
                        kb = stored_key(key)
                else:
                    kb = stored_key(key)
                if len(kb) > MAX_KEY_BYTES:
                    stored_key(key)
                if raw:
                    vb = value if type(value) is bytes else raw_value(value)
                else:
                    vb = pack(value)
                i = h(kb) % n
                keys[i].append(kb)
                raws[i].append(vb)
                pending += len(kb) + len(vb) + PAIR_OVERHEAD
        finally:
            self.pending += pending

    def clear(self) -> None:
        for i in range(self.num_shards):
            self.keys[i] = []
            self.raws[i] = []
        self.pending = 0

    def take(self) -> list[bytes]:
        """One packed chunk per shard (empty ones too); the splitter is
        left empty."""
        chunks = [pack_chunk(k, r) for k, r in zip(self.keys, self.raws)]
        self.clear()
        return chunks


@dataclass(frozen=True)
class BuiltShard:
    entry: ShardEntry
    num_objects: int


def build_shard(
    build_dir: DirPath, name: str, batches: Iterable[Iterable[tuple[bytes, bytes]]]
) -> BuiltShard:
    """Build one shard file *name* in *build_dir* from batches of (key,
    stored bytes), in order (a key bound again later takes its later value)."""
    writer = VelkWriter()
    try:
        for batch in batches:
            writer.update_raw(batch)
        info = writer.build(join(build_dir, name))
    finally:
        writer.close()
    entry = ShardEntry(file=name, size=info.file_size, num_keys=info.num_keys, crc32=info.file_crc32)
    return BuiltShard(entry=entry, num_objects=info.num_objects)


@dataclass(frozen=True)
class ShardedBuildInfo:
    """What a sharded build wrote: the directory and totals over its shards."""

    path: DirPath
    num_shards: int
    num_keys: int
    num_objects: int  # summed over shards; one value in two shards counts twice
    file_size: int  # bytes of all shards together
    shards: tuple[ShardEntry, ...]


def commit_built(directory: DirPath, build_dir: DirPath, seed: int, built: Sequence[BuiltShard]) -> ShardedBuildInfo:
    """Commit the shards built in *build_dir*, in shard order, as the store
    in *directory* (replacing the one there), and say what was written."""
    entries = tuple(b.entry for b in built)
    manifest = Manifest(num_shards=len(entries), seed=seed, shards=entries)
    commit(directory, build_dir, manifest, try_read_manifest(directory))
    return ShardedBuildInfo(
        path=directory,
        num_shards=len(entries),
        num_keys=manifest.num_keys,
        num_objects=sum(b.num_objects for b in built),
        file_size=sum(e.size for e in entries),
        shards=entries,
    )
