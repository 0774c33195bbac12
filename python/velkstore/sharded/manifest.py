"""Sharded stores: the key hash that places keys, and the manifest.

A sharded store is a directory of ordinary store files (the shards) and one
manifest, ``velkstore-manifest.json``, that names them.  A key lives in
shard ``xxh3_64(key bytes, seed) % num_shards``: XXH3's 64-bit variant,
seeded, whose output is fixed by the xxHash format (since 0.8.0) and so is
the same on every machine, process and Python version.

The manifest is the commit point: a build writes every shard under a new
file name first, then replaces the manifest atomically (temporary file,
fsync, rename, fsync of the directory).  A reader that finds the manifest
therefore finds complete shards; a crash before the rename leaves the
previous store (or none) in place.
"""

from __future__ import annotations

import functools
import json
import os
import secrets
import shutil
from collections.abc import Callable
from dataclasses import asdict, dataclass
from typing import Any, TypeAlias

import xxhash

from .._errors import CorruptError, LimitError, VersionError, os_error

MANIFEST_NAME = "velkstore-manifest.json"
FORMAT_NAME = "velkstore-sharded"
FORMAT_VERSION = 1
HASH_NAME = "xxh3_64"
MAX_SHARDS = 1 << 16
# A manifest of MAX_SHARDS entries is a few MiB; anything far larger is not one.
MAX_MANIFEST_BYTES = 32 << 20
# In-progress files of one build live in a hidden directory of the store.
BUILD_DIR_PREFIX = ".velkstore-build-"

DirPath: TypeAlias = str | bytes


#: The longest key a store file can hold, in bytes.
MAX_KEY_BYTES = 65535


def key_bytes(key: object) -> bytes:
    """The stored form of *key*, as the reader and writer take it: text as
    UTF-8, lone surrogates U+DC80..U+DCFF as the bytes they escape (the
    os.fsencode convention), bytes-like as it is.

    Raises TypeError for other types and LimitError for text with no byte form.
    """
    if isinstance(key, str):
        try:
            return key.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:
            raise LimitError(f"key {key!r} cannot be encoded as UTF-8") from None
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    raise TypeError(f"key must be str or bytes, not {type(key).__name__!r}")


def key_text(key: bytes) -> str:
    """A stored key as text, odd bytes escaped so that key_bytes undoes it."""
    return key.decode("utf-8", "surrogateescape")


def shard_of(key: bytes, num_shards: int, seed: int = 0) -> int:
    """The shard that holds *key* (its stored bytes) in a store of *num_shards*."""
    return xxhash.xxh3_64_intdigest(key, seed) % num_shards


def key_hash(seed: int) -> Callable[[bytes], int]:
    """The 64-bit key hash of *seed* as one callable, for hot loops."""
    if seed == 0:
        return xxhash.xxh3_64_intdigest
    return functools.partial(xxhash.xxh3_64_intdigest, seed=seed)


def check_num_shards(num_shards: object) -> int:
    if not isinstance(num_shards, int) or isinstance(num_shards, bool):
        raise TypeError(f"num_shards must be an int, not {type(num_shards).__name__!r}")
    if not 1 <= num_shards <= MAX_SHARDS:
        raise ValueError(f"num_shards must be between 1 and {MAX_SHARDS}, not {num_shards}")
    return num_shards


def check_seed(seed: object) -> int:
    if not isinstance(seed, int) or isinstance(seed, bool) or not 0 <= seed < 1 << 64:
        raise ValueError(f"seed must be an int in [0, 2**64), not {seed!r}")
    return seed


def join(directory: DirPath, name: str) -> DirPath:
    """*name* inside *directory*, keeping the directory's str or bytes type."""
    if isinstance(directory, bytes):
        return os.path.join(directory, os.fsencode(name))
    return os.path.join(directory, name)


@dataclass(frozen=True)
class ShardEntry:
    """One shard as the manifest records it."""

    file: str  # file name inside the store's directory
    size: int  # bytes
    num_keys: int
    crc32: int  # the shard's whole-file CRC-32, as its header stores it


@dataclass(frozen=True)
class Manifest:
    num_shards: int
    seed: int
    shards: tuple[ShardEntry, ...]
    hash: str = HASH_NAME

    @property
    def num_keys(self) -> int:
        return sum(s.num_keys for s in self.shards)

    def to_json(self) -> str:
        doc = {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "hash": self.hash,
            "seed": self.seed,
            "num_shards": self.num_shards,
            "num_keys": self.num_keys,
            "shards": [asdict(s) for s in self.shards],
        }
        return json.dumps(doc, indent=1) + "\n"


def new_build_id() -> str:
    return secrets.token_hex(6)


def shard_file_name(build_id: str, index: int, num_shards: int) -> str:
    return f"shard-{index:05d}-of-{num_shards:05d}-{build_id}.vlks"


