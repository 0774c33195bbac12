"""Building a store from records: JSON Lines objects, CSV/TSV rows with a
header, Parquet rows, or any iterable of mappings.

Each record gives one binding: its KEY field is the key and the whole record
(or its VALUE field) the value.  Records are read and staged in batches, so
memory holds the staged store and one batch.  A key given again keeps its
last value; `BuildInfo.replaced` counts such bindings.
"""

from __future__ import annotations

import codecs
import csv
import io
import json
import os
import stat
from collections.abc import Callable, Iterable, Iterator, Mapping
from itertools import chain, islice
from typing import IO, Any, BinaryIO, NamedTuple

from ._common import NumberOutOfRange, PathArg, finite_float
from ._info import BuildInfo
from ._errors import InputError, os_error
from ._formats import FORMATS, SCHEMA_TYPES
from ._writer import VelkWriter

_BY_EXTENSION = {
    ".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl",
    ".csv": "csv", ".tsv": "tsv", ".tab": "tsv",
    ".parquet": "parquet", ".pq": "parquet",
}
BATCH_BYTES = 1 << 20  # text input read and staged at a time
BATCH_ROWS = 1 << 14  # rows of CSV, Parquet or an iterable staged at a time

#: A progress callback: called with the bytes (or, for Parquet and
#: iterables, the rows) consumed since the last call.
Progress = Callable[[int], object]



class Rows(NamedTuple):
    """Records as rows of fields under one list of names (CSV, Parquet):
    staged without a dict per record."""

    names: list[str]
    rows: list[Any]

    def records(self) -> list[dict[str, Any]]:
        return [dict(zip(self.names, row)) for row in self.rows]


class ArrowRows(NamedTuple):
    """Records as an Arrow record batch (Parquet): staged column by column
    in native code where its columns allow, else as Rows."""

    batch: Any

    def rows(self) -> Rows:
        # Column by column is several times quicker than row by row.
        # A map as a dict, as update takes it (a key given twice keeps its last value).
        columns = (col.to_pylist(maps_as_pydicts="lossy") for col in self.batch.columns)
        return Rows(self.batch.schema.names, list(zip(*columns)))

    def bad_text_row(self) -> int:
        """The first row with a text field that is not UTF-8 (which rows()
        cannot convert), or -1."""
        for i in range(self.batch.num_rows):
            try:
                self.batch.slice(i, 1).to_pylist()
            except UnicodeDecodeError:
                return i
        return -1


#: A batch of records (mappings, or Rows) and what names the place of its
#: i-th record in messages ("12" for line 12, "row 12").
Batch = tuple["list[Any] | Rows | ArrowRows", Callable[[int], str]]


def format_of(path: PathArg, given: str | None = None) -> str:
    """The reader for *path*: *given*, else the one its extension names."""
    if given is not None:
        if given not in FORMATS:
            raise ValueError(f"unknown format {given!r}; expected one of {', '.join(FORMATS)}")
        return given
    ext = os.path.splitext(os.fsdecode(path))[1].lower()
    if ext not in _BY_EXTENSION:
        raise ValueError(
            f"cannot tell the format of {os.fsdecode(path)!r} from its extension; "
            f"give it ({', '.join(FORMATS)})"
        )
    return _BY_EXTENSION[ext]


def parse_schema(text: str | Mapping[str, str] | None) -> dict[str, str]:
    """``"age=int,score=float"`` (or a mapping) as {field: type}."""
    if text is None:
        return {}
    if isinstance(text, str):
        items: list[tuple[str, str]] = []
        for part in filter(None, (p.strip() for p in text.split(","))):
            name, sep, kind = part.rpartition("=")
            if not sep or not name:
                raise ValueError(f"bad schema entry {part!r}: expected FIELD=TYPE")
            items.append((name, kind))
    else:
        items = list(text.items())
    for name, kind in items:
        if kind not in SCHEMA_TYPES:
            raise ValueError(f"bad type {kind!r} for field {name!r}: expected one of {', '.join(SCHEMA_TYPES)}")
    return dict(items)


