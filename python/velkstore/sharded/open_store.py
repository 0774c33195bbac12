"""open_store: one entry point for a store file or a sharded store's directory."""

from __future__ import annotations

import os

TYPE_CHECKING = False  # typing is not imported: a one-shot command stays quick

from .._common import PathArg
from .._errors import CorruptError
from .._reader import VelkReader
from . import MANIFEST_NAME

if TYPE_CHECKING:
    from .reader import ShardedReader


def open_store(path: PathArg, *, verify: bool | None = None) -> VelkReader | ShardedReader:
    """A reader for *path*: a `ShardedReader` when it is a sharded store's
    directory (or its manifest file), else a `VelkReader` of the file.

    Both have the same read API (mapping, get_raw, get_many, keys_bytes,
    items_bytes, prefix, range, stats, verify), so a tool can take either.
    """
    p = os.fspath(path)
    if os.path.isdir(p):
        manifest = os.path.join(p, MANIFEST_NAME) if isinstance(p, str) else os.path.join(p, os.fsencode(MANIFEST_NAME))
        if not os.path.lexists(manifest):
            error = CorruptError(f"not a velkstore file or sharded store (a directory with no {MANIFEST_NAME}): {p!r}")
            error.filename = p
            raise error
        from .reader import ShardedReader  # imported only for a sharded store

        return ShardedReader(p, verify=verify)
    name = os.path.basename(p)
    if name in (MANIFEST_NAME, os.fsencode(MANIFEST_NAME)):
        from .reader import ShardedReader

        return ShardedReader(os.path.dirname(p) or os.curdir, verify=verify)
    return VelkReader(p, verify=verify)