# -- reading ------------------------------------------------------------------


def _bad(directory: DirPath, why: str) -> Exception:
    return CorruptError(f"bad sharded store manifest in {os.fsdecode(directory)!r}: {why}")


def _nat(doc: dict[str, Any], field: str, directory: DirPath, limit: int = 1 << 64) -> int:
    value = doc.get(field)
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < limit:
        raise _bad(directory, f"{field} is {value!r}")
    return value


def valid_file_name(name: object) -> bool:
    # Shard names come from a file that may be hostile: only plain names
    # inside the store's own directory are accepted.
    return (
        isinstance(name, str)
        and name not in ("", ".", "..")
        and "/" not in name
        and "\\" not in name
        and "\0" not in name
        and name != MANIFEST_NAME
    )


def parse_manifest(text: bytes, directory: DirPath) -> Manifest:
    try:
        doc = json.loads(text)
    except (ValueError, RecursionError) as exc:
        raise _bad(directory, f"not JSON ({exc})") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT_NAME:
        raise _bad(directory, "not a sharded velkstore manifest")
    version = doc.get("version")
    if version != FORMAT_VERSION:
        raise VersionError(
            f"sharded store {os.fsdecode(directory)!r} has manifest version {version!r};"
            f" this velkstore reads version {FORMAT_VERSION}"
        )
    if doc.get("hash") != HASH_NAME:
        raise _bad(directory, f"unknown key hash {doc.get('hash')!r}")
    seed = _nat(doc, "seed", directory)
    num_shards = _nat(doc, "num_shards", directory, MAX_SHARDS + 1)
    items = doc.get("shards")
    if not isinstance(items, list) or num_shards == 0 or len(items) != num_shards:
        raise _bad(directory, f"num_shards is {num_shards} but {_count(items)} shards are listed")
    shards = []
    for i, item in enumerate(items):
        if not isinstance(item, dict) or not valid_file_name(item.get("file")):
            raise _bad(directory, f"shard {i} has no valid file name")
        shards.append(
            ShardEntry(
                file=item["file"],
                size=_nat(item, "size", directory),
                num_keys=_nat(item, "num_keys", directory),
                crc32=_nat(item, "crc32", directory, 1 << 32),
            )
        )
    if len({s.file for s in shards}) != len(shards):
        raise _bad(directory, "two shards name the same file")
    return Manifest(num_shards=num_shards, seed=seed, shards=tuple(shards))


def _count(items: object) -> str:
    return str(len(items)) if isinstance(items, list) else "no"


def read_manifest(directory: DirPath) -> Manifest:
    """The manifest of the sharded store in *directory*.

    Raises FileNotFoundError when there is none, CorruptError when it is
    damaged and VersionError when it is of a later format.
    """
    path = join(directory, MANIFEST_NAME)
    try:
        with open(path, "rb") as f:
            text = f.read(MAX_MANIFEST_BYTES + 1)
    except OSError as exc:
        raise os_error(exc.errno or 0, exc.strerror or str(exc), path) from None
    if len(text) > MAX_MANIFEST_BYTES:
        raise _bad(directory, f"larger than {MAX_MANIFEST_BYTES} bytes")
    return parse_manifest(text, directory)


def try_read_manifest(directory: DirPath) -> Manifest | None:
    """The manifest of *directory*, or None when the directory has none yet."""
    try:
        return read_manifest(directory)
    except FileNotFoundError:
        return None


# -- committing ---------------------------------------------------------------


def _fsync_dir(directory: DirPath) -> None:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def publish(directory: DirPath, manifest: Manifest, tmp: DirPath) -> None:
    """Replace the manifest of *directory* atomically, writing it first to
    *tmp* (on the same file system)."""
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(manifest.to_json())
            f.flush()
            os.fsync(f.fileno())
        _fsync_dir(directory)  # the shards' names, before the manifest names them
        os.replace(tmp, join(directory, MANIFEST_NAME))
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _fsync_dir(directory)


def commit(directory: DirPath, build_dir: DirPath, manifest: Manifest, old: Manifest | None) -> None:
    """Move the shards built in *build_dir* into *directory*, then replace
    the manifest atomically, then remove the shards of the *old* manifest
    that the new one does not name.

    Each shard has a name of its own build, so until the manifest's rename
    the previous store stays complete and readable.
    """
    for s in manifest.shards:
        os.replace(join(build_dir, s.file), join(directory, s.file))
    publish(directory, manifest, join(build_dir, MANIFEST_NAME + ".tmp"))
    kept = {s.file for s in manifest.shards}
    for s in old.shards if old is not None else ():
        if s.file not in kept:
            try:
                os.unlink(join(directory, s.file))
            except FileNotFoundError:
                pass


def remove_build_dir(build_dir: DirPath) -> None:
    shutil.rmtree(build_dir, ignore_errors=True)
