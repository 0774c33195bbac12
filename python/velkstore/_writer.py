"""VelkWriter: stages Python objects and writes a store file in one go."""

from __future__ import annotations

import sys
from collections.abc import Iterable
from types import TracebackType

from _velkstore import _VelkWriter

from ._common import MAX_KEY_BYTES, Key, PathArg, encode, fspath, key_bytes


def _checked_key(key: object) -> bytes:
    # Checked before anything is staged, so that a rejected key never leaves
    # an object behind that no key names.
    kb = key_bytes(key)
    if len(kb) > MAX_KEY_BYTES:
        raise ValueError(f"VelkError: key of {len(kb)} bytes exceeds the limit of {MAX_KEY_BYTES}")
    return kb


class VelkWriter:
    """Collects key → object bindings in memory and writes a `.vlks` file.

    Objects are serialised with MessagePack.  Objects whose serialised bytes
    are identical are stored once, however many keys name them (whether they
    came from one `add_many` call or from separate `add` calls).  Adding a
    key again rebinds it: the last value wins.

    `build(path)` writes the file atomically (temporary file, fsync, rename)
    and prints a one-line summary to the process's standard output.  The
    writer keeps its content after a build; more may be added and built
    again.

    As a context manager the writer builds on a clean exit and is then
    closed (its staged content freed)::

        with VelkWriter("out.vlks") as w:   # built when the block ends
            w.add("user:1", {"name": "ann"})

    Without a path, call `build(path)` inside the block.  If the block raises,
    nothing is built.  The writer is not thread-safe; stage from one thread.
    """

    def __init__(self, path: PathArg | None = None) -> None:
        self._path = None if path is None else fspath(path)
        self._native: _VelkWriter | None = _VelkWriter()
        # Serialised object → object id.  A dict keyed by the bytes compares
        # candidates byte for byte, so only truly identical objects merge.
        self._ids: dict[bytes, int] = {}
        # The path of the last build, as long as nothing was staged since.
        self._built: str | None = None

    def _writer(self) -> _VelkWriter:
        if self._native is None:
            raise ValueError("VelkWriter is closed")
        return self._native

    def _stage(self, raw: bytes) -> int:
        obj_id = self._ids.get(raw)
        if obj_id is None:
            obj_id = self._writer().add_object_raw(raw)
            self._ids[raw] = obj_id
        return obj_id

    def _bind(self, keys: list[bytes], raw: bytes) -> None:
        writer = self._writer()
        obj_id = self._stage(raw)
        for kb in keys:
            writer.add_key(kb, obj_id)
        self._built = None

    def add(self, key: Key, obj: object) -> None:
        """Bind *key* (str or bytes) to *obj*, serialised with MessagePack.

        Raises TypeError for an unsupported key or value type and
        ValueError for a key the file cannot hold; nothing is staged then.
        """
        kb = _checked_key(key)
        self._bind([kb], encode(obj))

    def add_many(self, keys: Iterable[Key], obj: object) -> None:
        """Bind every key of *keys* to the one object *obj*.

        All keys are checked before anything is staged.  With no keys,
        nothing is stored.
        """
        if isinstance(keys, (str, bytes, bytearray, memoryview)):
            raise TypeError("add_many() takes an iterable of keys, not a single key")
        kbs = [_checked_key(k) for k in keys]
        if kbs:
            self._bind(kbs, encode(obj))

    def add_raw(self, key: Key, raw: bytes) -> None:
        """Bind *key* to already serialised MessagePack bytes *raw*, unchecked."""
        if not isinstance(raw, (bytes, bytearray, memoryview)):
            raise TypeError(f"raw must be bytes, not {type(raw).__name__!r}")
        kb = _checked_key(key)
        self._bind([kb], bytes(raw))

    def build(self, path: PathArg | None = None) -> None:
        """Write everything staged so far to *path* (default: the path given
        to the constructor), atomically: the file there is either the old
        one or the complete new one.

        Raises OSError ("VelkIOError: ...") when the file cannot be written.
        """
        if path is None:
            if self._path is None:
                raise TypeError("build() needs a path: none was given to VelkWriter()")
            target = self._path
        else:
            target = fspath(path)
        writer = self._writer()
        # The summary line goes straight to file descriptor 1; flush what
        # Python has buffered so the output stays in order.
        if sys.stdout is not None:
            sys.stdout.flush()
        writer.build(target)
        self._built = target

    def close(self) -> None:
        """Free the staged content; the writer cannot be used afterwards."""
        self._native = None
        self._ids = {}

    @property
    def closed(self) -> bool:
        return self._native is None

    def __enter__(self) -> VelkWriter:
        self._writer()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        try:
            if exc_type is None and self._path is not None and self._built != self._path:
                self.build()
        finally:
            self.close()

    def __repr__(self) -> str:
        if self._native is None:
            return "<VelkWriter closed>"
        # The native repr reads "_VelkWriter(objects=N, keys=M)".
        return repr(self._native).removeprefix("_")
