"""open_store: one entry point for a store file or a sharded store's directory."""

from __future__ import annotations

import os

from .._common import PathArg
from .._reader import VelkReader
from .reader import ShardedReader
from .manifest import MANIFEST_NAME


def open_store(path: PathArg, *, verify: bool | None = None) -> VelkReader | ShardedReader:
    """A reader for *path*: a `ShardedReader` when it is a sharded store's
    directory (or its manifest file), else a `VelkReader` of the file.

    Both have the same read API (mapping, get_raw, get_many, keys_bytes,
    items_bytes, prefix, range, stats, verify), so a tool can take either.
    """
    p = os.fspath(path)
    if os.path.isdir(p):
        return ShardedReader(p, verify=verify)
    name = os.path.basename(p)
    if name in (MANIFEST_NAME, os.fsencode(MANIFEST_NAME)):
        return ShardedReader(os.path.dirname(p) or os.curdir, verify=verify)
    return VelkReader(p, verify=verify)
