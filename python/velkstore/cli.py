"""The `velkstore` command: inspect, query, dump and build store files."""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

from . import __version__
from ._common import decode, encode
from ._errors import CorruptError, VelkDecodeError, VersionError
from ._jsonvalue import from_json, to_json
from ._open_store import open_store
from ._reader import VelkReader
from ._sharded_reader import ShardedReader
from ._writer import VelkWriter

EXIT_OK = 0
EXIT_FAILED = 1  # key not found, or the store is damaged
EXIT_USAGE = 2  # argparse's own code for a bad command line
EXIT_IO = 3
EXIT_INPUT = 4
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a command killed by SIGPIPE

EXIT_STATUS_HELP = """\
exit status:
  0    success
  1    key not found, or the store is damaged or not a store file
       (verify failed, bad checksum, unreadable object)
  2    usage error (bad command line)
  3    a file is missing or cannot be read or written
  4    bad build input (the message gives the line number); no file is written
  130  interrupted
  141  the output pipe was closed early (e.g. by `| head`)
"""

JSON_FORM_HELP = """\
Values are printed as JSON.  Values JSON cannot hold are written as an
object with one tagged member: {"$bytes": "<base64>"} for bytes,
{"$map": [[key, value], ...]} for a map whose keys are not all text (or
that would look like a tag), {"$float": "nan"|"inf"|"-inf"} and
{"$ext": [code, "<base64>"]} for extension types.  build reads the same form.
"""

PROGRESS_EVERY = 100_000


