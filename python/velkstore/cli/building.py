"""The build command: JSON Lines in, one store file out."""

from __future__ import annotations

import argparse
import gc
import os
import signal
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import BinaryIO

from .._common import BuildInfo
from .._writer import VelkWriter
from . import progress
from .exits import EXIT_INPUT, EXIT_OK, EXIT_USAGE, CliError
from .jsonlines import BadRecord, parse_batch, parse_record
from .stdio import stdin, warn

BATCH_BYTES = 1 << 20  # input read and staged at a time


def _size_left(stream: BinaryIO) -> int | None:
    """Bytes left to read when *stream* is a regular file, else None."""
    try:
        st = os.fstat(stream.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None
        return max(0, st.st_size - stream.tell())
    except (OSError, ValueError):
        return None


def _check_output(out: str, stream: BinaryIO) -> None:
    if out == "-":
        raise CliError(EXIT_USAGE, 'the output must be a file name, not "-" (write ./- for a file named "-")')
    try:
        target = os.stat(out)
        source = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return  # no such output yet, or the input is no file
    if os.path.samestat(target, source):
        raise CliError(EXIT_USAGE, f"the output {out} is the input file; building would replace it")


def _stage(writer: VelkWriter, stream: BinaryIO, name: str, bar: progress.Meter) -> None:
    """Stage every record of *stream*, about a mebibyte of lines at a time."""
    done = 0  # lines read before this batch
    while lines := stream.readlines(BATCH_BYTES):
        pairs = parse_batch(lines)
        if pairs is None or not _staged(writer, pairs):
            # Line by line: finds the bad line, or stages what the fast
            # path left (blank lines, binary keys ...).  Staging a pair
            # again changes nothing: the last binding wins.
            for lineno, line in enumerate(lines, done + 1):
                try:
                    record = parse_record(line, lineno == 1)
                    if record is not None:
                        writer.update_raw([record])
                except (BadRecord, ValueError, TypeError) as exc:
                    raise CliError(EXIT_INPUT, f"{name}:{lineno}: {exc}") from None
        done += len(lines)
        bar.update(sum(map(len, lines)))


def _staged(writer: VelkWriter, pairs: list[tuple[str | bytes, bytes]]) -> bool:
    try:
        writer.update_raw(pairs)
        return True
    except (ValueError, TypeError):  # a key too long, say
        return False


@contextmanager
def _interrupt_deferred() -> Iterator[list[bool]]:
    """Hold back SIGINT: the flag it yields records whether one came."""
    came = [False]

    def note(signum: int, frame: FrameType | None) -> None:
        came[0] = True

    previous = signal.signal(signal.SIGINT, note)
    try:
        yield came
    finally:
        signal.signal(signal.SIGINT, previous)


def _summary(info: BuildInfo) -> str:
    kb = info.file_size / 1024
    path = os.fsdecode(info.path)
    return f"✅  {path}  —  {info.num_objects} objects · {info.num_keys} keys · {kb:.1f} KB\n"


def cmd_build(args: argparse.Namespace) -> int:
    from_stdin = args.input == "-"
    name = "<stdin>" if from_stdin else args.input
    stream = stdin() if from_stdin else open(args.input, "rb")
    with stream, VelkWriter(compress="zstd" if args.compress or args.compress_level else None,
                            compress_level=args.compress_level) as writer:
        _check_output(args.out, stream)
        show = progress.wanted(args.progress)
        with progress.meter(show, f"reading {name}", _size_left(stream), in_bytes=True) as bar:
            # Millions of short-lived records and no cycles among them: the
            # cycle collector would only rescan them, again and again.
            gc.disable()
            try:
                _stage(writer, stream, name, bar)
            finally:
                gc.enable()
        # The write cannot be stopped half way; an interrupt during it is
        # answered once the file is complete, which is then kept.
        with _interrupt_deferred() as interrupted:
            if show:
                warn(f"writing {args.out}")
            info = writer.build(args.out)
            try:
                if sys.stdout is not None:
                    sys.stdout.write(_summary(info))
                    sys.stdout.flush()
            except OSError:
                pass  # the file is complete; a lost summary line is no failure
    if interrupted[0]:
        warn(f"interrupted after {args.out} was complete; the store is kept")
    return EXIT_OK
