"""commit_shards: a sharded store from shard files built elsewhere."""

from __future__ import annotations

import os
from collections.abc import Sequence

from .._common import PathArg
from .._errors import CorruptError
from .._reader import VelkReader
from .manifest import (
    MANIFEST_NAME,
    DirPath,
    Manifest,
    ShardEntry,
    check_num_shards,
    check_seed,
    join,
    key_hash,
    new_build_id,
    publish,
    valid_file_name,
)


def commit_shards(
    directory: PathArg, files: Sequence[str], *, seed: int = 0, check_keys: bool = True
) -> Manifest:
    """Make *directory* a sharded store of the given shard files, already in
    it: ``files[i]`` must hold exactly the keys of shard i, that is those
    with ``shard_of(key, len(files), seed) == i``.

    For stores built where the workers share no file system: each worker
    builds its shards (with `VelkWriter`, from the keys `shard_of` gives
    it) on its own disk, the files are copied into one directory, and this
    writes their manifest, atomically.  Each file is opened with its
    whole-file CRC checked; with *check_keys* every key is checked to
    belong to its shard (a misplaced key would read as absent), which
    raises CorruptError.  Returns the manifest written.
    """
    target: DirPath = os.fspath(directory)
    n = check_num_shards(len(files))
    seed = check_seed(seed)
    if len(set(files)) != n:
        raise ValueError("the same file is named twice")
    h = key_hash(seed)
    entries = []
    for i, name in enumerate(files):
        if not valid_file_name(name):
            raise ValueError(f"shard file name {name!r} is not a plain file name in the directory")
        with VelkReader(join(target, name)) as r:
            if check_keys:
                for kb in r.keys_bytes():
                    if h(kb) % n != i:
                        raise CorruptError(f"shard {i} {name!r} holds key {kb!r}, which belongs to shard {h(kb) % n}")
            st = r.stats()
            entries.append(ShardEntry(file=name, size=st["file_size"], num_keys=st["num_keys"], crc32=st["file_crc32"]))
    manifest = Manifest(num_shards=n, seed=seed, shards=tuple(entries))
    publish(target, manifest, join(target, f".{MANIFEST_NAME}.{new_build_id()}.tmp"))
    return manifest
