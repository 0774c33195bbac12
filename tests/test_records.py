"""Building from records: JSON Lines objects, CSV/TSV with a header row,
Parquet, and iterables of mappings, from Python and the command line."""

import csv
import json
import os
import re
import subprocess
import sys

import pytest

import velkstore
from velkstore import InputError, VelkReader

# pyarrow's C++ exceptions abort under the preloaded sanitizer runtime
# (make asan-test): Parquet is read only in plain runs.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

FIELDS = ["iata", "name", "alt", "open"]
ROWS = [["LHR", "Heathrow", "25", "true"], ["CDG", "Charles, \"de\" Gaulle", "119", "false"],
        ["LHR", "London Heathrow", "", "yes"]]  # LHR again: the last one wins


def run(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "velkstore", *args], input=stdin, capture_output=True, timeout=60)


def write_inputs(tmp_path):
    paths = {}
    for fmt, sep in (("csv", ","), ("tsv", "\t")):
        paths[fmt] = tmp_path / f"air.{fmt}"
        with open(paths[fmt], "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f, delimiter=sep)
            w.writerow(FIELDS)
            w.writerows(ROWS)
    paths["jsonl"] = tmp_path / "air.jsonl"
    paths["jsonl"].write_text("".join(json.dumps(dict(zip(FIELDS, r))) + "\n\n" for r in ROWS))
    if UNDER_ASAN:
        return paths
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    paths["parquet"] = tmp_path / "air.parquet"
    pq.write_table(pa.table({f: [r[i] for r in ROWS] for i, f in enumerate(FIELDS)}), paths["parquet"])
    return paths


def test_every_format_builds_the_same_store(tmp_path):
    paths = write_inputs(tmp_path)
    expected = {"CDG": dict(zip(FIELDS, ROWS[1])), "LHR": dict(zip(FIELDS, ROWS[2]))}
    crcs = set()
    for fmt, src in paths.items():
        out = tmp_path / f"{fmt}.vlks"
        res = run("build", "--key", "iata", str(out), str(src))
        assert res.returncode == 0, (fmt, res.stderr)
        assert "2 keys · 1 replaced" in res.stdout.decode(), fmt
        with VelkReader(out) as r:
            assert dict(r.items()) == expected, fmt
            crcs.add(r.stats()["file_crc32"])
        # The same from Python, with one field as the value.
        info = velkstore.build_from(src, tmp_path / f"{fmt}-names.vlks", key="iata", value="name")
        assert (info.num_keys, info.replaced) == (2, 1)
        assert VelkReader(info.path)["LHR"] == "London Heathrow"
    assert len(crcs) == 1  # byte for byte the same file, whatever the input

    # Typed CSV fields; TSV from standard input; an iterable of records.
    res = run("build", "--key", "iata", "--format", "tsv", "--schema", "alt=int,open=bool",
              str(tmp_path / "typed.vlks"), "-", stdin=paths["tsv"].read_bytes())
    assert res.returncode == 0, res.stderr
    with VelkReader(tmp_path / "typed.vlks") as r:
        assert r["CDG"]["alt"] == 119 and r["CDG"]["open"] is False
        assert r["LHR"]["alt"] is None and r["LHR"]["open"] is True
    info = velkstore.build_from(({"id": i, "v": [i]} for i in range(5)), tmp_path / "it.vlks", key="id")
    assert VelkReader(info.path)["3"] == {"id": 3, "v": [3]}  # an integer key as its text


@pytest.mark.skipif(UNDER_ASAN, reason="pyarrow under the sanitizer runtime")
def test_parquet_columns_are_packed_natively_as_the_row_path_packs_them(tmp_path, monkeypatch):
    import datetime
    import decimal

    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    from velkstore import _records

    n = 300
    t0 = datetime.datetime(2020, 1, 1)
    pq.write_table(pa.table({
        "id": [f"k{i}" for i in range(n)],
        "i8": pa.array([i % 100 - 50 for i in range(n)], pa.int8()),
        "u64": pa.array([2**63 + i for i in range(n)], pa.uint64()),
        "f32": pa.array([i / 3 for i in range(n)], pa.float32()),
        "f64": [None if i % 7 == 0 else i * 1.5 for i in range(n)],
        "b": [i % 2 == 0 for i in range(n)],
        "s": [None if i % 5 == 0 else "\u00e9" * (i % 40) for i in range(n)],
        "bin": [bytes([i % 256]) * (i % 9) for i in range(n)],
        "ts": pa.array([t0 + datetime.timedelta(seconds=i) for i in range(n)], pa.timestamp("us")),
        "tsz": pa.array([t0 + datetime.timedelta(microseconds=i) for i in range(n)], pa.timestamp("us", tz="UTC")),
        "dt": [datetime.date(2020, 1, 1) + datetime.timedelta(days=i) for i in range(n)],
        "dec": pa.array([decimal.Decimal(i) / 100 for i in range(n)], pa.decimal128(10, 2)),
    }), tmp_path / "t.parquet")
    taken = []
    native = _records._staged_arrow
    monkeypatch.setattr(_records, "_staged_arrow", lambda *a: taken.append(native(*a)) or taken[-1])
    velkstore.build_from(tmp_path / "t.parquet", tmp_path / "arrow.vlks", key="id")
    assert taken and all(taken)
    monkeypatch.setattr(_records, "_staged_arrow", lambda *a: False)
    velkstore.build_from(tmp_path / "t.parquet", tmp_path / "rows.vlks", key="id")
    assert (tmp_path / "arrow.vlks").read_bytes() == (tmp_path / "rows.vlks").read_bytes()


def test_csv_bytes_that_are_not_utf8_name_their_line(tmp_path):
    lines = [b"id,n"] + [b"k%d,%d" % (i, i) for i in range(1, 4000)]
    for bad_line in (1, 3000):
        text = list(lines)
        text[bad_line - 1] += b"\xff"
        (tmp_path / "a.csv").write_bytes(b"\n".join(text) + b"\n")
        res = run("build", "--key", "id", str(tmp_path / "o.vlks"), str(tmp_path / "a.csv"))
        assert res.returncode == 4 and f"a.csv:{bad_line}: not UTF-8 text" in res.stderr.decode(), res.stderr
        assert not (tmp_path / "o.vlks").exists()


@pytest.mark.skipif(UNDER_ASAN, reason="pyarrow under the sanitizer runtime")
def test_parquet_that_no_row_path_can_read_is_refused_by_name(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    # (A map column is stored as a dict, as update takes one.)
    maps = pa.array([[("x", 1)]], pa.map_(pa.string(), pa.int64()))
    pq.write_table(pa.table({"k": ["a"], "m": maps}), tmp_path / "maps.parquet")
    velkstore.build_from(tmp_path / "maps.parquet", tmp_path / "maps.vlks", key="k", value="m")
    with velkstore.VelkReader(tmp_path / "maps.vlks") as r:
        assert dict(r) == {"a": {"x": 1}}

    # Text that is not UTF-8 in the third row; a column named twice.
    offsets = pa.py_buffer(b"".join(n.to_bytes(4, "little") for n in (0, 1, 2, 4)))
    text = pa.Array.from_buffers(pa.string(), 3, [None, offsets, pa.py_buffer(b"ab\xff\xfe")])
    pq.write_table(pa.table({"k": ["x", "y", "z"], "v": text}), tmp_path / "bad.parquet")
    pq.write_table(pa.Table.from_arrays([pa.array(["x"]), pa.array([0]), pa.array([1]), pa.array([2])],
                                        names=["k", "v", "a", "a"]), tmp_path / "twice.parquet")
    for name, message in [("bad", "bad.parquet:row 3: not UTF-8 text"), ("twice", "names a column twice: a")]:
        res = run("build", "--key", "k", str(tmp_path / "o.vlks"), str(tmp_path / f"{name}.parquet"))
        assert res.returncode == 4 and message in res.stderr.decode(), res.stderr
        assert not (tmp_path / "o.vlks").exists()
    # Columns a record is not made of may share a name.
    res = run("build", "--key", "k", "--value", "v", str(tmp_path / "o.vlks"), str(tmp_path / "twice.parquet"))
    assert res.returncode == 0, res.stderr


@pytest.mark.parametrize(
    "name, text, args, message",
    [
        ("a.json", '[{"key": "a", "value": 1}]\n', [], "a.json:1: the input starts with '['"),
        ("a.json", '[{"id": "a"}]\n', ["--key", "id"], "JSON Lines (one object per line) is expected"),
        ("a.jsonl", '{"id": "a"}\n\n{"name": "b"}\n', ["--key", "id"], "a.jsonl:3: no field 'id' for the key"),
        ("a.jsonl", '{"id": 1.5}\n', ["--key", "id"], "a.jsonl:1: the key field 'id' is float"),
        ("a.jsonl", '{"id": "a"}\n', ["--key", "id", "--value", "v"], "a.jsonl:1: no field 'v' for the value"),
        ("a.jsonl", '{"id": "a", "v": 123456789012345678901}\n', ["--key", "id"], "a.jsonl:1: an integer outside"),
        ("a.csv", 'id,n\nx,1\n"y\nz",2\nw\n', ["--key", "id"], "a.csv:5: 1 fields, the header has 2"),
        ("a.csv", "id,n\nx,1\ny,two\n", ["--key", "id", "--schema", "n=int"], "a.csv:3: field 'n': invalid literal"),
        ("a.csv", "id,n\nx,1\n", ["--key", "id", "--schema", "m=int"], "a.csv:1: the schema names fields"),
        ("a.csv", 'id,j\nx,"' + "[" * 3000 + "]" * 3000 + '"\n', ["--key", "id", "--schema", "j=json"], "a.csv:2: field 'j'"),
        ("a.jsonl", '{"id": "a", "v": [1, -1e400]}\n', ["--key", "id"], "a.jsonl:1: bad value: the number -1e400 is out"),
        ("a.jsonl", '{"id": "a", "v": [1\n2]}\n{"id": "b"},{"id": "c"}\n', ["--key", "id"], "a.jsonl:1: invalid JSON"),
        pytest.param("a.parquet", "not parquet", ["--key", "id"], "a.parquet: not a Parquet file",
                     marks=pytest.mark.skipif(UNDER_ASAN, reason="pyarrow under the sanitizer runtime")),
    ],
)
def test_bad_records_name_their_place_and_write_nothing(tmp_path, name, text, args, message):
    src = tmp_path / name
    src.write_text(text)
    out = tmp_path / "o.vlks"
    res = run("build", *args, str(out), str(src))
    assert res.returncode == 4, res.stderr
    assert message in res.stderr.decode()
    assert not out.exists()
    if args:
        with pytest.raises(InputError, match=re.escape(message)):
            velkstore.build_from(src, out, key=args[1], value=args[3] if len(args) > 3 and args[2] == "--value" else None,
                                 schema=args[3] if "--schema" in args else None)


def test_output_is_checked_before_the_input_is_opened(tmp_path):
    # The input is a FIFO no one writes to: opening it would block.
    fifo = tmp_path / "in.jsonl"
    os.mkfifo(fifo)
    (tmp_path / "adir").mkdir()
    for out, text in ((tmp_path / "nodir" / "x.vlks", "directory cannot be used"), (tmp_path / "adir", "is a directory")):
        res = run("build", str(out), str(fifo))
        assert res.returncode == 3 and text in res.stderr.decode(), res.stderr
        with pytest.raises(OSError, match=text):
            velkstore.build_from(fifo, out, key="k")


def test_an_input_file_is_never_its_own_output(tmp_path):
    for fmt, src in write_inputs(tmp_path).items():
        before = src.read_bytes()
        res = run("build", "--key", "iata", str(src), str(src))
        assert res.returncode == 2 and "is the input file" in res.stderr.decode(), (fmt, res.stderr)
        with pytest.raises(ValueError, match="is the input file"):
            velkstore.build_from(src, src, key="iata")
        assert src.read_bytes() == before, fmt


def test_usage_errors(tmp_path):
    src = tmp_path / "a.csv"
    src.write_text("id\nx\n")
    for args, text in [
        (["build", "o.vlks", str(src)], "csv input, --value and --schema need --key FIELD"),
        (["build", "--key", "id", "o.vlks", str(tmp_path / "a.dat")], "cannot tell the format"),
        (["build", "--key", "id", "--schema", "n=date", "o.vlks", str(src)], "bad type 'date'"),
        (["build", "--key", "id", "--format", "jsonl", "--schema", "n=int", "o.vlks", str(src)], "CSV and TSV input only"),
    ]:
        res = run(*args)
        assert res.returncode == 2 and text in res.stderr.decode(), (args, res.stderr)


def test_import_loads_only_what_every_path_needs():
    code = ("import sys, velkstore; print(sorted(m for m in ('typing', 'importlib.metadata', 'dataclasses', "
            "'velkstore.sharded', 'velkstore._records', 'csv', 'orjson', 'tqdm', 'velkstore.arrow', 'pyarrow', "
            "'pandas', 'dask', 'pyspark') if m in sys.modules))")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert res.stdout.strip() == "[]", res.stderr
    assert velkstore.__version__.count(".") == 2 and callable(velkstore.build_from)
