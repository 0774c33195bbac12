"""velkstore: a write-once, read-many key → object store in one file.

    from velkstore import VelkReader, VelkWriter

    with VelkWriter("users.vlks") as w:        # written when the block ends
        w.add("user:1", {"name": "ann", "tags": ["a", "b"]})
        w.add_many(["plan:free", "plan:basic"], {"price": 0})

    with VelkReader("users.vlks") as r:
        r["user:1"]            # -> {"name": "ann", "tags": ["a", "b"]}
        list(r.prefix("plan:"))

Objects are serialised with MessagePack.  Identical objects are stored once.
"""

from importlib.metadata import version

from ._common import Key, VelkDecodeError
from ._reader import VelkReader, VelkStats
from ._writer import VelkWriter

# The version is written once, in pyproject.toml.
__version__ = version("velkstore")

__all__ = ["Key", "VelkDecodeError", "VelkReader", "VelkStats", "VelkWriter", "__version__"]
