"""The `velkstore` command: inspect, query, dump and build store files.

`main` runs one command and turns every failure into a message on standard
error and an exit status (see exits.py).
"""

from __future__ import annotations

import os
import sys

from .._errors import CorruptError, VelkDecodeError, VelkError, VersionError
from .exits import (
    EXIT_BROKEN_PIPE,
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_IO,
    EXIT_UNRENDERABLE,
    CliError,
)
from .stdio import warn, writing_stdout

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Sequence

__all__ = ["main"]


def _drop_stdout() -> None:
    # Whatever is still buffered goes nowhere, so the interpreter's final
    # flush cannot fail on a closed pipe.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def _flush_stdout() -> None:
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        _drop_stdout()


# Values nest as deep as MessagePack's decoder goes (about 1000 levels); the
# JSON conversions recurse once per level and need the room.
RECURSION_LIMIT = 5000


def _plain_get(argv: Sequence[str]) -> argparse.Namespace | None:
    """The arguments of `get FILE KEY...` with no option and no argument
    that could read as one, as the full parser would give them; None for
    any other command line.  The one-shot lookup is the command users time,
    and the full parser's import and set-up are a good part of its cost."""
    if len(argv) < 3 or argv[0] != "get" or any(a.startswith("-") for a in argv[1:]):
        return None
    from types import SimpleNamespace

    from .getting import cmd_get

    args = SimpleNamespace(command="get", file=argv[1], keys=list(argv[2:]), stdin=False, null=False, raw=False,
                           verify=False, func=cmd_get)
    return args  # type: ignore[return-value]


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = _plain_get(argv)
    if args is None:
        from .parser import parse

        try:
            args = parse(argv)
        except CliError as exc:  # help or the version could not be written
            warn(str(exc))
            return exc.code
        except BrokenPipeError:
            _drop_stdout()
            return EXIT_BROKEN_PIPE
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, RECURSION_LIMIT))
    try:
        return _run(args)
    finally:
        sys.setrecursionlimit(limit)


def _run(args: argparse.Namespace) -> int:
    func: Callable[..., int] = args.func
    try:
        code = func(args)
        if sys.stdout is not None:
            with writing_stdout():  # a failure here is reported like any other
                sys.stdout.flush()
        return code
    except CliError as exc:
        message, code = str(exc), exc.code
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): stop quietly.
        _drop_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as exc:
        message, code = str(exc), EXIT_IO
    except (CorruptError, VersionError) as exc:
        message, code = str(exc), EXIT_FAILED
    except VelkDecodeError as exc:
        message, code = str(exc), EXIT_UNRENDERABLE
    except VelkError as exc:
        message, code = str(exc), EXIT_FAILED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    _flush_stdout()
    warn(message)
    return code
