"""What a build and `VelkReader.stats()` report (imported on first use)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TypedDict


@dataclass(frozen=True, slots=True)
class BuildInfo:
    """What a build wrote: the path as given, counts, size and CRC-32."""

    path: str | bytes
    num_keys: int
    num_objects: int
    file_size: int
    file_crc32: int
    #: Bindings of a key that was already bound (the last one is kept).
    replaced: int = 0


class CompressionStats(TypedDict):
    """How a file's values are compressed (`VelkStats["compression"]`).

    ``value_bytes`` and ``stored_bytes`` are the stored objects' values
    before and after compression (wrappers included); their ratio is what
    compression saved on the values.
    """

    codec: str
    level: int
    dictionary_size: int
    value_bytes: int
    stored_bytes: int


class VelkStats(TypedDict):
    """File metadata, as returned by `VelkReader.stats()` (sizes in bytes)."""

    path: str | bytes
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size: int
    file_crc32: int
    index: bool
    compression: CompressionStats | None