def check_output(out: PathArg, source: PathArg | int | None = None) -> None:
    """Fail at once when *out* cannot be written: its directory is missing
    or is no directory, a directory, device, FIFO or socket stands at *out*
    itself, or *out* is the input file *source* (a path or an open file's
    descriptor; the build would replace it).  Saves reading all the input
    first."""
    target = os.fspath(out)
    if source is not None:
        try:
            same = os.path.samestat(os.stat(target), os.stat(source))
        except OSError:
            same = False  # no output yet, or no input to read (its reader says so)
        if same:
            raise ValueError(f"the output {os.fsdecode(target)} is the input file; building would replace it")
    parent = os.path.dirname(target) or (b"." if isinstance(target, bytes) else ".")
    try:
        st = os.stat(parent)
    except OSError as exc:
        raise os_error(exc.errno or 0, f"the output's directory cannot be used: {exc.strerror}", parent) from None
    if not stat.S_ISDIR(st.st_mode):
        raise os_error(20, "the output's directory is not a directory", parent)  # ENOTDIR
    if os.path.isdir(target):
        raise os_error(21, "the output is a directory; give a file name", target)  # EISDIR
    try:
        kind = os.lstat(target).st_mode
    except OSError:
        return  # no output yet; the build's own steps report the rest
    if stat.S_ISCHR(kind) or stat.S_ISBLK(kind) or stat.S_ISFIFO(kind) or stat.S_ISSOCK(kind):
        # As the build itself refuses it: the rename would replace the node.
        raise os_error(5, f"cannot replace {os.fsdecode(target)}: not a regular file", target)  # EIO


# ---- converting fields -----------------------------------------------------


def _to_bool(text: str) -> bool:
    low = text.strip().lower()
    if low in ("true", "t", "yes", "y", "1"):
        return True
    if low in ("false", "f", "no", "n", "0"):
        return False
    raise ValueError(f"not a boolean: {text!r}")


_CONVERT: dict[str, Callable[[str], Any]] = {
    "int": int, "float": float, "bool": _to_bool, "json": lambda text: json.loads(text, parse_float=finite_float)}


def _converter(header: list[str], schema: dict[str, str]) -> Callable[[list[str]], None] | None:
    """Converts a CSV row's fields in place by *schema*; an empty field of
    a type other than str becomes None."""
    typed = [(header.index(name), name, _CONVERT[kind]) for name, kind in schema.items() if kind != "str"]
    if not typed:
        return None

    def convert(row: list[Any]) -> None:
        for j, name, func in typed:
            text = row[j]
            try:
                row[j] = func(text) if text != "" else None
            except (ValueError, RecursionError) as exc:  # RecursionError: JSON nested too deep
                raise ValueError(f"field {name!r}: {exc}") from None

    return convert


def _key_of(record: Any, key: str) -> str | bytes:
    if not isinstance(record, Mapping):
        raise ValueError(f"expected an object (a record), not {type(record).__name__}")
    try:
        k = record[key]
    except KeyError:
        raise ValueError(f"no field {key!r} for the key") from None
    if type(k) is str or type(k) is bytes:
        return k
    if type(k) is int:  # ids are often numbers: stored as their decimal text
        return str(k)
    raise ValueError(f"the key field {key!r} is {type(k).__name__}; expected text or an integer")


def _pairs(records: list[Any], key: str, value: str | None) -> list[tuple[Any, Any]]:
    """(key, value) of each record; ValueError with ``#N:`` (the index of
    the bad record) for one that has no usable key or value."""
    try:
        if value is None:
            pairs = [(r[key], r) for r in records]
        else:
            pairs = [(r[key], r[value]) for r in records]
        if all(type(k) is str for k, _ in pairs):
            return pairs
    except (KeyError, TypeError, IndexError):
        pass
    # Slow path: convert integer keys, or find the bad record.
    out: list[tuple[Any, Any]] = []
    for i, r in enumerate(records):
        try:
            k = _key_of(r, key)
            if value is not None and value not in r:
                raise ValueError(f"no field {value!r} for the value")
        except ValueError as exc:
            raise _AtRecord(i, str(exc)) from None
        out.append((k, r if value is None else r[value]))
    return out


class _AtRecord(ValueError):
    """A bad record, by its index in the batch."""

    def __init__(self, index: int, message: str) -> None:
        super().__init__(message)
        self.index = index


class _AtPlace(ValueError):
    """Bad input found by a reader, by its place ("12", "row 12")."""

    def __init__(self, place: object, message: str) -> None:
        super().__init__(message)
        self.place = place


# ---- reading ---------------------------------------------------------------

# Each reader yields (records, where), *where* turning an index into the
# batch into a place for messages ("3" for line 3, "row 3").


def _counted(first: int, prefix: str = "") -> Callable[[int], str]:
    def where(i: int) -> str:
        return f"{prefix}{first + i}"

    return where


