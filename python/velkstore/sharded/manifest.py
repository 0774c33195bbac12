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

import errno
import fcntl
import json
import os
import stat
import warnings
from collections.abc import Iterator, Set
from contextlib import contextmanager, suppress
from dataclasses import asdict, dataclass
from typing import Any, TypeAlias

from .. import _native
from . import MANIFEST_NAME as MANIFEST_NAME
from .._errors import CorruptError, LimitError, VersionError, os_error

FORMAT_NAME = "velkstore-sharded"
FORMAT_VERSION = 1
HASH_NAME = "xxh3_64"
MAX_SHARDS = 1 << 16
# A manifest of MAX_SHARDS entries is a few MiB; anything far larger is not one.
MAX_MANIFEST_BYTES = 32 << 20
# In-progress files of one build live in a hidden directory of the store.
BUILD_DIR_PREFIX = ".velkstore-build-"

DirPath: TypeAlias = str | bytes


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


#: The shard that holds a key (str or bytes) in a store of *num_shards*:
#: ``shard_of(key, num_shards, seed=0)``, computed natively.
shard_of = _native.shard_of


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


def absolute(directory: DirPath) -> DirPath:
    """*directory* made absolute against the working directory, as the
    system resolves it: joined, not normalised (``link/..`` is not the
    working directory when ``link`` is a symbolic link)."""
    if os.path.isabs(directory):
        return directory
    if isinstance(directory, bytes):
        return os.path.join(os.getcwdb(), directory)
    return os.path.join(os.getcwd(), directory)


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
    import secrets  # only for a new name: readers never load it

    return secrets.token_hex(6)


SHARD_SUFFIX = ".vlks"


def shard_file_name(build_id: str, index: int, num_shards: int) -> str:
    return f"shard-{index:05d}-of-{num_shards:05d}-{build_id}{SHARD_SUFFIX}"


# -- reading ------------------------------------------------------------------


def _bad(directory: DirPath, why: str) -> Exception:
    return CorruptError(f"bad sharded store manifest in {os.fsdecode(directory)!r}: {why}")


def _nat(doc: dict[str, Any], field: str, directory: DirPath, limit: int = 1 << 64) -> int:
    value = doc.get(field)
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < limit:
        raise _bad(directory, f"{field} is {value!r}")
    return value


def _has_bytes(name: str) -> bool:
    # A lone surrogate is valid JSON but names no file, except U+DC80-U+DCFF,
    # which stand for the bytes of a name that is not UTF-8 (os.fsdecode).
    try:
        name.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return False
    return True


