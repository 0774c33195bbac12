"""velkstore: a write-once, read-many key → object store in one file.

    from velkstore import VelkReader, VelkWriter

    with VelkWriter("users.vlks") as w:        # written when the block ends
        w.add("user:1", {"name": "ann", "tags": ["a", "b"]})
        w.update({"plan:free": {"price": 0}, "plan:pro": {"price": 12}})

    with VelkReader("users.vlks") as r:        # a read-only Mapping
        r["user:1"]            # -> {"name": "ann", "tags": ["a", "b"]}
        list(r.prefix("plan:"))

Objects are serialised with MessagePack.  Identical objects are stored once.
"""

TYPE_CHECKING = False  # the type checker takes it as True; typing is not imported

from ._common import Key
from ._errors import (
    BusyError,
    ClosedError,
    CorruptError,
    InputError,
    LimitError,
    ShardNotOpenError,
    UnstorableError,
    VelkDecodeError,
    VelkError,
    VelkOSError,
    VersionError,
)
from . import _common, _errors, _native

# The native module imports nothing of the package: it is handed the
# exception classes it raises, the full decoder and encoder once, here.
_native._setup({**vars(_errors), "decode": _common.decode, "new_packer": _common.new_packer})
from ._reader import VelkReader
from ._writer import VelkWriter, reindex

if TYPE_CHECKING:
    from ._info import BuildInfo, VelkStats
    from ._records import build_from
    from .sharded.build import ShardedBuildInfo
    from .sharded.commit import commit_shards
    from .sharded.manifest import shard_of
    from .sharded.open_store import open_store
    from .sharded.reader import ShardedReader
    from .sharded.writer import ShardedWriter

    __version__: str

__all__ = [
    "BuildInfo",
    "BusyError",
    "ClosedError",
    "CorruptError",
    "InputError",
    "Key",
    "LimitError",
    "ShardNotOpenError",
    "ShardedBuildInfo",
    "ShardedReader",
    "ShardedWriter",
    "UnstorableError",
    "VelkDecodeError",
    "VelkError",
    "VelkOSError",
    "VelkReader",
    "VelkStats",
    "VelkWriter",
    "VersionError",
    "__version__",
    "build_from",
    "commit_shards",
    "open_store",
    "reindex",
    "shard_of",
]

# Imported on first use, so that `import velkstore` (paid by every worker
# process and every command) loads only the single-file reader and writer.
_LAZY = {
    "BuildInfo": "._info",
    "VelkStats": "._info",
    "build_from": "._records",
    "ShardedBuildInfo": ".sharded.build",
    "commit_shards": ".sharded.commit",
    "shard_of": ".sharded.manifest",
    "open_store": ".sharded.open_store",
    "ShardedReader": ".sharded.reader",
    "ShardedWriter": ".sharded.writer",
}


def __getattr__(name: str) -> object:
    import importlib

    if name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
    elif name == "__version__":
        # The version is written once, in pyproject.toml.
        from importlib.metadata import version

        value = version("velkstore")
    elif name in ("dask", "spark"):
        # velkstore.dask and velkstore.spark need their optional extras.
        return importlib.import_module("." + name, __name__)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value
