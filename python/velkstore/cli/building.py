"""The build command: JSON Lines of {"key", "value"}, or records (JSON
Lines, CSV, TSV, Parquet) with --key, in; one store file out."""

from __future__ import annotations

import argparse
import gc
import os
import signal
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from types import FrameType
from typing import BinaryIO

from .._common import naming_file
from .._info import BuildInfo
from .._errors import InputError
from .._records import array_hint, check_output, format_of, open_batches, parse_schema, stage_records
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


def _check_output(out: str, source: BinaryIO | str | None) -> None:
    """Refuses an output that cannot be written, or that is the input
    (*source*: the input's stream, or the path of a file read by path)."""
    if out == "-":
        raise CliError(EXIT_USAGE, 'the output must be a file name, not "-" (write ./- for a file named "-")')
    read: str | int | None = None
    if isinstance(source, str):
        read = source
    elif source is not None:
        with suppress(OSError, ValueError):  # a stream that is no file
            read = source.fileno()
    try:
        check_output(out, read)  # before any input is read
    except ValueError as exc:  # the output is the input
        raise CliError(EXIT_USAGE, str(exc)) from None


def _stage(writer: VelkWriter, stream: BinaryIO, name: str, bar: progress.Meter) -> None:
    """Stage every record of *stream*, about a mebibyte of lines at a time."""
    done = 0  # lines read before this batch
    while lines := stream.readlines(BATCH_BYTES):
        if done == 0 and (hint := array_hint(lines[0])) is not None:
            raise CliError(EXIT_INPUT, f"{name}:1: {hint}")
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
    path = os.fsdecode(info.path)
    replaced = f" · {info.replaced} replaced" if info.replaced else ""
    return (
        f"✅  {path}  —  {info.num_objects} objects · {info.num_keys} keys{replaced}"
        f" · {progress.human_size(info.file_size)}\n"
    )


def _record_options(args: argparse.Namespace) -> tuple[str, dict[str, str]]:
    """The input's format and schema, checked against the other options."""
    try:
        if args.format is not None or (args.key is not None and args.input != "-"):
            fmt = format_of(args.input, args.format)
        else:
            # Without --key any input is {"key", "value"} lines, whatever its
            # name, unless the name says it holds records of another format.
            try:
                fmt = format_of(args.input)
            except ValueError:
                fmt = "jsonl"
        schema = parse_schema(args.schema)
    except ValueError as exc:
        raise CliError(EXIT_USAGE, str(exc)) from None
    if args.key is None:
        if fmt != "jsonl" or args.value is not None or schema:
            raise CliError(EXIT_USAGE, f"{fmt} input, --value and --schema need --key FIELD (the field holding the key)")
    elif schema and fmt not in ("csv", "tsv"):
        raise CliError(EXIT_USAGE, "--schema applies to CSV and TSV input only (the other formats carry their types)")
    elif fmt == "parquet" and args.input == "-":
        raise CliError(EXIT_USAGE, "Parquet input must be a file, not standard input")
    return fmt, schema


def _parquet_rows(path: str) -> int | None:
    try:
        import pyarrow.parquet as pq  # type: ignore[import-untyped]

        rows: int = pq.ParquetFile(path).metadata.num_rows
        return rows
    except Exception:
        return None  # the reader reports what is wrong


def cmd_build(args: argparse.Namespace) -> int:
    fmt, schema = _record_options(args)
    from_stdin = args.input == "-"
    name = "<stdin>" if from_stdin else args.input
    _check_output(args.out, None)  # before the input is even opened (it may be a pipe)
    stream = None if fmt == "parquet" else stdin() if from_stdin else open(args.input, "rb")
    try:
        interrupted = _build(args, fmt, schema, stream, name)
    except BaseException:
        if stream is not None:
            with suppress(OSError):
                stream.close()  # the failure that stopped the build is the one to report
        raise
    try:
        if stream is not None:
            stream.close()
    except OSError as exc:
        # The store is committed by now: a failure to close the input
        # cannot undo that, so it is a warning, not a failed build.
        warn(f"{args.out} was built, but closing {name} failed: {exc.strerror or exc}")
    if interrupted:
        warn(f"interrupted after {args.out} was complete; the store is kept")
    return EXIT_OK


def _build(
    args: argparse.Namespace, fmt: str, schema: dict[str, str], stream: BinaryIO | None, name: str
) -> bool:
    """Build args.out from *stream* (or the Parquet file); True when an
    interrupt came during the write."""
    compress = "zstd" if args.compress or args.compress_level else None
    with VelkWriter(compress=compress, compress_level=args.compress_level) as writer:
        _check_output(args.out, stream if stream is not None else args.input)
        show = progress.wanted(args.progress)
        if stream is None:
            bar_cm = progress.meter(show, f"reading {name}", _parquet_rows(args.input), "rows")
        else:
            bar_cm = progress.meter(show, f"reading {name}", _size_left(stream), in_bytes=True)
        with bar_cm as bar:
            # Millions of short-lived records and no cycles among them: the
            # cycle collector would only rescan them, again and again.
            gc.disable()
            try:
                with naming_file(name):  # a failed read names the input
                    if args.key is None:
                        assert stream is not None
                        _stage(writer, stream, name, bar)
                    else:
                        batches = open_batches(
                            args.input if stream is None else stream, fmt, args.key, args.value, schema, bar.update
                        )
                        stage_records(writer, batches, args.key, args.value, name)
            except InputError as exc:
                raise CliError(EXIT_INPUT, str(exc)) from None
            except ImportError as exc:
                raise CliError(EXIT_USAGE, str(exc)) from None
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
                    # As UTF-8 bytes, a path's own bytes as they are, like
                    # every other command's output: the file is written, so
                    # this line must not fail the build on an encoding.
                    line = _summary(info).encode("utf-8", "surrogateescape")
                    sys.stdout.flush()
                    out = getattr(sys.stdout, "buffer", None)
                    if out is None:
                        sys.stdout.write(line.decode("utf-8", "replace"))
                    else:
                        out.write(line)
                    sys.stdout.flush()
            except (OSError, UnicodeError):
                pass  # the file is complete; a lost summary line is no failure
    return interrupted[0]
