"""Arrow lookups (get_many_arrow) and builds from Arrow tables (update_arrow)."""

import datetime

import pytest

from velkstore import ClosedError, LimitError, ShardedReader, ShardedWriter, VelkReader, VelkWriter

pa = pytest.importorskip("pyarrow")

UTC = datetime.timezone.utc
ODD = b"\xff\xfe-not-utf8"  # a key no str spells without escapes
LONG = "k" * 40  # longer than a view's inline 12 bytes
VALUES = {"a": {"x": 1}, "b": [1, 2], LONG: "long", ODD: b"odd", "big": "v" * 5000}
KEY_TYPES = [pa.string(), pa.large_string(), pa.string_view(), pa.binary(), pa.large_binary(), pa.binary_view()]


@pytest.fixture(params=["plain", "zstd", "sharded"])
def store(request, tmp_path):
    if request.param == "sharded":
        with ShardedWriter(tmp_path / "st", 3) as w:
            w.update(VALUES)
        r = ShardedReader(tmp_path / "st")
    else:
        compress = "zstd" if request.param == "zstd" else None
        with VelkWriter(tmp_path / "s.vlks", compress=compress) as w:
            w.update(VALUES)
        r = VelkReader(tmp_path / "s.vlks")
    yield r
    r.close()


def test_lookups_match_get_many_raw_for_every_key_form(store):
    asked = ["a", None, "absent", LONG, "b", "big", "", "a"]
    expect = [None if k is None else store.get_many_raw([k])[0] for k in asked]
    for t in KEY_TYPES:
        keys = pa.array([None if k is None else k.encode() if t in KEY_TYPES[3:] else k for k in asked], t)
        for form in (keys, keys.slice(1), pa.chunked_array([keys.slice(0, 3), keys.slice(3)], t)):
            got = store.get_many_arrow(form)
            assert got.type == pa.binary()
            assert got.to_pylist() == expect[len(asked) - len(form):], (t, form)
    # Keys that are not valid UTF-8, in binary arrays and as bytes.
    assert store.get_many_arrow(pa.array([ODD, b"a"], pa.binary_view())).to_pylist() == store.get_many_raw([ODD, "a"])
    # Python sequences; a str that has no UTF-8 form is absent.
    assert store.get_many_arrow(["b", ODD, "\ud800"]).to_pylist() == store.get_many_raw(["b", ODD, "\ud800"])
    # Another library's array, through the protocol alone.
    wrapped = type("Foreign", (), {"__arrow_c_array__": lambda self, s=None: pa.array(["a"]).__arrow_c_array__()})
    assert store.get_many_arrow(wrapped()).to_pylist() == store.get_many_raw(["a"])
    assert store.get_many_arrow(pa.array(["b", "a", "b"]).dictionary_encode()).to_pylist() == store.get_many_raw(
        ["b", "a", "b"])
    assert len(store.get_many_arrow(pa.array([], pa.string()))) == 0
    with pytest.raises(TypeError, match="string or binary"):
        store.get_many_arrow(pa.array([1, 2]))


def test_a_reader_closed_during_the_call_fails_cleanly(tmp_path):
    with VelkWriter(tmp_path / "s.vlks") as w:
        w.update({"a": 1})
    r = VelkReader(tmp_path / "s.vlks")

    class Closing:  # converting these keys closes the reader first
        def __arrow_c_array__(self, requested_schema=None):
            r.close()
            return pa.array(["a"] * 100).__arrow_c_array__()

    with pytest.raises(ClosedError):
        r.get_many_arrow(Closing())
    with pytest.raises(ClosedError):
        r.get_many_arrow([])
    with ShardedWriter(tmp_path / "st", 2) as w:
        w.update({"a": 1})
    sr = ShardedReader(tmp_path / "st")
    sr.close()
    with pytest.raises(ClosedError):
        sr.get_many_arrow(["a"])


