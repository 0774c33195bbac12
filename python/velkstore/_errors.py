"""The exceptions the package raises on purpose, all under VelkError.

File-system failures are OSError subclasses that are also VelkError, with
errno, strerror and filename set, so both `except FileNotFoundError` and
`except VelkError` catch a missing file.
"""

from __future__ import annotations

import errno as _errno


class VelkError(Exception):
    """Base class of every error the package raises on purpose."""


class CorruptError(VelkError):
    """The file is damaged, or is not a store file at all."""

    filename: str | bytes | None = None


class VersionError(VelkError):
    """The file is a store of a format version this package cannot read."""

    filename: str | bytes | None = None


class VelkDecodeError(VelkError, ValueError):
    """Stored bytes that are not valid MessagePack, or that this decoder
    refuses (nested too deeply, for one).

    Raised by the decoding methods; the `*_raw` methods return the stored
    bytes without decoding them.
    """


class LimitError(VelkError, ValueError):
    """A key or value the store cannot hold: a key longer than 65535 bytes
    once encoded, text with no byte form, or a count past the format's
    limits.  Nothing is staged when it is raised."""


class UnstorableError(LimitError, TypeError):
    """A value MessagePack cannot hold: an integer outside the 64-bit
    ranges, a naive `datetime` (no time zone), a `date`, a set or any other
    object of a type it has no form for, or a value nested too deeply.

    A LimitError (so a ValueError) and a TypeError both, so either
    ``except`` catches it; nothing is staged when it is raised."""


class InputError(VelkError, ValueError):
    """A record of `build_from` input that cannot be stored; the message
    names the file and the line (or row) and says why.  No file is written."""


class ClosedError(VelkError, ValueError):
    """The reader or writer has been closed."""


class BusyError(VelkError, RuntimeError):
    """The writer is being built; it cannot be changed or closed until the
    build returns."""


class ShardNotOpenError(VelkError, LookupError):
    """A lookup of a key whose shard this reader did not open (``shards=``)."""


class VelkOSError(VelkError, OSError):
    """A file-system failure (also an OSError, with errno and filename)."""


class VelkFileNotFoundError(VelkOSError, FileNotFoundError):
    """The file or a directory on its path does not exist."""


class VelkPermissionError(VelkOSError, PermissionError):
    """The operating system refused access."""


class VelkIsADirectoryError(VelkOSError, IsADirectoryError):
    """A directory stands where a file was expected."""


class VelkNotADirectoryError(VelkOSError, NotADirectoryError):
    """A component of the path is not a directory."""


class VelkFileExistsError(VelkOSError, FileExistsError):
    """Something is in the way of a file that has to be created."""


class VelkBlockingIOError(VelkOSError, BlockingIOError):
    """The file is in use by another operation (another build of it)."""


_BY_ERRNO: dict[int, type[VelkOSError]] = {
    _errno.ENOENT: VelkFileNotFoundError,
    _errno.EACCES: VelkPermissionError,
    _errno.EPERM: VelkPermissionError,
    _errno.EISDIR: VelkIsADirectoryError,
    _errno.ENOTDIR: VelkNotADirectoryError,
    _errno.EEXIST: VelkFileExistsError,
    _errno.EAGAIN: VelkBlockingIOError,
}


def os_error(code: int, strerror: str, filename: str | bytes | None) -> VelkOSError:
    """The VelkOSError subclass for *code*, as OSError(code, strerror, filename)."""
    cls = _BY_ERRNO.get(code, VelkOSError)
    if filename is None:
        return cls(code, strerror)
    return cls(code, strerror, filename)


def directory_error(exc: VelkOSError, path: object) -> VelkOSError:
    """*exc* from opening *path* (to raise again), or IsADirectoryError when
    *path* is a directory: the system's words for mapping one ("No such
    device") say nothing of what was wrong."""
    import os

    if exc.errno == _errno.ENODEV and isinstance(path, (str, bytes, os.PathLike)) and os.path.isdir(path):
        return os_error(_errno.EISDIR, "is a directory, not a store file", os.fspath(path))
    return exc
