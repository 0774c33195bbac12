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

from importlib.metadata import version

from ._common import BuildInfo, Key, VelkStats
from ._errors import (
    BusyError,
    ClosedError,
    CorruptError,
    LimitError,
    VelkDecodeError,
    VelkError,
    VelkOSError,
    VersionError,
)
from . import _common, _errors, _native

# The native module imports nothing of the package: it is handed the
# exception classes it raises and the full decoder once, here.
_native._setup({**vars(_errors), "decode": _common.decode})
from .sharded.commit import commit_shards
from .sharded.open_store import open_store
from ._reader import VelkReader
from .sharded.build import ShardedBuildInfo
from .sharded.reader import ShardedReader, ShardNotOpenError
from .sharded.writer import ShardedWriter
from .sharded.manifest import shard_of
from ._writer import VelkWriter, reindex

# The version is written once, in pyproject.toml.
__version__ = version("velkstore")

__all__ = [
    "BuildInfo",
    "BusyError",
    "ClosedError",
    "CorruptError",
    "Key",
    "LimitError",
    "ShardNotOpenError",
    "ShardedBuildInfo",
    "ShardedReader",
    "ShardedWriter",
    "VelkDecodeError",
    "VelkError",
    "VelkOSError",
    "VelkReader",
    "VelkStats",
    "VelkWriter",
    "VersionError",
    "__version__",
    "commit_shards",
    "open_store",
    "reindex",
    "shard_of",
]


def __getattr__(name: str) -> object:
    # velkstore.dask needs the optional Dask extra, so it is imported only
    # when asked for.
    if name == "dask":
        import importlib

        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
