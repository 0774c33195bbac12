"""ShardedWriter: builds a sharded store on one machine in bounded memory."""

from __future__ import annotations

import os
import weakref
from collections.abc import Iterable, Iterator, Mapping, Sequence
from contextlib import suppress
from types import TracebackType
from typing import TYPE_CHECKING, Any

from .._common import PathArg, naming_file
from .._writer import compression_level
from .build import BuiltShard, ShardedBuildInfo, Splitter, build_shard, commit_built, pack_chunk, unpack_chunk
from .manifest import (
    BUILD_DIR_PREFIX,
    DirPath,
    absolute,
    check_num_shards,
    check_seed,
    join,
    new_build_id,
    remove_build_dir,
    replaceable_manifest,
    shard_file_name,
)

if TYPE_CHECKING:
    from typing import Self

# Pairs taken from an iterable between two checks of the staged size: at
# most BATCH, FIRST_BATCH until a pair's size is known, and fewer (down to
# FIRST_BATCH) as the pairs grow, so that staging stays within spill_bytes
# and FIRST_BATCH pairs whatever their size.
BATCH = 16384
FIRST_BATCH = 64
FRAME_HEADER = 8  # little-endian length of the chunk that follows


class ShardedWriter:
    """Collects key → object bindings and writes a sharded store: a
    directory of *num_shards* store files and a manifest naming them.

    Pairs are split by shard as they come and spilled to one temporary file
    per shard whenever more than *spill_bytes* are staged, so memory stays
    bounded however large the table.  `build()` then builds the shards one
    at a time (peak memory about one shard's build) and writes the manifest
    last, atomically: readers see the previous store, or the new one
    complete.  The previous store's shards are removed after the commit.

    Keys and values are as for `VelkWriter`; adding a key again rebinds it
    (the last binding wins).  Temporary files live in a hidden
    ``.velkstore-build-*`` directory inside *directory*, removed when the
    build ends, fails or the writer is discarded.  A writer builds once;
    it is not thread-safe.
    """

    def __init__(
        self,
        directory: PathArg,
        num_shards: int,
        *,
        seed: int = 0,
        spill_bytes: int = 64 << 20,
        compress: str | None = None,
        compress_level: int | None = None,
    ) -> None:
        self._compress_level = compression_level(compress, compress_level)
        self._num_shards = check_num_shards(num_shards)
        self._seed = check_seed(seed)
        if spill_bytes < 0:
            raise ValueError("spill_bytes must not be negative")
        self._spill_bytes = spill_bytes
        self._given: DirPath = os.fspath(directory)
        # Absolute, taken now: a chdir before build() or close() must not
        # send the build, or its clean-up, to another directory.
        self._dir: DirPath = absolute(self._given)
        with naming_file(self._dir):  # the random source failing names the store
            self._build_id = new_build_id()
        self._build_dir = join(self._dir, BUILD_DIR_PREFIX + self._build_id)
        self._splitter: Splitter | None = Splitter(self._num_shards, self._seed)
        self._spilled = [False] * self._num_shards
        os.makedirs(self._dir, exist_ok=True)
        # A store this build could not replace fails now, not after every shard is built.
        replaceable_manifest(self._dir)
        os.mkdir(self._build_dir)
        # A writer dropped without build() or close() leaves no files behind.
        self._cleanup = weakref.finalize(self, remove_build_dir, self._build_dir)

    @property
    def directory(self) -> DirPath:
        return self._given

    @property
    def num_shards(self) -> int:
        return self._num_shards

    @property
    def closed(self) -> bool:
        return self._splitter is None

    def _live(self) -> Splitter:
        if self._splitter is None:
            raise ValueError("ShardedWriter is closed")
        return self._splitter

    # -- staging ------------------------------------------------------------

    def add(self, key: Any, value: object) -> None:
        """Bind *key* (str or bytes) to *value*, serialised with MessagePack."""
        self.update(((key, value),))

    def add_raw(self, key: Any, raw: bytes) -> None:
        """Bind *key* to already serialised bytes *raw*."""
        self.update_raw(((key, raw),))

    def update(self, pairs: Mapping[Any, object] | Iterable[tuple[Any, object]]) -> None:
        """Bind every (key, value) of a mapping or an iterable of pairs.

        A bad key or value raises TypeError or ValueError; the pairs before
        it stay bound.
        """
        self._stage(pairs, raw=False)

    def update_raw(self, pairs: Mapping[Any, bytes] | Iterable[tuple[Any, bytes]]) -> None:
        """`update` with values already serialised as bytes."""
        self._stage(pairs, raw=True)

    def update_arrow(
        self,
        table: Any,
        key_column: str,
        value_columns: Sequence[str] | None = None,
        *,
        value_column: str | None = None,
        raw: bool = False,
    ) -> None:
        """`VelkWriter.update_arrow` for a sharded store: rows are packed
        natively a slice at a time, split by shard and spilled as
        `update` does."""
        from ..arrow import packed_pairs

        self._live()
        for pairs in packed_pairs(table, key_column, value_columns, value_column, raw):
            self._stage(pairs, raw=True)

    def _stage(self, pairs: Mapping[Any, Any] | Iterable[tuple[Any, Any]], raw: bool) -> None:
        splitter = self._live()
        items = iter(pairs.items() if isinstance(pairs, Mapping) else pairs)
        limit = FIRST_BATCH  # until the size of a pair is known
        while True:
            before = splitter.pending
            done = splitter.add_pairs(items, raw=raw, limit=limit)
            grown = splitter.pending - before
            if splitter.pending > self._spill_bytes:
                self._spill(splitter)
            if done:
                break
            # The next batch no larger than what is left before a spill, at
            # the bytes a pair took in this one: large values do not pile
            # up a whole batch past the threshold.
            per_pair = max(1, grown // limit)
            limit = max(FIRST_BATCH, min(BATCH, (self._spill_bytes - splitter.pending) // per_pair))

    def _spill(self, splitter: Splitter) -> None:
        # All or nothing: a failed write (a full disk) cuts every spill file
        # back to where this spill began, so none holds a torn frame, and the
        # pairs stay in memory for a later spill or the build.
        begun: list[tuple[int, int, bool]] = []
        try:
            for i, (keys, raws) in enumerate(zip(splitter.keys, splitter.raws)):
                if keys:
                    chunk = pack_chunk(keys, raws)
                    with naming_file(self._spill_path(i)), open(self._spill_path(i), "ab") as f:
                        begun.append((i, f.tell(), self._spilled[i]))
                        f.write(len(chunk).to_bytes(FRAME_HEADER, "little"))
                        f.write(chunk)
                    self._spilled[i] = True
        except BaseException:
            for i, size, spilled in begun:
                with suppress(OSError):
                    os.truncate(self._spill_path(i), size)
                self._spilled[i] = spilled
            raise
        splitter.clear()

    def _spill_path(self, index: int) -> DirPath:
        return join(self._build_dir, f"spill-{index:05d}")

    def _batches(self, splitter: Splitter, index: int) -> Iterator[Iterable[tuple[bytes, bytes]]]:
        # Spilled chunks first, then what is still in memory: the order the
        # pairs came in.
        if self._spilled[index]:
            path = self._spill_path(index)
            with naming_file(path), open(path, "rb") as f:
                while header := f.read(FRAME_HEADER):
                    size = int.from_bytes(header, "little")
                    chunk = f.read(size)
                    if len(header) != FRAME_HEADER or len(chunk) != size:
                        raise OSError(f"spill file {os.fsdecode(self._spill_path(index))!r} is truncated")
                    try:
                        pairs = unpack_chunk(chunk)
                    except (ValueError, TypeError):
                        raise OSError(f"spill file {os.fsdecode(path)!r} is damaged") from None
                    yield pairs
                    del chunk
            os.unlink(self._spill_path(index))
        keys, raws = splitter.keys[index], splitter.raws[index]
        yield zip(keys, raws)
        # Free this shard's pairs before the next shard is built.
        splitter.keys[index] = []
        splitter.raws[index] = []

    # -- building -------------------------------------------------------------

    def build(self) -> ShardedBuildInfo:
        """Build every shard, commit the manifest and close the writer.

        On failure the writer is closed too, its temporary files removed,
        and the directory keeps the store it had before.
        """
        splitter = self._live()
        try:
            built: list[BuiltShard] = []
            for i in range(self._num_shards):
                name = shard_file_name(self._build_id, i, self._num_shards)
                built.append(build_shard(self._build_dir, name, self._batches(splitter, i), self._compress_level))
            return commit_built(self._dir, self._build_dir, self._seed, built, given=self._given)
        finally:
            self.close()

    def close(self) -> None:
        """Discard what is staged and remove the temporary files.  Idempotent."""
        self._splitter = None
        self._cleanup()

    def __enter__(self) -> Self:
        self._live()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        """Build on a clean exit (unless built already); discard otherwise."""
        if exc_type is None and not self.closed:
            self.build()
        else:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"num_shards={self._num_shards}"
        return f"<ShardedWriter {os.fsdecode(self._dir)!r} {state}>"