def unaligned(data: bytes):
    """A buffer of data at an odd address, as arrays read from a pickle or
    a message may have them."""
    return pa.py_buffer(b"\x00" + data).slice(1)


def test_arrays_are_read_safely(store):
    # Buffers at odd addresses are read right (the sanitizer run checks how).
    offsets = unaligned(b"".join(i.to_bytes(8, "little") for i in (0, 1, 1, 7)))
    keys = pa.Array.from_buffers(pa.large_string(), 3, [None, offsets, unaligned(b"a" + LONG[:6].encode())])
    assert store.get_many_arrow(keys).to_pylist() == store.get_many_raw(["a", "", LONG[:6]])
    w = VelkWriter()
    w.update_arrow(pa.table({"k": keys, "n": pa.Array.from_buffers(pa.int64(), 3, [None, offsets])}), "k")
    assert w._counts() == (3, 2)  # rows 1 and 2 hold the same map

    # Offsets out of order, and a view past its data buffer: refused, not read.
    n = 3
    bad_offsets = pa.array([0, 5, 2, 4], pa.int32()).buffers()[1]
    data = pa.py_buffer(b"abcdefgh")
    keys = pa.Array.from_buffers(pa.string(), n, [None, bad_offsets, data])
    with pytest.raises(ValueError, match="offsets"):
        store.get_many_arrow(keys)
    # Length 20 at offset 0 of an 8-byte buffer.
    view = (20).to_bytes(4, "little") + b"abcd" + (0).to_bytes(4, "little") + (0).to_bytes(4, "little")
    keys = pa.Array.from_buffers(pa.binary_view(), 1, [None, pa.py_buffer(view), data])
    with pytest.raises(ValueError, match="outside"):
        store.get_many_arrow(keys)


def scalar_table():
    """Every value type update_arrow stores, with nulls, edge values and
    every width of each MessagePack form."""
    ts = [datetime.datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC),  # before the epoch, fractional
          datetime.datetime(2020, 5, 1, tzinfo=UTC),  # 32-bit seconds
          datetime.datetime(2130, 1, 1, 0, 0, 0, 1, tzinfo=UTC),  # past 32 bits, with a fraction
          datetime.datetime(2600, 1, 1, tzinfo=UTC),  # past 34 bits
          None]
    n = len(ts)
    return pa.table({
        "id": pa.array([f"row{i}" for i in range(n)], pa.large_string()),
        "i8": pa.array([-128, -33, -32, 127, None], pa.int8()),
        "i64": pa.array([-2**63, -2**31 - 1, 2**32, 2**63 - 1, None], pa.int64()),
        "u64": pa.array([0, 255, 65536, 2**64 - 1, None], pa.uint64()),
        "u16": pa.array([1, 128, 256, 65535, 7], pa.uint16()),
        "f32": pa.array([1.1, -0.0, float("inf"), None, 3.5], pa.float32()),
        "f64": pa.array([0.1, None, -1e300, 2.0, 5.0], pa.float64()),
        "flag": pa.array([True, False, None, True, False]),
        "text": pa.array(["", "é" * 20, "x" * 300, None, "y" * 70000], pa.string()),
        "view": pa.array(["short", None, "a longer string view", "z", ""], pa.string_view()),
        "blob": pa.array([b"", b"\x00\xff", None, b"b" * 256, b"c"], pa.large_binary()),
        "s": pa.array(ts, pa.timestamp("s", tz="UTC")).cast(pa.timestamp("s", tz="UTC"), safe=False),
        "ms": pa.array(ts, pa.timestamp("ms", tz="Europe/Paris")).cast(pa.timestamp("ms", tz="Europe/Paris"),
                                                                       safe=False),
        "us": pa.array(ts, pa.timestamp("us", tz="UTC")),
        "nothing": pa.nulls(n),
    })


def as_dicts(table, key="id"):
    return {row.pop(key): row for row in table.to_pylist()}


