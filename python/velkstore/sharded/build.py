"""Building shards: pairs split by shard into chunks, chunks built into files.

Both the one-machine `ShardedWriter` and the Dask adapter split (key,
value) pairs into per-shard chunks, move the chunks (through spill files or
between workers) and build each shard from its chunks in order.  Keeping
the order of the chunks is what makes the last binding of a key win.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass

import msgpack  # type: ignore[import-untyped]

from .. import _native
from .manifest import (
    BUILD_DIR_PREFIX,
    DirPath,
    Manifest,
    ShardEntry,
    absolute,
    commit,
    join,
    new_build_id,
    remove_build_dir,
    replaceable_manifest,
)
from .._common import PathArg, naming_file
from .._writer import VelkWriter

#: Pairs grouped by the shard of their key, in the order they came, with a
#: byte count (`pending`) that decides when the writer spills: native.
Splitter = _native.Splitter
# Per pair, what a staged key and value cost beyond their bytes.
PAIR_OVERHEAD: int = _native.Splitter.PAIR_OVERHEAD


def pack_chunk(keys: list[bytes], raws: list[bytes]) -> bytes:
    """The MessagePack encoding of [keys, raws]."""
    return _native.encode([keys, raws])


def unpack_chunk(chunk: bytes) -> Iterator[tuple[bytes, bytes]]:
    keys, raws = msgpack.unpackb(chunk, use_list=True)
    return zip(keys, raws)


def append_chunks(path: DirPath, chunks: Sequence[bytes]) -> list[int]:
    """Append *chunks* to the file *path* (made if missing) and return the
    offset of each: for engines whose tasks hand chunks on through files
    that the next stage's tasks read back with `read_chunk`."""
    offsets = []
    with naming_file(path), open(path, "ab") as f:
        offset = f.tell()
        for chunk in chunks:
            offsets.append(offset)
            f.write(chunk)
            offset += len(chunk)
    return offsets


def read_chunk(path: DirPath, offset: int, size: int) -> bytes:
    """The chunk of *size* bytes at *offset* in the file *path*."""
    with naming_file(path), open(path, "rb") as f:
        f.seek(offset)
        chunk = f.read(size)
    if len(chunk) != size:
        raise OSError(f"chunk file {os.fsdecode(path)!r} is truncated: {len(chunk)} of {size} bytes at {offset}")
    return chunk


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
    # The build directory is this build's own: a shard's commit need not
    # read it for files of killed builds (which, with thousands of shards
    # in it, made the builds quadratic).
    writer._unshared_directory()
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


def commit_built(
    directory: DirPath, build_dir: DirPath, seed: int, built: Sequence[BuiltShard], given: DirPath | None = None
) -> ShardedBuildInfo:
    """Commit the shards built in *build_dir*, in shard order, as the store
    in *directory* (replacing the one there), and say what was written (the
    directory as *given*, when the caller made it absolute)."""
    entries = tuple(b.entry for b in built)
    manifest = Manifest(num_shards=len(entries), seed=seed, shards=entries)
    commit(directory, manifest, staged=build_dir)
    return ShardedBuildInfo(
        path=directory if given is None else given,
        num_shards=len(entries),
        num_keys=manifest.num_keys,
        num_objects=sum(b.num_objects for b in built),
        file_size=sum(e.size for e in entries),
        shards=entries,
    )


def build_attempt(
    build_dir: DirPath,
    attempt: str,
    name: str,
    batches: Iterable[Iterable[tuple[bytes, bytes]]],
    compress_level: int | None = None,
) -> BuiltShard:
    """`build_shard` into the directory *attempt* of *build_dir*, made here.

    For engines that may run a task more than once (a retry, a speculative
    copy): each attempt of a shard builds in a directory of its own, so no
    attempt meets another's file, and `commit_attempts` takes the one whose
    result the engine kept."""
    attempt_dir = join(build_dir, attempt)
    os.mkdir(attempt_dir)
    return build_shard(attempt_dir, name, batches, compress_level)


def commit_attempts(
    directory: DirPath, build_dir: DirPath, seed: int, built: Sequence[tuple[str, BuiltShard]]
) -> ShardedBuildInfo:
    """Commit shards built by `build_attempt`, given in shard order as
    (attempt, shard) pairs: each file moves from its attempt's directory
    into *build_dir*, then `commit_built`.  The other attempts' files stay
    in *build_dir*, removed with it."""
    for attempt, shard in built:
        os.replace(join(join(build_dir, attempt), shard.entry.file), join(build_dir, shard.entry.file))
    return commit_built(directory, build_dir, seed, [shard for _, shard in built])


@contextmanager
def build_directory(directory: PathArg) -> Iterator[tuple[DirPath, str, DirPath]]:
    """For a build of the store in *directory* (made if missing) whose
    shards are built on workers: yields (directory, build id, build
    directory), the hidden directory the workers build into, and removes it
    with whatever is left in it when the block ends, done or failed.

    A store this build could not replace fails now, not after every shard
    is built."""
    # Absolute: workers may run in another working directory.
    target: DirPath = absolute(os.fspath(directory))
    os.makedirs(target, exist_ok=True)
    replaceable_manifest(target)
    with naming_file(target):  # the random source failing names the store
        build_id = new_build_id()
    build_dir = join(target, BUILD_DIR_PREFIX + build_id)
    os.mkdir(build_dir)
    try:
        yield target, build_id, build_dir
    finally:
        remove_build_dir(build_dir)