def _jsonl_batches(stream: IO[bytes], progress: Progress | None) -> Iterator[Batch]:
    import orjson

    done = 0
    while lines := stream.readlines(BATCH_BYTES):
        if done == 0:
            _check_not_array(lines[0])
        try:
            # Line by line: lines joined into one document can parse when
            # one line holds half a record and another two.
            records = [orjson.loads(line) for line in lines]
            if _long_numbers(lines):
                raise ValueError
            where = _counted(done + 1)
        except ValueError:  # blank lines, long numbers, or a bad line to name
            records, numbers = _jsonl_slowly(lines, done + 1)
            where = lambda i: str(numbers[i])  # noqa: E731
        yield records, where
        done += len(lines)
        if progress is not None:
            progress(sum(map(len, lines)))


_DIGITS_AS_ZERO = bytes.maketrans(b"123456789", b"000000000")


def _long_numbers(lines: list[bytes]) -> bool:
    # orjson reads integers past 64 bits as floats; the standard library
    # keeps them exact (and the encoder then refuses them by name).
    return any(b"0" * 19 in line.translate(_DIGITS_AS_ZERO) for line in lines)


def array_hint(line: bytes) -> str | None:
    """For a first line that opens a JSON array, what to do instead."""
    if line.lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"["):
        return (
            "the input starts with '[', as a JSON array does; JSON Lines (one object per line) "
            "is expected: convert it first, e.g. with jq -c '.[]' IN.json > IN.jsonl"
        )
    return None


def _check_not_array(line: bytes) -> None:
    hint = array_hint(line)
    if hint is not None:
        raise _AtPlace(1, hint)


def _jsonl_slowly(lines: list[bytes], first: int) -> tuple[list[Any], list[int]]:
    """The records of *lines* one at a time: blank lines skipped, the bad
    line named."""
    records: list[Any] = []
    numbers: list[int] = []
    for lineno, line in enumerate(lines, first):
        if not line.strip():
            continue
        if lineno == 1:
            line = line.removeprefix(b"\xef\xbb\xbf")
        try:
            records.append(json.loads(line, parse_float=finite_float))
        except NumberOutOfRange as exc:
            raise _AtPlace(lineno, f"bad value: {exc}") from None
        except UnicodeDecodeError as exc:
            raise _AtPlace(lineno, f"not UTF-8 text ({exc.reason} at byte {exc.start})") from None
        except json.JSONDecodeError as exc:
            raise _AtPlace(lineno, f"invalid JSON: {exc.msg} (column {exc.colno})") from None
        except (ValueError, RecursionError) as exc:
            raise _AtPlace(lineno, f"invalid JSON: {exc}") from None
        numbers.append(lineno)
    return records, numbers


def _csv_batches(
    stream: IO[bytes], delimiter: str, schema: dict[str, str], progress: Progress | None
) -> Iterator[Batch]:
    # Bytes that are not UTF-8 are let through as lone surrogates and found
    # row by row: the decoder reads thousands of lines ahead of the rows, so
    # its own error would name a line far from the bad one.  Rows are looked
    # at only once the decoder has let such a byte through.
    undecodable = _undecodable[0]
    text = io.TextIOWrapper(stream, encoding="utf-8-sig", newline="", errors=_UNDECODABLE)
    rows = csv.reader(text, delimiter=delimiter, strict=True)
    try:
        header = next(rows)
    except StopIteration:
        return
    except csv.Error as exc:
        raise _AtPlace(1, str(exc)) from None
    if not _all_text([header]):
        raise _AtPlace(1, "not UTF-8 text")
    if len(set(header)) != len(header):
        raise _AtPlace(1, f"the header names a field twice: {header}")
    width = len(header)
    unknown = [name for name in schema if name not in header]
    if unknown:
        raise _AtPlace(1, f"the schema names fields the header has not: {', '.join(unknown)}")
    convert = _converter(header, schema)
    # Progress by the bytes read, where the stream can tell (a pipe cannot).
    pos = stream.tell() if progress is not None and stream.seekable() else None
    while True:
        start = rows.line_num
        try:
            batch = list(islice(rows, BATCH_ROWS))
        except csv.Error as exc:
            raise _AtPlace(rows.line_num, f"{exc}") from None
        if not batch:
            break
        # Line numbers of rows, counted only when a row has to be named.
        where = _csv_where(batch, start)
        if _undecodable[0] != undecodable and not _all_text(batch):
            raise _AtPlace(where(next(i for i, row in enumerate(batch) if not _all_text([row]))), "not UTF-8 text")
        if any(len(row) != width for row in batch):
            for i, row in enumerate(batch):
                if len(row) != width and row:
                    raise _AtPlace(where(i), f"{len(row)} fields, the header has {width}")
            batch = [row for row in batch if row]  # blank lines
        if convert is not None:
            for i, row in enumerate(batch):
                try:
                    convert(row)
                except ValueError as exc:
                    raise _AtPlace(where(i), f"{exc}") from None
        yield Rows(header, batch), where
        if progress is not None and pos is not None:
            now = stream.tell()
            progress(now - pos)
            pos = now


