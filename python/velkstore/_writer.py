"""VelkWriter: stages Python objects and writes a store file in one go."""

from __future__ import annotations

import os
from types import TracebackType

from . import _native
from ._errors import ClosedError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._common import PathArg
    from ._info import BuildInfo


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
    """

    __slots__ = ("_path", "_built", "last_build")

    def __init__(self, path: PathArg | None = None) -> None:
        self._path: str | bytes | None = None if path is None else os.fspath(path)
        self._built = -1  # the change count at the last build
        #: The BuildInfo of the last build, or None.
        self.last_build: BuildInfo | None = None

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

    def __enter__(self) -> VelkWriter:
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
