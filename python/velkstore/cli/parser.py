"""The command line's arguments and help."""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from .._formats import FORMATS, SCHEMA_TYPES
from .exits import EXIT_STATUS_HELP
from .stdio import stdout

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

JSON_FORM_HELP = """\
Values are printed as JSON.  Values JSON cannot hold are written as an
object with one tagged member: {"$bytes": "<base64>"} for bytes,
{"$map": [[key, value], ...]} for a map whose keys are not all text (or
that would look like a tag), {"$float": "nan"|"inf"|"-inf"} and
{"$ext": [code, "<base64>"]} for extension types.  Keys that are not
valid UTF-8 are written {"$bytes": "<base64>"} too.  build reads the same
form.
"""

GET_HELP = """\
Several keys print one line each, in the order asked; an absent key (or a
value that cannot be printed) leaves its line empty and is reported on
standard error.  A KEY starting with "-" must follow "--", as in
`velkstore get FILE -- -key`.  get skips the whole-file checksum unless
given --verify; lookups still check every record's bounds.
"""


def _lazy(module: str, name: str) -> Callable[[argparse.Namespace], int]:
    """Command *name* of the module *module* of this package, imported only
    when it runs: a one-shot `get` does not pay for importing `build`."""

    def run(args: argparse.Namespace) -> int:
        command: Callable[[argparse.Namespace], int] = getattr(importlib.import_module(f".{module}", __package__), name)
        return command(args)

    return run


cmd_info, cmd_reindex, cmd_verify, cmd_keys, cmd_dump = (
    _lazy("reading", name) for name in ("cmd_info", "cmd_reindex", "cmd_verify", "cmd_keys", "cmd_dump")
)
cmd_get = _lazy("getting", "cmd_get")
cmd_build = _lazy("building", "cmd_build")


def _print_out(text: str) -> None:
    """Help and the version go to standard output as every command's output
    does, and a failure to write them is an error (CliError), not a silent
    success."""
    out = stdout()
    out.write(text.encode("utf-8", "surrogateescape"))
    out.flush()


class _Parser(argparse.ArgumentParser):
    def print_help(self, file: SupportsWrite[str] | None = None) -> None:
        if file is not None:
            super().print_help(file)
        else:
            _print_out(self.format_help())

    def print_usage(self, file: SupportsWrite[str] | None = None) -> None:
        # With an error, on standard error; nowhere when that is closed
        # (argparse would put it on standard output).
        file = file if file is not None else sys.stderr
        if file is not None:
            super().print_usage(file)


