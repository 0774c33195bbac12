"""Standard input and output as byte streams, with a clear error when the
process was started with them closed."""

from __future__ import annotations

import sys
from typing import BinaryIO

from .exits import EXIT_IO, CliError


def stdout() -> BinaryIO:
    out = sys.stdout
    if out is None:
        raise CliError(EXIT_IO, "standard output is closed")
    out.flush()
    return out.buffer


def stdin() -> BinaryIO:
    if sys.stdin is None:
        raise CliError(EXIT_IO, "standard input is closed")
    return sys.stdin.buffer


def warn(message: str) -> None:
    """A line on standard error, when there is one."""
    if sys.stderr is not None:
        print(f"velkstore: {message}", file=sys.stderr, flush=True)
