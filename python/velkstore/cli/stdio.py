"""Standard input and output as byte streams, with a clear error when the
process was started with them closed."""

from __future__ import annotations

import sys

from .exits import EXIT_IO, CliError

# typing and contextlib are not imported: a one-shot `get` stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import TracebackType
    from typing import BinaryIO


class writing_stdout:  # noqa: N801 - used as a function, like contextlib.suppress
    """A failed write to standard output says so: the OSError alone would
    name no file.  A closed pipe goes on as BrokenPipeError."""

    def __enter__(self) -> None:
        return None

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        if isinstance(exc, OSError) and not isinstance(exc, BrokenPipeError):
            raise CliError(EXIT_IO, f"cannot write to standard output: {exc.strerror or exc}") from None


class Output:
    """Standard output as a byte stream whose failures name it."""

    def __init__(self, buffer: BinaryIO) -> None:
        self._buffer = buffer

    def write(self, data: bytes) -> int:
        with writing_stdout():
            return self._buffer.write(data)

    def flush(self) -> None:
        with writing_stdout():
            self._buffer.flush()


def stdout() -> Output:
    out = sys.stdout
    if out is None:
        raise CliError(EXIT_IO, "standard output is closed")
    with writing_stdout():
        out.flush()
    return Output(out.buffer)


def stdin() -> BinaryIO:
    if sys.stdin is None:
        raise CliError(EXIT_IO, "standard input is closed")
    return sys.stdin.buffer


def warn(message: str) -> None:
    """A line on standard error, when there is one."""
    if sys.stderr is not None:
        print(f"velkstore: {message}", file=sys.stderr, flush=True)
