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
from ._reader import VelkReader
from ._writer import VelkWriter

# The version is written once, in pyproject.toml.
__version__ = version("velkstore")

__all__ = [
    "BuildInfo",
    "BusyError",
    "ClosedError",
    "CorruptError",
    "Key",
    "LimitError",
    "VelkDecodeError",
    "VelkError",
    "VelkOSError",
    "VelkReader",
    "VelkStats",
    "VelkWriter",
    "VersionError",
    "__version__",
]