class CliError(Exception):
    """An error to report on stderr, ending the command with *code*."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


def _arg_key(text: str) -> str | bytes:
    # Arguments that are not valid UTF-8 reach Python with surrogate escapes;
    # os.fsencode gives back the bytes that were typed.
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return os.fsencode(text)


def _dumps(value: Any) -> str:
    ascii_only = (sys.stdout.encoding or "ascii").lower().replace("-", "") != "utf8"
    return json.dumps(to_json(value), ensure_ascii=ascii_only)


def _open(args: argparse.Namespace) -> VelkReader | ShardedReader:
    return open_store(args.file, verify=not getattr(args, "no_verify", False))


# -- commands -------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> int:
    with _open(args) as r:
        stats = r.stats()
    if args.json:
        print(json.dumps(stats))
    else:
        for name, value in stats.items():
            print(f"{name:<13} {value}")
    return EXIT_OK


def cmd_verify(args: argparse.Namespace) -> int:
    # verify() checks the whole-file checksum itself; no need to do it twice.
    with open_store(args.file, verify=False) as r:
        r.verify()
        stats = r.stats()
    print(f"ok: {args.file} ({stats['num_keys']} keys, {stats['num_objects']} objects)")
    return EXIT_OK


def cmd_get(args: argparse.Namespace) -> int:
    with _open(args) as r:
        raw = r.get_raw(_arg_key(args.key))
        if raw is None:
            raise CliError(EXIT_FAILED, f"key not found: {args.key!r}")
        if args.raw:
            sys.stdout.flush()
            sys.stdout.buffer.write(raw)
        else:
            print(_dumps(decode(raw, args.key)))
    return EXIT_OK


def cmd_keys(args: argparse.Namespace) -> int:
    with _open(args) as r:
        keys = iter(r) if args.prefix is None else r.keys_bytes(prefix=_arg_key(args.prefix))
        for key in keys:
            print(key if isinstance(key, str) else os.fsdecode(key))
    return EXIT_OK


def cmd_dump(args: argparse.Namespace) -> int:
    with _open(args) as r:
        pairs = r.items() if args.prefix is None else r.prefix(_arg_key(args.prefix))
        for key, value in pairs:
            print(_dumps({"key": key, "value": value}))
    return EXIT_OK


def _records(stream: IO[bytes], name: str) -> Iterator[tuple[int, str, bytes]]:
    """(line number, key, serialised value) for each record of JSON Lines input."""
    for lineno, line in enumerate(stream, 1):
        def bad(why: str) -> NoReturn:
            raise CliError(EXIT_INPUT, f"{name}:{lineno}: {why}")

        if lineno == 1:
            line = line.removeprefix(b"\xef\xbb\xbf")  # a UTF-8 byte order mark
        try:
            text = line.decode("utf-8")
        except UnicodeDecodeError as exc:
            bad(f"not UTF-8 text ({exc.reason} at byte {exc.start})")
        if not text.strip():
            continue
        try:
            record = json.loads(text.rstrip("\r\n"))
        except json.JSONDecodeError as exc:
            bad(f"invalid JSON: {exc.msg} (column {exc.colno})")
        except RecursionError:
            bad("invalid JSON: nested too deeply")
        if not isinstance(record, dict) or set(record) != {"key", "value"}:
            bad('expected an object with exactly the members "key" and "value"')
        key = record["key"]
        if not isinstance(key, str):
            bad('"key" must be a string')
        try:
            raw = encode(from_json(record["value"]))
        except (ValueError, TypeError, OverflowError, RecursionError) as exc:
            bad(f"bad value: {exc}")
        yield lineno, key, raw


def cmd_build(args: argparse.Namespace) -> int:
    progress = args.progress if args.progress is not None else sys.stderr.isatty()
    tty = sys.stderr.isatty()
    name = "<stdin>" if args.input == "-" else args.input
    stream = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")
    writer = VelkWriter()
    count = 0
    try:
        with stream:
            for lineno, key, raw in _records(stream, name):
                try:
                    writer.add_raw(key, raw)
                except ValueError as exc:
                    raise CliError(EXIT_INPUT, f"{name}:{lineno}: {exc}") from None
                count += 1
                if progress and count % PROGRESS_EVERY == 0:
                    end = "\r" if tty else "\n"
                    print(f"velkstore: {count:,} records read", end=end, file=sys.stderr, flush=True)
        if progress and count >= PROGRESS_EVERY:
            print(f"velkstore: writing {args.out} ({count:,} records)", file=sys.stderr, flush=True)
        info = writer.build(args.out)
        print(f"✅  {args.out}  —  {info.num_objects} objects · {info.num_keys} keys · {info.file_size / 1024:.1f} KB")
    finally:
        writer.close()
    return EXIT_OK


# -- parser ---------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="velkstore",
        description="Inspect, query, dump and build velkstore (.vlks) files.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=fmt,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reading = argparse.ArgumentParser(add_help=False)
    reading.add_argument("file", metavar="FILE", help="store file (.vlks)")
    reading.add_argument(
        "--no-verify",
        action="store_true",
        help="skip the whole-file checksum when opening (faster on big files)",
    )

    def command(name: str, func: Callable[[argparse.Namespace], int], help: str, **kw: Any) -> argparse.ArgumentParser:
        kw.setdefault("epilog", EXIT_STATUS_HELP)
        p = sub.add_parser(name, help=help, description=help, formatter_class=fmt, **kw)
        p.set_defaults(func=func)
        return p

    p = command("info", cmd_info, "print the file's metadata", parents=[reading])
    p.add_argument("--json", action="store_true", help="print one JSON object")

    p = command("verify", cmd_verify, "check every checksum of the file (exit 1 if damaged)")
    p.add_argument("file", metavar="FILE", help="store file (.vlks)")

    p = command(
        "get", cmd_get, "print the value of one key as JSON (exit 1 if absent)",
        parents=[reading], epilog=JSON_FORM_HELP + "\n" + EXIT_STATUS_HELP,
    )
    p.add_argument("key", metavar="KEY")
    p.add_argument("--raw", action="store_true", help="write the stored MessagePack bytes instead")

    p = command("keys", cmd_keys, "list the keys in sorted order, one per line", parents=[reading])
    p.add_argument("--prefix", metavar="P", help="only keys starting with P")

    p = command(
        "dump", cmd_dump, 'print {"key": ..., "value": ...} per key as JSON Lines',
        parents=[reading], epilog=JSON_FORM_HELP + "\n" + EXIT_STATUS_HELP,
    )
    p.add_argument("--prefix", metavar="P", help="only keys starting with P")

    p = command(
        "build", cmd_build, "build a store file from JSON Lines input",
        epilog=(
            'INPUT holds one {"key": "...", "value": ...} object per line (blank\n'
            "lines are skipped; a key given twice keeps its last value).  Identical\n"
            "values are stored once.  The file is written atomically and only if the\n"
            "whole input is valid; a summary line is printed on stdout.\n\n"
            + JSON_FORM_HELP + "\n" + EXIT_STATUS_HELP
        ),
    )
    p.add_argument("out", metavar="OUT.vlks", help="store file to write (replaced if it exists)")
    p.add_argument("input", metavar="INPUT.jsonl", help='JSON Lines input, or "-" for stdin')
    p.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        help=f"report every {PROGRESS_EVERY:,} records on stderr (default: when stderr is a terminal)",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Keys in a terminal's non-UTF-8 encoding print escaped rather than fail.
        sys.stdout.reconfigure(errors="backslashreplace")
    func: Callable[[argparse.Namespace], int] = args.func
    try:
        return func(args)
    except CliError as exc:
        message, code = str(exc), exc.code
    except OSError as exc:
        if isinstance(exc, BrokenPipeError):
            # The reader of our output went away (e.g. `| head`): stop quietly.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return EXIT_BROKEN_PIPE
        message, code = str(exc), EXIT_IO
    except (CorruptError, VersionError, VelkDecodeError) as exc:
        message, code = str(exc), EXIT_FAILED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    print(f"velkstore: {message}", file=sys.stderr)
    return code