# The decoder's error handler for CSV input: surrogateescape, counting the
# bytes it lets through (in any thread: a count that moves only makes a
# reader look at its rows).
_UNDECODABLE = "velkstore-undecodable"
_undecodable = [0]
_surrogateescape = codecs.lookup_error("surrogateescape")


def _let_through(exc: UnicodeError) -> tuple[str | bytes, int]:
    _undecodable[0] += 1
    return _surrogateescape(exc)


codecs.register_error(_UNDECODABLE, _let_through)


def _all_text(rows: list[list[str]]) -> bool:
    """Whether *rows* hold no byte that was not UTF-8 (a lone surrogate)."""
    text = "".join(chain.from_iterable(rows))
    if text.isascii():
        return True
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def _csv_where(batch: list[list[str]], start: int) -> Callable[[int], str]:
    # Rows may span lines (quoted newlines); the first row of the batch
    # starts on line start + 1, and multi-line rows are rare: counted exactly.
    def where(i: int) -> str:
        line = start + 1
        for row in batch[:i]:
            line += 1 + sum(field.count("\n") for field in row if type(field) is str)
        return str(line)

    return where


def _arrow_plain(batch: Any) -> Any:
    """*batch* with the columns MessagePack cannot hold as they are turned
    into ones it can: timestamps without a zone are taken as UTC; dates,
    times and decimals become their ISO or decimal text."""
    import pyarrow as pa  # type: ignore[import-untyped]

    columns = []
    changed = False
    for col in batch.columns:
        t = col.type
        if pa.types.is_timestamp(t) and t.tz is None:
            col, changed = col.cast(pa.timestamp(t.unit, tz="UTC")), True
        elif pa.types.is_date(t) or pa.types.is_time(t) or pa.types.is_decimal(t):
            col, changed = col.cast(pa.string()), True
        columns.append(col)
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names) if changed else batch


def _parquet_batches(
    path: PathArg, key: str, value: str | None, progress: Progress | None
) -> Iterator[Batch]:
    try:
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError(
            "reading Parquet needs pyarrow: pip install pyarrow (or install velkstore with its [parquet] extra)"
        ) from None
    try:
        pf = pq.ParquetFile(os.fsdecode(path))
    except OSError:
        raise
    except Exception as exc:  # pyarrow's own errors for a file that is no Parquet
        raise _AtPlace("", f"not a Parquet file: {exc}") from None
    names = pf.schema_arrow.names
    # The columns a record is made of: every one, or the key's and the value's.
    used = names if value is None else [key, value]
    twice = sorted({name for name in used if names.count(name) > 1})
    if twice:
        raise _AtPlace("", f"the file names a column twice: {', '.join(twice)}")
    for field in (key,) if value is None else (key, value):
        if field not in names:
            raise _AtPlace("", f"no column {field!r} (the columns: {', '.join(names)})")
    columns = None if value is None else list(dict.fromkeys((key, value)))
    done = 0
    for batch in pf.iter_batches(batch_size=BATCH_ROWS, columns=columns):
        yield ArrowRows(_arrow_plain(batch)), _counted(done + 1, "row ")
        done += batch.num_rows
        if progress is not None:
            progress(batch.num_rows)


def _iterable_batches(
    records: Iterable[Any], progress: Progress | None
) -> Iterator[Batch]:
    it = iter(records)
    done = 0
    while batch := list(islice(it, BATCH_ROWS)):
        yield batch, _counted(done + 1, "record ")
        done += len(batch)
        if progress is not None:
            progress(len(batch))


def _staged_rows(writer: VelkWriter, batch: Rows, key: str, value: str | None) -> bool:
    """Stage *batch* natively; False when a row needs the slow path."""
    names = list(batch.names)
    if key not in names or (value is not None and value not in names):
        return False
    try:
        writer._update_rows(names, batch.rows, names.index(key), -1 if value is None else names.index(value))
        return True
    except (ValueError, TypeError):
        return False


