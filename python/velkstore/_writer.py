"""VelkWriter: stages Python objects and writes a store file in one go."""

from __future__ import annotations

import os
from types import TracebackType

from . import _native
from ._errors import ClosedError, VelkOSError, directory_error

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, Self

    from ._common import PathArg
    from ._info import BuildInfo

#: The zstd level of ``compress="zstd"`` when none is given.
COMPRESS_LEVEL = 3


def compression_level(compress: str | None, compress_level: int | None) -> int | None:
    """The zstd level that *compress* and *compress_level* ask for, or None
    for no compression; ValueError or TypeError for options that make no
    sense."""
    if compress is None:
        if compress_level is not None:
            raise ValueError("compress_level is for compress='zstd'")
        return None
    if compress != "zstd":
        raise ValueError(f"compress must be None or 'zstd', not {compress!r}")
    if compress_level is None:
        return COMPRESS_LEVEL
    if isinstance(compress_level, bool) or not isinstance(compress_level, int):
        raise TypeError(f"compress_level must be an int, not {type(compress_level).__name__}")
    if not 1 <= compress_level <= 22:
        raise ValueError(f"compress_level must be from 1 to 22, not {compress_level}")
    return compress_level


def reindex(path: PathArg) -> BuildInfo:
    """Add the lookup index to the store file at *path* (one written by
    `_velkstore`, or before the index existed), so that `VelkReader` opens
    it in constant time.

    The records and index entries are kept byte for byte (no value is
    decoded), the file is checked first as `verify()` does, and the new
    file replaces the old atomically.  A file that has the index already
    gets it rebuilt.
    """
    from ._info import BuildInfo

    target = os.fspath(path)
    try:
        num_keys, num_objects, size, crc = _native.reindex(target)
    except VelkOSError as exc:
        raise directory_error(exc, target) from None
    return BuildInfo(target, num_keys, num_objects, size, crc)


class VelkWriter(_native.Writer):
    """Collects key → object bindings in memory and writes a `.vlks` file.

    Values are encoded with MessagePack (`add`, `add_many`, `update`) or
    given already encoded (`add_raw`, `update_raw`).  A key bound again
    keeps its last value.  Equal encoded values are stored once, however
    many keys name them, and a value that no key names any longer is not
    written.  Keys are str or bytes (str as UTF-8); a key or value the file
    cannot hold raises LimitError and is not staged.

    `build(path)` writes the file atomically (a uniquely named temporary
    file in the target's directory, synced, then renamed over the target)
    and returns a `BuildInfo`; it prints nothing.  While it writes, the
    global interpreter lock is released; a call from another thread that
    would change or close the writer meanwhile raises BusyError at once.
    The writer keeps its content after a build; more may be added and built
    again.

    As a context manager the writer builds on a clean exit (when given a
    path and not built since the last change) and is then closed::

        with VelkWriter("out.vlks") as w:   # built when the block ends
            w.add("user:1", {"name": "ann"})

    If the block raises, nothing is built.

    With ``compress="zstd"`` the build trains a zstd dictionary on a
    sample of the values and compresses each value on its own with it
    (``compress_level``, 1 to 22, default 3), keeping a value as it is where
    compression does not make it shorter.  Readers decompress transparently;
    the file stays readable by every reader of the format (a compressed
    value is a MessagePack extension value there).
    """

    __slots__ = ("_path", "_built", "last_build")

    def __init__(
        self,
        path: PathArg | None = None,
        *,
        compress: str | None = None,
        compress_level: int | None = None,
    ) -> None:
        level = compression_level(compress, compress_level)
        if level is not None:
            self._compress(level)
        self._path: str | bytes | None = None if path is None else os.fspath(path)
        self._built = -1  # the change count at the last build
        #: The BuildInfo of the last build, or None.
        self.last_build: BuildInfo | None = None

    def update_arrow(
        self,
        table: Any,
        key_column: str,
        value_columns: Sequence[str] | None = None,
        *,
        value_column: str | None = None,
        raw: bool = False,
    ) -> None:
        """Bind one key per row of an Arrow *table* (a pyarrow Table,
        RecordBatch or RecordBatchReader, or any object with
        ``__arrow_c_stream__`` or ``__arrow_c_array__``), natively, with no
        Python object per row.  Needs pyarrow (the ``arrow`` extra).

        The key is the row's *key_column* (string or binary; a null key
        raises ValueError).  The value is, by default, the map
        ``{column name: value}`` of *value_columns* (every other column
        when None), encoded byte for byte as `update` encodes the equal
        dict; ``value_column=name`` stores that one column's value instead,
        and with ``raw=True`` that binary column's bytes as they are (as
        `update_raw`).  Nulls are stored as None.

        Value columns may be integers, floats, bool, string (all widths and
        views), binary, null, and timestamps with a time zone (stored as
        `update` stores a datetime with one, to the nanosecond); any other
        type, or timestamps without a time zone, raise TypeError naming the
        column before anything is staged.  As with `update`, a row that
        fails later (text that is not UTF-8, a key too long) leaves the
        rows before it staged.
        """
        from .arrow import stage

        stage(self, table, key_column, value_columns, value_column, raw)

    def build(self, path: PathArg | None = None) -> BuildInfo:
        """Write everything staged so far to *path* (default: the path
        given to the constructor), atomically: the file there is either the
        old one or the complete new one.

        Raises an OSError subclass (also a VelkError) with errno and
        filename when the file cannot be written.
        """
        if path is None:
            if self._path is None:
                raise TypeError("build() needs a path: none was given to VelkWriter()")
            target: str | bytes = self._path
        else:
            target = os.fspath(path)
        changes = self._changes
        from ._info import BuildInfo

        num_keys, num_objects, size, crc = self._build(target)
        self._built = changes
        # Keys are never unbound: every binding beyond one per key replaced one.
        info = BuildInfo(target, num_keys, num_objects, size, crc, changes - num_keys)
        self.last_build = info
        return info

    def __enter__(self) -> Self:
        if self.closed:
            raise ClosedError("writer is closed")
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        try:
            if exc_type is None and self._path is not None and not self.closed and self._built != self._changes:
                self.build()
        finally:
            self.close()

    def __repr__(self) -> str:
        if self.closed:
            return "<VelkWriter closed>"
        keys, objects = self._counts()
        return f"VelkWriter(keys={keys}, objects={objects})"