class _Version(argparse.Action):
    # The version is looked up only when asked for: finding it costs more
    # than the rest of starting the command.
    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> None:
        import velkstore

        _print_out(f"{parser.prog} {velkstore.__version__}\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog="velkstore",
        description="Inspect, query, dump and build velkstore (.vlks) files.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=fmt,
    )
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    store = argparse.ArgumentParser(add_help=False)
    store.add_argument("file", metavar="FILE", help="store file (.vlks)")
    checked = argparse.ArgumentParser(add_help=False)
    checked.add_argument(
        "--no-verify",
        action="store_true",
        help="skip the whole-file checksum when opening (faster on big files)",
    )
    shown = argparse.ArgumentParser(add_help=False)
    shown.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        help="show progress on standard error (default: when it is a terminal)",
    )

    def command(name: str, func: Callable[[argparse.Namespace], int], help: str, **kw: Any) -> argparse.ArgumentParser:
        kw["epilog"] = kw.get("epilog", "") + EXIT_STATUS_HELP
        p = sub.add_parser(name, help=help, description=help, formatter_class=fmt, **kw)
        p.set_defaults(func=func, parser=p)
        return p

    p = command("info", cmd_info, "print the file's metadata, sizes in human units", parents=[store, checked])
    p.add_argument("--json", action="store_true", help="print one JSON object with every detail, sizes in bytes")

    command(
        "reindex", cmd_reindex,
        "add the lookup index to a store file, in place and atomically (values are not decoded)",
        parents=[store],
    )

    command("verify", cmd_verify, "check every checksum of the file (exit 1 if damaged)", parents=[store, shown])

    p = command(
        "get", cmd_get, "print the values of keys as JSON (exit 1 if one is absent)",
        parents=[store], epilog=GET_HELP + "\n" + JSON_FORM_HELP + "\n",
    )
    p.add_argument("keys", metavar="KEY", nargs="*", help="keys to look up")
    p.add_argument("--stdin", action="store_true", help="read the keys from standard input, one per line")
    p.add_argument("-0", "--null", action="store_true", help="with --stdin: keys end with NUL, not newline")
    p.add_argument("--raw", action="store_true", help="write each value's MessagePack bytes instead")
    p.add_argument("--verify", action="store_true", help="check the whole-file checksum before looking up")
    p.add_argument("--no-verify", action="store_false", dest="verify", help=argparse.SUPPRESS)

    p = command(
        "keys", cmd_keys, "list the keys in sorted (bytewise) order, one per line", parents=[store, checked]
    )
    p.add_argument("--prefix", metavar="P", help="only keys starting with P")
    form = p.add_mutually_exclusive_group()
    form.add_argument("-0", "--null", action="store_true", help="end each key with NUL instead of newline")
    form.add_argument(
        "--json", action="store_true", help='one JSON string per line; {"$bytes": ...} for keys not UTF-8'
    )

    p = command(
        "dump", cmd_dump, 'print {"key": ..., "value": ...} per key as JSON Lines',
        parents=[store, checked, shown], epilog=JSON_FORM_HELP + "\n",
    )
    p.add_argument("--prefix", metavar="P", help="only keys starting with P")

    p = command(
        "build", cmd_build, "build a store file from JSON Lines, or from records of JSON Lines, CSV, TSV or Parquet",
        parents=[shown],
        epilog=(
            'Without --key, INPUT holds one {"key": ..., "value": ...} object per\n'
            "line, values in the JSON form below.  With --key FIELD, INPUT holds\n"
            "records: JSON Lines objects, CSV or TSV rows under a header row, or\n"
            "Parquet rows (which needs pyarrow); each record's FIELD is its key (text,\n"
            "or an integer stored as its decimal text) and the whole record, or its\n"
            "--value field, the value.  The format comes from the extension (.jsonl\n"
            ".ndjson .json .csv .tsv .tab .parquet .pq) or --format.  CSV and TSV\n"
            "fields are text unless --schema says otherwise, e.g. --schema\n"
            "'age=int,score=float,ok=bool,tags=json' (an empty field of such a type\n"
            "is null).\n\n"
            "Blank lines are skipped; a key given twice keeps its last value and the\n"
            "summary counts the values replaced.  Identical values are stored once.\n"
            "The file is written atomically and only if the whole input is valid; a\n"
            'summary line is printed on stdout.  OUT may not be "-" nor the input\n'
            "file itself; its directory is checked before any input is read.\n\n"
            "examples:\n"
            "  velkstore build out/copy.vlks out/users.jsonl\n"
            "  velkstore build --key iata out/airports.vlks airports.csv\n"
            "  velkstore build --key id --value name --format tsv out/names.vlks - < names.txt\n\n"
            + JSON_FORM_HELP + "\n"
        ),
    )
    p.add_argument("out", metavar="OUT.vlks", help="store file to write (replaced if it exists)")
    p.add_argument("input", metavar="INPUT", help='input file, or "-" for stdin')
    p.add_argument("--key", metavar="FIELD", help="build from records: the field holding each key")
    p.add_argument("--value", metavar="FIELD", help="with --key: store this field, not the whole record")
    p.add_argument("--format", choices=FORMATS, help="the input's format (default: from its extension)")
    p.add_argument("--schema", metavar="FIELD=TYPE,...", help=f"CSV/TSV field types: {', '.join(SCHEMA_TYPES)}")
    p.add_argument("--compress", action="store_true",
                   help="compress each value with zstd and a dictionary trained on the values")
    p.add_argument("--compress-level", metavar="N", type=int, choices=range(1, 23),
                   help="zstd level, 1 to 22 (default 3); implies --compress")
    return parser


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments, or exit 2 with the usage of the command at fault."""
    args, extra = build_parser().parse_known_args(argv)
    if extra:
        message = f"unrecognized arguments: {' '.join(extra)}"
        dashed = [a for a in extra if a.startswith("-")]
        if args.command == "get" and dashed:
            # A key such as -EGLL reads as an option.
            message += f'\n(a KEY starting with "-" follows "--", as in: velkstore get FILE -- {dashed[0]})'
        args.parser.error(message)
    return args