def valid_file_name(name: object) -> bool:
    # Shard names come from a file that may be hostile: only plain names
    # inside the store's own directory are accepted.
    return (
        isinstance(name, str)
        and _has_bytes(name)
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
    if type(version) is not int or version != FORMAT_VERSION:  # not True, not 1.0
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
    damaged (or not a regular file) and VersionError when it is of a later
    format.
    """
    path = join(directory, MANIFEST_NAME)
    try:
        # Non-blocking: a FIFO at the name must not hang the open.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        raise as_os_error(exc, path) from None
    try:
        # The close too: a failing one names the manifest.
        with os.fdopen(fd, "rb") as f:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise _bad(directory, f"{MANIFEST_NAME} is not a regular file")
            text = f.read(MAX_MANIFEST_BYTES + 1)
    except OSError as exc:
        raise as_os_error(exc, path) from None
    if len(text) > MAX_MANIFEST_BYTES:
        raise _bad(directory, f"larger than {MAX_MANIFEST_BYTES} bytes")
    return parse_manifest(text, directory)


def try_read_manifest(directory: DirPath) -> Manifest | None:
    """The manifest of *directory*, or None when the directory has none yet."""
    try:
        return read_manifest(directory)
    except FileNotFoundError:
        return None


def replaceable_manifest(directory: DirPath) -> Manifest | None:
    """The manifest a build into *directory* replaces: None when there is
    none, or when it is damaged (a rebuild may replace a damaged store, and
    nothing it names is trusted).  A manifest of a later format raises
    VersionError, and one that is not a regular file CorruptError: a build
    leaves those alone."""
    try:
        return read_manifest(directory)
    except FileNotFoundError:
        return None
    except CorruptError:
        if not os.path.isfile(join(directory, MANIFEST_NAME)):
            raise
        return None


def as_os_error(exc: OSError, path: DirPath) -> OSError:
    """*exc* as the package's OSError naming *path*."""
    return os_error(exc.errno or errno.EIO, exc.strerror or str(exc), path)


# -- committing ---------------------------------------------------------------


def _fsync_dir(directory: DirPath) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    except OSError as exc:
        if exc.errno != errno.EINVAL:  # a file system that cannot sync a directory
            raise as_os_error(exc, directory) from None


@contextmanager
def commit_lock(directory: DirPath, *, shared: bool = False) -> Iterator[None]:
    """Holds the commit lock of *directory* (an advisory lock on the
    directory itself, so no file is added to it): commits into one
    directory take turns, so each sees the manifest the one before it wrote.
    *shared*: held by a reader opening the shards, which no commit then
    removes until it has them open."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as exc:
        raise as_os_error(exc, directory) from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_SH if shared else fcntl.LOCK_EX)
        except OSError as exc:
            raise as_os_error(exc, directory) from None
        yield
    finally:
        # Only a lock was held through this descriptor: a failing close
        # loses nothing, and must not turn a done commit into a failure.
        with suppress(OSError):
            os.close(fd)


def _manifest_is(directory: DirPath, text: bytes) -> bool | None:
    """Whether the manifest of *directory* reads as *text*: after a failed
    commit, whether the new manifest took the name; None when it cannot be
    told."""
    try:
        with open(join(directory, MANIFEST_NAME), "rb", opener=_nonblocking) as f:
            return f.read(len(text) + 1) == text
    except FileNotFoundError:
        return False
    except OSError:
        return None


def _nonblocking(path: str, flags: int) -> int:
    return os.open(path, flags | os.O_NONBLOCK | os.O_CLOEXEC)


def _unlink_quietly(path: DirPath) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


FileIds = dict[str, tuple[int, int]]


def file_id(path: DirPath) -> tuple[int, int]:
    """The identity (device, inode) of the file *path* names, links followed."""
    st = os.stat(path)
    return (st.st_dev, st.st_ino)


def commit(
    directory: DirPath, manifest: Manifest, staged: DirPath | None = None, checked: FileIds | None = None
) -> None:
    """Commit *manifest* as the store in *directory*, under the commit lock:
    move its shards in from *staged* (a build directory on the same file
    system) when given, replace the manifest atomically, then remove the
    shards of the store it replaced that it does not name.

    Until the manifest's rename the previous store stays complete and
    readable, and a failure removes every shard moved in.  A failure after
    the rename says that the store was replaced; the previous store's shards
    are then kept, since the old manifest may come back after a crash.

    *checked* gives the identity of each shard file (by name) that was
    checked before the lock was taken: when one is no longer the file its
    name gives (another commit removed or replaced it meanwhile), nothing
    is committed.
    """
    text = manifest.to_json().encode()
    with commit_lock(directory):
        old = replaceable_manifest(directory)
        for name, ident in (checked or {}).items():
            path = join(directory, name)
            try:
                same = file_id(path) == ident
            except OSError:
                same = False
            if not same:
                raise os_error(
                    errno.EAGAIN, "shard file changed while the store was being committed; nothing committed", path
                )
        moved: list[DirPath] = []
        try:
            for s in manifest.shards if staged is not None else ():
                assert staged is not None
                source, target = join(staged, s.file), join(directory, s.file)
                try:
                    os.replace(source, target)
                except OSError as exc:
                    raise as_os_error(exc, target) from None
                moved.append(target)
            # The shards' names are durable before the manifest names them.
            _fsync_dir(directory)
            _native.commit_file(join(directory, MANIFEST_NAME), text)
        except BaseException as exc:
            committed = _manifest_is(directory, text)
            # Not known either way: the shards either manifest may name stay.
            if moved and committed is False:
                for path in moved:
                    _unlink_quietly(path)
            if committed is True and old is not None and not isinstance(exc, OSError):
                # Interrupted once the new manifest was in place (read back):
                # the old shards go all the same, or no later build would
                # know of them (an OSError here is the commit's own "not
                # durable", after which the old manifest may yet come back).
                remove_old_shards(directory, old, {s.file for s in manifest.shards}, _ids(directory, manifest))
            raise
        if old is not None:
            remove_old_shards(directory, old, {s.file for s in manifest.shards}, _ids(directory, manifest))


def _ids(directory: DirPath, manifest: Manifest) -> set[tuple[int, int]]:
    out = set()
    for s in manifest.shards:
        try:
            out.add(file_id(join(directory, s.file)))
        except OSError:
            pass
    return out


def remove_old_shards(
    directory: DirPath, old: Manifest, kept: set[str], kept_ids: Set[tuple[int, int]] = frozenset()
) -> None:
    """Remove the shards of the replaced store *old* that the new store does
    not name, each only if it still is that store's shard: a regular store
    file (not a link) named ``*.vlks``, of the size and file CRC-32 the old
    manifest records, and not a file the new store reaches by another name
    (*kept_ids*: a link among its shards).
    A shard that cannot be removed is left with a warning: the new store is
    committed all the same."""
    from .._reader import VelkReader

    for entry in old.shards:
        if entry.file in kept or not entry.file.endswith(SHARD_SUFFIX):
            continue
        path = join(directory, entry.file)
        try:
            st = os.lstat(path)
            if not stat.S_ISREG(st.st_mode) or st.st_size != entry.size or (st.st_dev, st.st_ino) in kept_ids:
                continue
            with VelkReader(path, verify=False) as r:
                if r.stats()["file_crc32"] != entry.crc32:
                    continue
            os.unlink(path)
        except FileNotFoundError:
            continue
        except (OSError, CorruptError, VersionError) as exc:
            warnings.warn(
                f"sharded store {os.fsdecode(directory)!r} was replaced, but its old shard"
                f" {os.fsdecode(path)!r} could not be removed: {exc}",
                RuntimeWarning,
                stacklevel=3,
            )


def remove_build_dir(build_dir: DirPath) -> None:
    import shutil
    import time

    # After a failed job an engine stops its other tasks asynchronously, and
    # one still running may add a file while the tree is removed (it cannot
    # make the build directory again): a few more tries, a little apart.
    for delay in (0.0, 0.05, 0.1, 0.2, 0.4, 0.8):
        time.sleep(delay)
        shutil.rmtree(build_dir, ignore_errors=True)
        if not os.path.lexists(build_dir):
            return
    # Whatever the build did is done; what is left is only said.
    warnings.warn(
        f"the temporary directory {os.fsdecode(build_dir)!r} could not be removed", RuntimeWarning, stacklevel=2
    )


def check_shard_path(directory: DirPath, path: DirPath) -> str | None:
    """Why the shard file *path* (a name in *directory*) cannot be one: a
    link that leaves the directory; None when it may be.  A directory at the
    name raises IsADirectoryError.  Other faults are left to the open."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    if stat.S_ISDIR(st.st_mode):
        raise os_error(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if os.path.islink(path) and os.path.dirname(os.path.realpath(path)) != os.path.realpath(directory):
        return "is a link to a file outside the store's directory"
    return None
