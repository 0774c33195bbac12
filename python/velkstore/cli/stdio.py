"""Standard input and output as byte streams, with a clear error when the
process was started with them closed."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import BinaryIO

from .exits import EXIT_IO, CliError


@contextmanager
def writing_stdout() -> Iterator[None]:
    """A failed write to standard output says so: the OSError alone would
    name no file.  A closed pipe goes on as BrokenPipeError."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise CliError(EXIT_IO, f"cannot write to standard output: {exc.strerror or exc}") from None


class Output:
    """Standard output as a byte stream whose failures name it."""

    def __init__(self, buffer: BinaryIO) -> None:
        self._buffer = buffer

    def write(self, data: bytes) -> int:
        with writing_stdout():
            return self._buffer.write(data)


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
