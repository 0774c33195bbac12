"""VelkWriter: update from every kind of pairs, values encoded exactly as
MessagePack encodes them, one copy of equal values, nothing left of a
rebound value, and builds that report what they wrote."""

import datetime
import math
import os
import threading
import types
import zlib

import msgpack
import pytest

from velkstore import BusyError, ClosedError, LimitError, VelkReader, VelkWriter


def read_all(path):
    with VelkReader(path) as r:
        return dict(r.items()), r.stats()


def test_update_takes_every_kind_of_pairs(tmp_path):
    w = VelkWriter()
    w.update({"a": 1, b"b": [2]})
    w.update((k, v) for k, v in [("c", 3), ("d", {"x": None})])
    w.update([["e", 5]])
    w.update(types.MappingProxyType({"f": 6}))
    w.update_raw({"g": msgpack.packb(7), "h": bytearray(msgpack.packb(8))})
    w.update_raw([("i", memoryview(msgpack.packb(9)))])
    info = w.build(tmp_path / "u.vlks")
    items, _ = read_all(tmp_path / "u.vlks")
    assert items == {"a": 1, "b": [2], "c": 3, "d": {"x": None}, "e": 5, "f": 6, "g": 7, "h": 8, "i": 9}
    assert info.num_keys == 9
    # The reader is a Mapping: it feeds another writer directly.
    w2 = VelkWriter()
    with VelkReader(tmp_path / "u.vlks") as r:
        w2.update(r)
    w2.build(tmp_path / "u2.vlks")
    assert read_all(tmp_path / "u2.vlks")[0] == items

    bad = [
        (lambda: w.update([("a", 1, 2)]), ValueError, "pairs"),
        (lambda: w.update([5]), TypeError, "pairs"),
        (lambda: w.update_raw({"a": "text"}), TypeError, "raw value must be bytes"),
        (lambda: w.update({"k" * 70000: 1}), LimitError, "exceeds the limit of 65535"),
        (lambda: w.add_many(["ok", b"y" * 70000], "v"), LimitError, "exceeds"),
    ]
    for call, exc, text in bad:
        with pytest.raises(exc, match=text):
            call()
    assert w._counts()[0] == 9  # nothing of a rejected add_many was staged


def test_update_stages_each_pair_before_it_takes_the_next(tmp_path):
    # What the iterable's own code sees of the writer, mid-update: every
    # pair before staged, in counts, in a build, to an update and a close.
    w = VelkWriter()
    seen = []

    def pairs():
        for i in range(6):
            if i == 3:
                w.build(tmp_path / "mid.vlks")
                w.update({"inner": 3})
            seen.append(w._counts())  # (keys, objects)
            yield f"k{i}", {"v": i % 2}  # two distinct values
        yield "k0", "last"
        raise RuntimeError("source failed")

    with pytest.raises(RuntimeError, match="source failed"):
        w.update(pairs())
    assert seen == [(0, 0), (1, 1), (2, 2), (4, 3), (5, 3), (6, 3)]
    assert w._counts() == (7, 4)
    assert read_all(tmp_path / "mid.vlks")[0] == {"k0": {"v": 0}, "k1": {"v": 1}, "k2": {"v": 0}}
    w.build(tmp_path / "end.vlks")
    assert read_all(tmp_path / "end.vlks")[0] == {
        "k0": "last", "k1": {"v": 1}, "k2": {"v": 0}, "k3": {"v": 1}, "k4": {"v": 0}, "k5": {"v": 1}, "inner": 3}

    # A pair that fails leaves the one before it staged, whatever fails.
    for bad, exc in [(("k" * 70000, 2), LimitError), (("b", {1, 2}), TypeError), (5, TypeError)]:
        w = VelkWriter()
        with pytest.raises(exc):
            w.update([("a", 1), bad])
        assert w._counts() == (1, 1), bad

    def closing():
        yield "a", 1
        w.close()
        yield "b", 2

    w = VelkWriter()
    with pytest.raises(ClosedError):
        w.update(closing())
    assert w.closed
    # A closed writer refuses every call, an empty one too, and add_many
    # checks its value even with no keys.
    for call in (lambda: w.add_many([], 1), lambda: w.update([]), lambda: w.update({}), lambda: w.update_raw([]),
                 lambda: w._update_rows(["k"], [], 0, -1)):
        with pytest.raises(ClosedError):
            call()
    with pytest.raises(TypeError):
        VelkWriter().add_many([], {1, 2})


