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

from .. import _native
from .._common import new_packer
from .manifest import (
    DirPath,
    Manifest,
    ShardEntry,
    commit,
    join,
)
from .._writer import VelkWriter

# Per pair, what a staged key and value cost beyond their bytes (two list
# slots and two bytes objects).
PAIR_OVERHEAD = 90


def pack_chunk(keys: list[bytes], raws: list[bytes]) -> bytes:
    """The MessagePack encoding of [keys, raws], packed natively."""
    return _native.pack_chunk(keys, raws)


def unpack_chunk(chunk: bytes) -> Iterator[tuple[bytes, bytes]]:
    keys, raws = msgpack.unpackb(chunk, use_list=True)
    return zip(keys, raws)


class Splitter:
    """Pairs grouped by shard, in the order they came, with a byte count."""

    PAIR_OVERHEAD = PAIR_OVERHEAD

    def __init__(self, num_shards: int, seed: int) -> None:
        self.num_shards = num_shards
        self.seed = seed
        self.keys: list[list[bytes]] = [[] for _ in range(num_shards)]
        self.raws: list[list[bytes]] = [[] for _ in range(num_shards)]
        self.pending = 0  # bytes staged since the last clear(), PAIR_OVERHEAD per pair included
        # One packer for every value (as a single-file writer encodes them).
        self.pack = new_packer()

    def add_pairs(self, pairs: Iterable[tuple[object, object]], raw: bool = False, limit: int | None = None) -> bool:
        """Add each (key, value) pair, the value encoded with MessagePack or,
        with *raw*, already bytes; at most *limit* pairs when given (True
        when *pairs* ran out).  A bad pair raises with the pairs before it
        added and nothing of it."""
        # Key conversion, the key hash and the encoding of plain values run
        # natively, one call per batch.
        return _native.split_pairs(self, pairs, raw, limit)

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
    build_dir: DirPath,
    name: str,
    batches: Iterable[Iterable[tuple[bytes, bytes]]],
    compress_level: int | None = None,
) -> BuiltShard:
    """Build one shard file *name* in *build_dir* from batches of (key,
    stored bytes), in order (a key bound again later takes its later value).

    With *compress_level*, the shard's values are compressed at that zstd
    level with a dictionary trained on this shard's own values: shards are
    built independently (on different workers, with no pass over the whole
    store first), and since keys are spread over the shards by hash each
    shard's values are a fair sample of the store's."""
    writer = VelkWriter(compress=None if compress_level is None else "zstd", compress_level=compress_level)
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
    commit(directory, manifest, staged=build_dir)
    return ShardedBuildInfo(
        path=directory,
        num_shards=len(entries),
        num_keys=manifest.num_keys,
        num_objects=sum(b.num_objects for b in built),
        file_size=sum(e.size for e in entries),
        shards=entries,
    )
