"""The build command: JSON Lines in, one store file out."""

from __future__ import annotations

import argparse
import os
import signal
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import BinaryIO

from .._common import BuildInfo, encode
from .._writer import VelkWriter
from . import progress
from .exits import EXIT_INPUT, EXIT_OK, EXIT_USAGE, CliError
from .jsonlines import BadRecord, parse_record
from .stdio import stdin, warn

BATCH = 4096  # records staged per call into the writer


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
    """Stage every record of *stream*, a batch at a time."""
    batch: list[tuple[str | bytes, bytes]] = []
    lines: list[int] = []  # the input line of each staged record
    size = 0
    for lineno, line in enumerate(stream, 1):
        size += len(line)
        try:
            record = parse_record(line, lineno == 1)
            if record is None:
                continue
            key, value = record
            raw = encode(value)
        except BadRecord as exc:
            raise CliError(EXIT_INPUT, f"{name}:{lineno}: {exc}") from None
        except OverflowError:
            raise CliError(EXIT_INPUT, f"{name}:{lineno}: bad value: an integer outside the 64-bit range") from None
        except (ValueError, TypeError, RecursionError) as exc:
            raise CliError(EXIT_INPUT, f"{name}:{lineno}: bad value: {exc}") from None
        batch.append((key, raw))
        lines.append(lineno)
        if len(batch) >= BATCH:
            _commit_batch(writer, batch, lines, name)
            bar.update(size)
            size = 0
    _commit_batch(writer, batch, lines, name)
    bar.update(size)


def _commit_batch(writer: VelkWriter, batch: list[tuple[str | bytes, bytes]], lines: list[int], name: str) -> None:
    try:
        writer.update_raw(batch)
    except (ValueError, TypeError):
        # Find the record the writer refused (a key too long, say); staging
        # the ones before it again changes nothing, the last binding wins.
        for (key, raw), lineno in zip(batch, lines):
            try:
                writer.update_raw([(key, raw)])
            except (ValueError, TypeError) as exc:
                raise CliError(EXIT_INPUT, f"{name}:{lineno}: {exc}") from None
        raise
    batch.clear()
    lines.clear()


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
    with stream, VelkWriter() as writer:
        _check_output(args.out, stream)
        show = progress.wanted(args.progress)
        with progress.meter(show, f"reading {name}", _size_left(stream), in_bytes=True) as bar:
            _stage(writer, stream, name, bar)
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