def _staged_arrow(writer: VelkWriter, batch: ArrowRows, key: str, value: str | None) -> bool:
    """Stage *batch* from its columns; False when a column or a row needs
    the slower paths (which then name the bad row)."""
    names = list(batch.batch.schema.names)
    try:
        if value is None:
            writer.update_arrow(batch.batch, key, names)
        else:
            writer.update_arrow(batch.batch, key, value_column=value)
        return True
    except (ValueError, TypeError):
        # A type it does not take is refused before any row is staged; a
        # bad row is staged again by the slower path, which names it.
        return False


def stage_records(
    writer: VelkWriter,
    batches: Iterable[Batch],
    key: str,
    value: str | None,
    name: str,
) -> int:
    """Stage every record of *batches*; the number of records.  A bad
    record raises InputError naming *name* and its place."""
    count = 0
    try:
        for records, where in batches:
            if isinstance(records, ArrowRows):
                if _staged_arrow(writer, records, key, value):
                    count += records.batch.num_rows
                    continue
                arrow = records
                try:
                    records = arrow.rows()
                except UnicodeDecodeError as exc:
                    raise _AtPlace(where(arrow.bad_text_row()), f"not UTF-8 text ({exc.reason})") from None
            if isinstance(records, Rows):
                if _staged_rows(writer, records, key, value):
                    count += len(records.rows)
                    continue
                records = records.records()  # the slow path names the bad record
            try:
                pairs = _pairs(records, key, value)
                try:
                    writer.update(pairs)
                except ValueError:
                    # One at a time, to name the record that fails.
                    for i, (k, v) in enumerate(pairs):
                        try:
                            writer.add(k, v)
                        except ValueError as exc:
                            raise _AtRecord(i, str(exc)) from None
            except _AtRecord as exc:
                raise InputError(f"{name}:{where(exc.index)}: {exc}") from None
            count += len(records)
    except _AtPlace as exc:
        place = f"{name}:{exc.place}" if exc.place != "" else name
        raise InputError(f"{place}: {exc}") from None
    return count


def open_batches(
    source: PathArg | BinaryIO,
    fmt: str,
    key: str,
    value: str | None,
    schema: dict[str, str],
    progress: Progress | None = None,
) -> Iterator[Batch]:
    """The batches of records of *source*, a path or (not for Parquet) a
    binary stream, read as *fmt*."""
    if schema and fmt not in ("csv", "tsv"):
        raise ValueError("a schema applies to CSV and TSV input only (the other formats carry their types)")
    if fmt == "parquet":
        if not isinstance(source, (str, bytes, os.PathLike)):
            raise ValueError("Parquet input must be a file, not a stream")
        return _parquet_batches(source, key, value, progress)
    stream: IO[bytes] = source if not isinstance(source, (str, bytes, os.PathLike)) else open(source, "rb")
    if fmt == "jsonl":
        return _closing(stream, source, _jsonl_batches(stream, progress))
    return _closing(stream, source, _csv_batches(stream, "," if fmt == "csv" else "\t", schema, progress))


def _closing(stream: IO[bytes], source: object, batches: Iterator[Any]) -> Iterator[Any]:
    try:
        yield from batches
    finally:
        if stream is not source:
            stream.close()


def build_from(
    source: PathArg | Iterable[Mapping[str, Any]],
    out: PathArg,
    *,
    key: str,
    value: str | None = None,
    format: str | None = None,
    schema: str | Mapping[str, str] | None = None,
) -> BuildInfo:
    """Build the store *out* from records, one binding per record.

    *source* is a file (JSON Lines, CSV, TSV or Parquet, told by its
    extension or by *format*) or any iterable of mappings.  The record's
    *key* field is the key (text, or an integer stored as its decimal
    text); the whole record, or its *value* field, is the value.  CSV and
    TSV fields are text unless *schema* ("age=int,score=float", or a dict;
    types str, int, float, bool, json) says otherwise; an empty field of
    another type is None.  A key given again keeps its last value;
    ``BuildInfo.replaced`` says how many were replaced.

    Raises InputError (a ValueError) naming the file and line (or row) of
    a bad record; no file is written then.  Reading Parquet needs pyarrow.
    """
    check_output(out, source if isinstance(source, (str, bytes, os.PathLike)) else None)
    types = parse_schema(schema)
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.fsdecode(source)
        batches = open_batches(source, format_of(source, format), key, value, types)
    else:
        if types or format is not None:
            raise ValueError("format and schema apply to files, not to an iterable of records")
        name = "<records>"
        batches = _iterable_batches(source, None)
    with VelkWriter() as writer:
        stage_records(writer, batches, key, value, name)
        return writer.build(out)