def test_a_pair_or_row_emptied_while_its_value_encodes_keeps_its_key(tmp_path):
    # The value's own code empties the list that holds the key, dropping
    # the key's last reference: the key staged is still the one given.
    holder = []

    class Emptying(list):
        def __iter__(self):
            holder.pop().clear()
            holder.append(["".join(["Z" * 41, str(i)]) for i in range(2000)])  # takes the freed memory
            return super().__iter__()

    key = "".join(["user:", "1" * 40])
    pair = [key, Emptying([1])]
    del key
    holder.append(pair)
    w = VelkWriter()
    w.update([pair])
    row = ["".join(["row:", "2" * 40]), Emptying([2]), "tail"]
    holder[:] = [row]
    w._update_rows(["key", "a", "b"], [row], 0, -1)

    # A row whose value (a column of its own) replaces the row's key: the
    # key lives until it is staged (the writer's key count when it goes).
    class Replacing(datetime.tzinfo):
        def utcoffset(self, dt):
            rows[0][0] = "replacement"
            return datetime.timedelta(0)

        def dst(self, dt):
            return None

    keys_when_freed = []

    class Key(str):
        def __del__(self):
            keys_when_freed.append(w._counts()[0])

    rows = [[Key("k" * 3000), datetime.datetime(2020, 1, 1, tzinfo=Replacing())]]
    w._update_rows(["k", "v"], rows, 0, 1)
    assert keys_when_freed == [3]
    w.build(tmp_path / "e.vlks")
    stored = read_all(tmp_path / "e.vlks")[0]
    assert stored.pop("k" * 3000).tzinfo is not None
    assert stored == {"user:" + "1" * 40: [1], "row:" + "2" * 40: {"key": "row:" + "2" * 40, "a": [2], "b": "tail"}}


def nested(depth):
    value = [0]
    for _ in range(depth):
        value = {"k": [value]}
    return value


def test_values_are_encoded_exactly_as_msgpack_does(tmp_path):
    values = [None, True, False, 0, 1, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1,
              2**63, 2**64 - 1, -1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63),
              0.0, -0.0, 1.5, math.inf, math.nan, 1e300, "", "a" * 31, "a" * 32, "é" * 200, "x" * 256,
              "y" * 65535, "z" * 65536, b"", b"\x00" * 255, b"\x01" * 256, b"\x02" * 65536, [1, "a"], {"k": b"v"},
              {"a": [1, (2, "x"), {"b": None}], 5: 1.5, b"k": [], (1, "t"): {}}, list(range(15)), list(range(16)),
              {str(i): i for i in range(15)}, {str(i): i for i in range(16)}, tuple(range(70000)),
              nested(40)]
    w = VelkWriter()
    w.update((f"v{i}", v) for i, v in enumerate(values))
    w.build(tmp_path / "p.vlks")
    with VelkReader(tmp_path / "p.vlks") as r:
        for i, v in enumerate(values):
            assert r.get_raw(f"v{i}") == msgpack.packb(v, use_bin_type=True), v
    # A datetime subclass with a time zone is the same point in time.
    class Moment(datetime.datetime):
        pass

    utc = datetime.timezone.utc
    w.add("moment", [Moment(1969, 7, 20, 20, 17, 40, 5, tzinfo=utc)])
    w.build(tmp_path / "m.vlks")
    with VelkReader(tmp_path / "m.vlks") as r:
        assert r.get_raw("moment") == msgpack.packb([datetime.datetime(1969, 7, 20, 20, 17, 40, 5, tzinfo=utc)],
                                                   datetime=True)
    for v in ([1, {2, 3}], {"ok": 1, "big": 2**70}):  # a part no encoder takes fails the whole value
        with pytest.raises((TypeError, OverflowError)):
            w.add("bad", v)
    for v in (2**64, -(2**63) - 1, "\ud800", {1, 2}):
        with pytest.raises((OverflowError, TypeError, UnicodeEncodeError, ValueError)):
            w.add("bad", v)


def test_equal_values_stored_once_and_rebound_values_dropped(tmp_path):
    big = os.urandom(1 << 20)
    w = VelkWriter()
    w.add("a", big)
    w.update({"b": big, "c": big, "d": 1})
    w.add("a", 1)  # rebinds: its 1 MiB value is still named by b and c
    w.update({"b": 2, "c": 2})  # now nothing names it
    info = w.build(tmp_path / "d.vlks")
    items, stats = read_all(tmp_path / "d.vlks")
    assert items == {"a": 1, "b": 2, "c": 2, "d": 1}
    assert (info.num_objects, stats["num_objects"]) == (2, 2)
    data = (tmp_path / "d.vlks").read_bytes()
    # A few hundred bytes: records, the lookup index, no 1 MiB value.
    assert info.file_size == stats["file_size"] == len(data) < 1000
    assert info.file_crc32 == stats["file_crc32"] == zlib.crc32(data[40:])
    with VelkReader(tmp_path / "d.vlks") as r:
        assert r.verify() is True


def test_a_writer_cannot_change_while_it_builds(tmp_path):
    w = VelkWriter()
    w.update_raw((b"k%08d" % i, b"\x01" * 100) for i in range(300_000))
    refused, changed = [], []
    builder = threading.Thread(target=lambda: w.build(tmp_path / "b.vlks"))
    builder.start()
    while builder.is_alive():
        try:
            w.add("late", 1)
            changed.append(True)
        except BusyError as exc:
            refused.append(exc)
    builder.join()
    # Every add either came before or after the build, or was refused whole.
    with VelkReader(tmp_path / "b.vlks") as r:
        assert len(r) in (300_000, 300_001)
    assert isinstance(BusyError("x"), RuntimeError)
    w.close()
    assert w.closed and repr(w) == "<VelkWriter closed>"
