"""commit_shards: a sharded store from shard files built elsewhere."""

from __future__ import annotations

import os
from collections.abc import Sequence
from contextlib import suppress

from .. import _native
from .._common import PathArg
from .._errors import CorruptError
from .._reader import VelkReader
from .manifest import (
    DirPath,
    FileIds,
    Manifest,
    ShardEntry,
    check_num_shards,
    check_seed,
    check_shard_path,
    commit,
    file_id,
    join,
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
    raises CorruptError.  A store already in *directory* is replaced, and
    its shards that *files* does not name are removed.  Returns the
    manifest written.
    """
    target: DirPath = os.fspath(directory)
    if isinstance(files, (str, bytes)) or not isinstance(files, Sequence):
        raise TypeError(f"files must be a sequence of file names, not {type(files).__name__!r}")
    n = check_num_shards(len(files))
    seed = check_seed(seed)
    for name in files:
        if not valid_file_name(name):
            raise ValueError(f"shard file name {name!r} is not a plain file name in the directory")
    if len(set(files)) != n:
        raise ValueError("the same file is named twice")
    entries = []
    checked: FileIds = {}
    for i, name in enumerate(files):
        path = join(target, name)
        if (fault := check_shard_path(target, path)) is not None:
            raise ValueError(f"shard file {name!r} {fault}")
        # The file checked is the one the commit names, under its lock (a
        # name that names nothing is refused by the open below).
        with suppress(OSError):
            checked[name] = file_id(path)
        with VelkReader(path, verify=True) as r:
            if check_keys and (kb := _native.misplaced_key(r, i, n, seed)) is not None:
                raise CorruptError(
                    f"shard {i} {name!r} holds key {kb!r}, which belongs to shard {_native.shard_of(kb, n, seed)}"
                )
            st = r.stats()
            entries.append(ShardEntry(file=name, size=st["file_size"], num_keys=st["num_keys"], crc32=st["file_crc32"]))
    manifest = Manifest(num_shards=n, seed=seed, shards=tuple(entries))
    commit(target, manifest, checked=checked)
    return manifest