def test_update_arrow_stores_what_update_stores(tmp_path):
    table = scalar_table()
    keys = table.column("id").to_pylist()
    with VelkWriter(tmp_path / "dicts.vlks") as w:
        w.update(as_dicts(table))
    with VelkWriter(tmp_path / "arrow.vlks") as w:
        w.update_arrow(table, "id")
    with ShardedWriter(tmp_path / "st", 2) as w:
        w.update_arrow(table, "id")
    with VelkReader(tmp_path / "dicts.vlks") as want, VelkReader(tmp_path / "arrow.vlks") as got, \
            ShardedReader(tmp_path / "st") as sharded:
        assert got.get_many_raw(keys) == want.get_many_raw(keys)
        assert sharded.get_many_raw(keys) == want.get_many_raw(keys)
    # Nanoseconds are kept, as a timestamp of a datetime cannot be.
    ns = pa.table({"k": ["a"], "t": pa.array([-1], pa.timestamp("ns", tz="UTC"))})
    w = VelkWriter()
    w.update_arrow(ns, "k")
    w.build(tmp_path / "ns.vlks")
    assert VelkReader(tmp_path / "ns.vlks").get_raw("a") == b"\x81\xa1t\xc7\x0c\xff" + (999999999).to_bytes(
        4, "big") + (-1).to_bytes(8, "big", signed=True)


def test_update_arrow_single_and_raw_columns(tmp_path):
    table = pa.table({"k": pa.array([b"\xff", b"b"]), "v": pa.array([b"\x92\x01\x02", b"\xc0"]),
                      "n": pa.array([7, None], pa.int32())}).to_batches()[0]  # a RecordBatch
    w = VelkWriter()
    w.update_arrow(table, "k", ["n"])
    w.update_arrow(table.slice(1), "k", value_column="n")
    w.update_arrow(table.slice(0, 1), "k", value_column="v", raw=True)
    w.build(tmp_path / "s.vlks")
    with VelkReader(tmp_path / "s.vlks") as r:
        assert r.get_many([b"\xff", b"b"]) == [[1, 2], None]


def test_update_arrow_refuses_what_it_cannot_store(tmp_path):
    keys = pa.array(["a", "b"])
    bad_text = pa.Array.from_buffers(pa.string(), 1, [None, pa.array([0, 2], pa.int32()).buffers()[1],
                                                      pa.py_buffer(b"\xc3\x28")])
    cases = [
        (pa.table({"k": ["a", None], "v": [1, 2]}), {}, ValueError, "null in row 1"),
        (pa.table({"k": keys, "t": pa.array([0, 1], pa.timestamp("us"))}), {}, TypeError, "without a time zone"),
        (pa.table({"k": keys, "d": pa.array([0, 1], pa.date32())}), {}, TypeError, "'d' has Arrow type date32"),
        (pa.table({"k": keys, "l": [[1], [2]]}), {}, TypeError, "'l' has Arrow type list"),
        (pa.table({"k": keys, "c": pa.array(["x", "y"]).dictionary_encode()}), {}, TypeError, "dictionary"),
        (pa.table({"k": [1, 2], "v": [1, 2]}), {}, TypeError, "key column 'k' must hold strings"),
        (pa.table({"k": keys, "v": ["x", "y"]}), {"value_column": "v", "raw": True}, TypeError, "binary"),
        (pa.table({"k": keys, "v": [1, 2]}), {"value_columns": ["w"]}, ValueError, "not a column"),
        (pa.table({"k": keys, "v": [1, 2]}), {"raw": True}, TypeError, "value_column"),
        (pa.table({"k": ["a"], "v": bad_text}), {}, ValueError, "not valid UTF-8"),
        (pa.table({"k": ["x" * 70000], "v": [1]}), {}, LimitError, "exceeds the limit"),
    ]
    for table, kwargs, exc, text in cases:
        w = VelkWriter()
        with pytest.raises(exc, match=text):
            w.update_arrow(table, "k", **kwargs)
        assert w._counts() == (0, 0), text  # nothing staged
