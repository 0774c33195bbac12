"""The `get` command: the values of keys, one JSON line each.

A one-shot `get` is the command users time, so this module imports only
what a lookup needs (see render.py for the values that need more).
"""

from __future__ import annotations

import os
from itertools import islice

from ..sharded.open_store import open_store
from .exits import EXIT_FAILED, EXIT_OK, EXIT_UNRENDERABLE, EXIT_USAGE, CliError
from .render import render, show
from .stdio import stdin, stdout, warn

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterable, Iterator
    from typing import BinaryIO

BATCH = 1024  # keys per lookup batch and lines per write


def batches(items: Iterable[bytes], size: int) -> Iterator[list[bytes]]:
    it = iter(items)
    while batch := list(islice(it, size)):
        yield batch


def _split(stream: BinaryIO, sep: bytes) -> Iterator[bytes]:
    """The *sep*-terminated records of *stream* (a final one may lack it)."""
    rest = b""
    while chunk := stream.read(1 << 16):
        parts = (rest + chunk).split(sep)
        rest = parts.pop()
        yield from parts
    if rest:
        yield rest


def cmd_get(args: argparse.Namespace) -> int:
    if args.stdin == bool(args.keys):
        raise CliError(EXIT_USAGE, "get takes KEY arguments or --stdin, not both or neither")
    out = stdout()
    keys: Iterable[bytes]
    if args.stdin:
        keys = _split(stdin(), b"\0" if args.null else b"\n")
    else:
        keys = [os.fsencode(k) for k in args.keys]
    several = args.stdin or len(args.keys) > 1
    missing = unprintable = 0
    with open_store(args.file, verify=args.verify) as r:
        for batch in batches(keys, BATCH):
            chunks: list[bytes] = []
            for key, raw in zip(batch, r.get_many_raw(batch)):
                if raw is None:
                    missing += 1
                    warn(f"key not found: {show(key)}")
                elif args.raw:
                    chunks.append(raw)
                    continue
                else:
                    try:
                        chunks.append(render(args.file, key, raw, whole=False))
                        continue
                    except CliError as exc:
                        unprintable += 1
                        warn(str(exc))
                if several and not args.raw:
                    chunks.append(b"\n")  # keeps one line per key asked
            out.write(b"".join(chunks))
    if unprintable:
        return EXIT_UNRENDERABLE
    return EXIT_FAILED if missing else EXIT_OK
