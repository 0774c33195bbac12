"""VelkReader: a store file as a read-only Mapping of keys to objects."""

from __future__ import annotations

from collections.abc import ItemsView, Iterator, KeysView, Mapping, ValuesView
from types import TracebackType

import os

from . import _native
from ._errors import ClosedError, VelkOSError, directory_error

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Self

    from ._common import PathArg


class _Keys(KeysView[str]):
    __slots__ = ()
    _mapping: VelkReader

    def __iter__(self) -> Iterator[str]:
        return iter(self._mapping)


class _Items(ItemsView[str, "Any"]):
    __slots__ = ()
    _mapping: VelkReader

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self._mapping._iter_items()


class _Values(ValuesView["Any"]):
    __slots__ = ()
    _mapping: VelkReader

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._iter_values()


class VelkReader(_native.Reader, Mapping[str, "Any"]):
    """A read-only view of a `.vlks` store file, as a Mapping.

    ``VelkReader(path, *, verify=None)`` maps the file and checks its
    header.  A file that carries its lookup index (every file the package
    writes) then opens in constant time: nothing is loaded, the index is
    read through the mapping, and every byte an answer rests on is checked
    against its CRC-32 the first time it is used.  A file without it has
    its whole-file CRC-32 checked now and its index loaded.  ``verify=True``
    checks the whole-file CRC-32 at open in either case (one read of the
    file, without holding the global interpreter lock); ``verify=False``
    skips it.  *path* may be str,
    bytes or os.PathLike, names that are not valid UTF-8 included.

    Keys are looked up as str or bytes; text is taken as its UTF-8 bytes
    (lone surrogates U+DC80..U+DCFF as the bytes they escape).  Listings
    give keys as str in ascending order of their bytes; a key that is not
    valid UTF-8 comes back with its odd bytes escaped as surrogates
    (``os.fsdecode`` style), and that str looks up the same entry.
    `keys_bytes()` and `items_bytes()` list keys as bytes.

    Every listing is lazy: it reads one entry per step from the mapped file.
    Objects are decoded with MessagePack on access; the `*_raw` methods give
    the encoded values (decompressed, when the file stores them compressed:
    `get_stored` gives a value's bytes as stored).

    `close()` releases the file; later calls raise ClosedError.  A scan or a
    batch lookup already running when the reader is closed goes on to its
    end on the still-mapped file, which is released when the last of them
    ends.  One reader may be shared by threads.  A reader pickles as its
    path and options (and reopens the file where it is unpickled); one
    opened before ``os.fork()`` works in the child.
    """

    # Where the file was opened from, made absolute then: a pickled reader
    # reopens that file even after the process has changed directory.
    __slots__ = ("_home",)
    _home: str | bytes

    def __new__(cls, path: PathArg, *, verify: bool | None = None) -> Self:
        try:
            self = super().__new__(cls, path, verify=verify)
            self._home = os.path.abspath(self.path)
            return self
        except VelkOSError as exc:
            raise directory_error(exc, path) from None

    def keys(self) -> KeysView[str]:
        """The keys (str), lazily, in key order."""
        return _Keys(self)

    def items(self) -> ItemsView[str, Any]:
        """(key, object) pairs, lazily, in key order."""
        return _Items(self)

    def values(self) -> ValuesView[Any]:
        """One object per key, lazily, in key order."""
        return _Values(self)

    def get_many_arrow(self, keys: Any) -> Any:
        """The encoded values of *keys* as a ``pyarrow`` binary array, in the
        order asked, null where a key is absent (or null).  Needs pyarrow
        (the ``arrow`` extra).

        *keys*: a pyarrow Array or ChunkedArray of string, large_string,
        string_view, binary, large_binary or binary_view (bytes that are
        not valid UTF-8 included), any object with ``__arrow_c_array__``,
        or a sequence of str or bytes.  Values are those `get_many_raw`
        gives (decompressed).  The result is ``binary``, or
        ``large_binary`` when the values total more than 2 GiB - 1.  The
        lookups and the result's buffers are done natively without the
        global interpreter lock, so threads sharing a reader scale.
        """
        from .arrow import get_many

        return get_many((self,), 0, keys)

    def __enter__(self) -> Self:
        if self.closed:
            raise ClosedError("reader is closed")
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (type(self), self._home, self._verify))

    def __repr__(self) -> str:
        if self.closed:
            return f"<VelkReader {self.path!r} closed>"
        return f"VelkReader({self.path!r}, keys={len(self)})"


def _reopen(cls: type[VelkReader], path: str | bytes, verify: bool | None) -> VelkReader:
    return cls(path, verify=verify)
