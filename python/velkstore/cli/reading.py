"""The reading commands: info, reindex, verify, keys, dump (get is in getting.py)."""

from __future__ import annotations

import argparse
import json
import os
from itertools import islice
from typing import Any

from .._writer import reindex
from ..sharded.open_store import open_store
from . import progress
from .exits import EXIT_OK, EXIT_UNRENDERABLE, CliError
from .getting import BATCH, batches
from .jsonlines import dumps, key_to_json
from .render import render
from .stdio import stdout, warn


def _info_rows(st: Any) -> list[tuple[str, str]]:
    """The rows `info` prints for one store file."""
    sizes = {
        "file size": st["file_size"],
        "object data": st["index_offset"] - st["data_offset"],
        "key index": st["file_size"] - st["index_offset"],
    }
    return [
        ("file", os.fsdecode(st["path"])),
        ("version", str(st["version"])),
        ("keys", f"{st['num_keys']:,}"),
        ("objects", f"{st['num_objects']:,}"),
        *((name, f"{progress.human_size(n)} ({n:,} bytes)") for name, n in sizes.items()),
        ("file CRC-32", f"0x{st['file_crc32']:08x}"),
        ("lookup index", "in the file" if st["index"] else "none (velkstore reindex adds one)"),
        *_compression_rows([st]),
    ]


def _compression_rows(stats: list[Any]) -> list[tuple[str, str]]:
    """The `compression` row for store files (a sharded store's shards
    summed), or none when no file compresses its values."""
    packed = [s["compression"] for s in stats if s.get("compression")]
    if not packed:
        return []
    values = sum(c["value_bytes"] for c in packed)
    stored = sum(c["stored_bytes"] for c in packed)
    dictionaries = sum(c["dictionary_size"] for c in packed)
    ratio = stored / values if values else 1.0
    levels = sorted({c["level"] for c in packed})
    size = progress.human_size
    text = (f"zstd level {', '.join(map(str, levels))}: values {size(values)} stored in {size(stored)} "
            f"({ratio:.2f}x), dictionary {size(dictionaries)}")
    if len(packed) != len(stats):
        text += f" ({len(packed)} of {len(stats)} shards)"
    return [("compression", text)]


def _sharded_info_rows(st: dict[str, Any]) -> list[tuple[str, str]]:
    """The rows `info` prints for a sharded store: totals, then one per shard."""
    rows = [
        ("directory", os.fsdecode(st["path"])),
        ("shards", f"{len(st['shards'])} open of {st['num_shards']}"),
        ("keys", f"{st['num_keys']:,}"),
        ("objects", f"{st['num_objects']:,}"),
        ("file size", f"{progress.human_size(st['file_size'])} ({st['file_size']:,} bytes)"),
        *_compression_rows(st["shards"]),
    ]
    for shard in st["shards"]:
        rows.append((f"shard {os.path.basename(os.fsdecode(shard['path']))}",
                     f"{shard['num_keys']:,} keys, {progress.human_size(shard['file_size'])}, "
                     f"CRC-32 0x{shard['file_crc32']:08x}"))
    return rows


def cmd_info(args: argparse.Namespace) -> int:
    out = stdout()
    with open_store(args.file, verify=not args.no_verify) as r:
        st: Any = r.stats()
    sharded = "shards" in st
    if args.json:
        detail: dict[str, Any] = dict(st)
        detail["path"] = os.fsdecode(st["path"])
        if sharded:
            detail["shards"] = [{**s, "path": os.fsdecode(s["path"])} for s in st["shards"]]
        out.write(json.dumps(detail).encode() + b"\n")
        return EXIT_OK
    rows = _sharded_info_rows(st) if sharded else _info_rows(st)
    text = "".join(f"{name:<12} {value}\n" for name, value in rows)
    out.write(text.encode("utf-8", "surrogateescape"))
    return EXIT_OK


def cmd_reindex(args: argparse.Namespace) -> int:
    out = stdout()  # a closed output fails before the file is touched
    info = reindex(args.file)
    out.write(f"indexed: {args.file} ({info.num_keys} keys, {info.file_size} bytes)\n".encode(
        "utf-8", "surrogateescape"))
    return EXIT_OK


def cmd_verify(args: argparse.Namespace) -> int:
    out = stdout()
    # verify() checks the whole-file checksum itself; no need to do it twice.
    with open_store(args.file, verify=False) as r:
        with progress.ticking(progress.wanted(args.progress), f"verifying {args.file}"):
            r.verify()
        n = len(r)
        objects = r.stats()["num_objects"]
    out.write(f"ok: {args.file} ({n} keys, {objects} objects)\n".encode("utf-8", "surrogateescape"))
    return EXIT_OK


def cmd_keys(args: argparse.Namespace) -> int:
    out = stdout()
    prefix = b"" if args.prefix is None else os.fsencode(args.prefix)
    with open_store(args.file, verify=not args.no_verify) as r:
        for batch in batches(r.keys_bytes(prefix), BATCH):
            if args.json:
                out.write(b"".join(dumps(key_to_json(k)) for k in batch))
            else:
                end = b"\0" if args.null else b"\n"
                out.write(end.join(batch) + end)
    return EXIT_OK


def cmd_dump(args: argparse.Namespace) -> int:
    out = stdout()
    prefix = b"" if args.prefix is None else os.fsencode(args.prefix)
    unprintable = 0
    with open_store(args.file, verify=not args.no_verify) as r:
        total = None if prefix else len(r)
        with progress.meter(progress.wanted(args.progress), "dump", total, "keys") as bar:
            items = r.items_bytes(prefix, raw=True)
            while batch := list(islice(items, BATCH)):
                lines: list[bytes] = []
                for key, raw in batch:
                    try:
                        lines.append(render(args.file, key, raw, whole=True))
                    except CliError as exc:
                        unprintable += 1
                        warn(str(exc))
                out.write(b"".join(lines))
                bar.update(len(batch))
    return EXIT_UNRENDERABLE if unprintable else EXIT_OK
