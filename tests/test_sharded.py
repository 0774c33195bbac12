"""Sharded stores on one machine: ShardedWriter, ShardedReader, the manifest,
the key hash and open_store."""

import array
import json
import os
import pathlib
import pickle
import re
import subprocess
import sys
import tracemalloc

import pytest

import velkstore
from velkstore import (
    CorruptError,
    ShardedReader,
    ShardedWriter,
    ShardNotOpenError,
    VelkError,
    VelkReader,
    VersionError,
    open_store,
    shard_of,
)

MANIFEST = "velkstore-manifest.json"


def build(directory, pairs, num_shards=4, **kw):
    with ShardedWriter(directory, num_shards, **kw) as w:
        w.update(pairs)
    return directory


def manifest(directory):
    return json.loads((directory / MANIFEST).read_text())


def visible_files(directory):
    return sorted(p.name for p in directory.iterdir())


def test_key_hash_is_pinned():
    # Stores written anywhere must place keys the same way everywhere: these
    # are XXH3-64 values, not something this build happens to compute.
    assert [shard_of(k, 1 << 64) for k in (b"", b"user:1", "café".encode())] == [
        0x2D06800538D394C2,
        0x3B577AFD7FED9501,
        0x4C83DBD5F29D367F,
    ]
    assert shard_of(b"user:1", 1 << 64, seed=7) == 0x4871460D0200F525
    assert shard_of(b"user:1", 8) == 1
    # Counts and seeds as the rest of the package takes them.
    for args, exc in [((True,), TypeError), ((4, True), ValueError), ((4, -1), ValueError), ((4, 1 << 64), ValueError),
                      ((4, "7"), ValueError), ((0,), ValueError)]:
        with pytest.raises(exc):
            shard_of(b"user:1", *args)


def test_staging_stays_near_the_spill_threshold_with_large_values(tmp_path):
    value = "x" * (64 << 10)
    with ShardedWriter(tmp_path / "st", 4, spill_bytes=1 << 20) as w:
        tracemalloc.start()
        try:
            w.update((f"k{i}", value) for i in range(300))  # 19 MiB of values
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert peak < 8 << 20
    with ShardedReader(tmp_path / "st") as r:
        assert len(r) == 300 and r["k299"] == value


def test_round_trip_with_spills_rebinding_and_empty_shards(tmp_path):
    d = tmp_path / "st"
    model = {f"k{i:05d}": {"i": i, "pad": "x" * (i % 50)} for i in range(3000)}
    model[b"\xff\xfenot-utf8".decode("utf-8", "surrogateescape")] = b"bin"
    with ShardedWriter(d, 5, spill_bytes=2000) as w:  # spills every few dozen pairs
        w.update(model)
        for i in range(0, 3000, 7):  # rebinding after the first values were spilled
            model[f"k{i:05d}"] = ["again", i]
            w.add(f"k{i:05d}", ["again", i])
        w.add_raw("raw", array.array("B", b"\xa3abc"))  # any bytes-like value, as VelkWriter takes
        model["raw"] = "abc"
    with ShardedReader(d) as r:
        assert len(r) == len(model)
        assert list(r) == sorted(model, key=lambda k: k.encode("utf-8", "surrogateescape"))
        assert dict(r.items()) == model
        assert r.get_many(["k00007", "absent", "raw", "k00008"], 0) == [["again", 7], 0, "abc", model["k00008"]]
        assert r.get_many_raw(["raw", "nope"]) == [b"\xa3abc", None]
        assert [k for k, _ in r.prefix("k0299")] == [f"k0299{i}" for i in range(10)]
        assert [k for k, _ in r.range("k02998", "k03")] == ["k02998", "k02999"]
        assert list(r.keys_bytes(start=b"raw")) == [b"raw", b"\xff\xfenot-utf8"]
        assert r.stats()["num_keys"] == len(model) and r.verify()
    # Every shard is a store of its own holding exactly the keys that hash
    # to it, and a directory with more shards than keys gets empty ones.
    m = manifest(d)
    for i, entry in enumerate(m["shards"]):
        with VelkReader(d / entry["file"]) as shard:
            assert all(shard_of(k, 5) == i for k in shard.keys_bytes())
            assert len(shard) == entry["num_keys"]
    build(tmp_path / "few", {"a": 1}, num_shards=3)
    with ShardedReader(tmp_path / "few") as r:
        assert dict(r) == {"a": 1} and len(r.stats()["shards"]) == 3


def test_a_bad_pair_stages_the_pairs_before_it_only(tmp_path):
    with ShardedWriter(tmp_path / "st", 2) as w:
        with pytest.raises(TypeError):
            w.update([("a", 1), (3, 2), ("c", 3)])
        with pytest.raises(TypeError):
            w.add("d", {1, 2})  # not MessagePack
        with pytest.raises(ValueError):
            w.add("x" * 70000, 1)
    with ShardedReader(tmp_path / "st") as r:
        assert dict(r) == {"a": 1}


def test_rebuild_replaces_the_store_and_a_failed_build_leaves_the_old_one(tmp_path, monkeypatch):
    d = tmp_path / "st"
    build(d, {"old": 1})
    old_files = visible_files(d)
    # A build failing after its first shard: the previous store stays whole
    # and the failed build's files go.
    import velkstore.sharded.writer as sw

    real, calls = sw.build_shard, []

    def failing(*args):
        calls.append(1)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return real(*args)

    monkeypatch.setattr(sw, "build_shard", failing)
    w = ShardedWriter(d, 4)
    w.update({"new": 2})
    with pytest.raises(OSError, match="No space"):
        w.build()
    assert w.closed and visible_files(d) == old_files and not any(d.glob(".velkstore-build-*"))
    monkeypatch.undo()
    # An abandoned writer or a raising with-block leaves nothing either.
    with pytest.raises(RuntimeError):
        with ShardedWriter(d, 4) as w2:
            w2.add("x", 1)
            raise RuntimeError
    del w2
    assert not any(d.glob(".velkstore-build-*"))
    with ShardedReader(d) as r:
        assert dict(r) == {"old": 1}
    # A good build replaces it and removes the old shards.
    build(d, {"new": 2}, num_shards=2)
    assert len(visible_files(d)) == 3 and not set(old_files[:-1]) & set(visible_files(d))
    with ShardedReader(d) as r:
        assert dict(r) == {"new": 2}


CRASH = """
import os, sys
import velkstore.sharded.writer as sw
real = sw.build_shard
def crash(*args):
    if args[1].startswith("shard-00002"):
        os._exit(9)  # the process dies half way through the shards
    return real(*args)
sw.build_shard = crash
with sw.ShardedWriter(sys.argv[1], 4) as w:
    w.update((f"new{i}", i) for i in range(100))
"""


def test_a_process_killed_mid_build_leaves_the_previous_store(tmp_path):
    d = tmp_path / "st"
    build(d, {f"old{i}": i for i in range(50)})
    before = (d / MANIFEST).read_bytes()
    proc = subprocess.run([sys.executable, "-c", CRASH, str(d)], capture_output=True)
    assert proc.returncode == 9
    assert (d / MANIFEST).read_bytes() == before
    with ShardedReader(d) as r:
        assert r.verify() and dict(r) == {f"old{i}": i for i in range(50)}


def test_reader_refuses_shards_and_manifests_that_disagree(tmp_path):
    a = build(tmp_path / "a", {f"k{i}": f"a{i:04d}" for i in range(200)}, num_shards=2)
    b = build(tmp_path / "b", {f"k{i}": f"b{i:04d}" for i in range(200)}, num_shards=2)
    ma, mb = manifest(a), manifest(b)
    shard0 = a / ma["shards"][0]["file"]
    original = shard0.read_bytes()

    def check(verify, match):
        with pytest.raises(CorruptError, match=match):
            ShardedReader(a, verify=verify)

    # Same size and key count, other content: only the CRC tells them apart,
    # and it does so without the verifying open too.
    (b / mb["shards"][0]["file"]).replace(shard0)
    check(False, "file CRC-32")
    check(True, "CRC")
    shard0.write_bytes(original[:-1])  # truncated
    check(True, None)
    shard0.write_bytes(original)
    with ShardedReader(a) as r:
        assert r.verify()

    def tamper(change):
        doc = json.loads(json.dumps(ma))
        change(doc)
        (a / MANIFEST).write_text(json.dumps(doc))

    for change, error in [
        (lambda m: m["shards"][0].update(file="../b/" + mb["shards"][0]["file"]), CorruptError),
        (lambda m: m["shards"][1].update(file=m["shards"][0]["file"]), CorruptError),
        (lambda m: m.update(num_shards=3), CorruptError),
        (lambda m: m["shards"][0].update(size=-1), CorruptError),
        (lambda m: m.update(hash="crc32"), CorruptError),
        (lambda m: m.update(version=2), VersionError),
    ]:
        tamper(change)
        with pytest.raises(error):
            ShardedReader(a)
    (a / MANIFEST).write_bytes(b"\x00not json")
    with pytest.raises(CorruptError, match="manifest"):
        ShardedReader(a)
    (a / MANIFEST).unlink()
    with pytest.raises(FileNotFoundError) as info:
        ShardedReader(a)
    assert isinstance(info.value, VelkError) and info.value.filename == os.path.join(a, MANIFEST)


def test_subset_of_shards(tmp_path):
    d = build(tmp_path / "st", {f"k{i}": i for i in range(400)}, num_shards=4)
    mine = [k for k in (f"k{i}" for i in range(400)) if shard_of(k.encode(), 4) in (1, 3)]
    other = next(k for k in (f"k{i}" for i in range(400)) if shard_of(k.encode(), 4) == 0)
    with ShardedReader(d, shards=[3, 1, 3]) as r:
        assert r.shards == (1, 3) and len(r) == len(mine)
        assert list(r) == sorted(mine) and r.get_many(mine) == [int(k[1:]) for k in mine]
        for ask in (lambda: r[other], lambda: r.get_raw(other), lambda: other in r, lambda: r.get_many([other])):
            with pytest.raises(ShardNotOpenError):
                ask()
        again = pickle.loads(pickle.dumps(r))
        assert again.shards == (1, 3) and again[mine[0]] == int(mine[0][1:])
        again.close()
    for bad, error in [([4], ValueError), ([-1], ValueError), (["1"], TypeError)]:
        with pytest.raises(error):
            ShardedReader(d, shards=bad)
    # One open on every shard pickles as the store: after a rebuild with
    # more shards it reopens them all.
    blob = pickle.dumps(ShardedReader(d))
    build(d, {"x": 1, "y": 2}, num_shards=6)
    with pickle.loads(blob) as again:
        assert again.shards == tuple(range(6)) and dict(again) == {"x": 1, "y": 2}


def test_open_store_picks_the_reader(tmp_path):
    d = build(tmp_path / "st", {"a": 1})
    single = tmp_path / "one.vlks"
    velkstore.VelkWriter(single).__exit__(None, None, None)
    for path, kind in [(d, ShardedReader), (d / MANIFEST, ShardedReader), (os.fsencode(d), ShardedReader), (single, VelkReader)]:
        with open_store(path) as r:
            assert type(r) is kind
    with pytest.raises(FileNotFoundError):
        open_store(tmp_path / "missing")


def test_cli_reads_a_sharded_directory_as_it_reads_one_file(tmp_path, capsys):
    from velkstore.cli import main

    pairs = {f"k{i:03d}": {"i": i} for i in range(60)} | {"p:x": [1], "p:y": None}
    d = build(tmp_path / "st", pairs, num_shards=3)
    single = tmp_path / "one.vlks"
    with velkstore.VelkWriter(single) as w:
        w.update(pairs)
    capsys.readouterr()
    for argv in (["get", "k007"], ["get", "p:x"], ["dump"], ["dump", "--prefix", "k05"]):
        assert main([argv[0], str(single), *argv[1:]]) == 0
        expected = capsys.readouterr().out
        assert main([argv[0], str(d), *argv[1:]]) == 0
        assert capsys.readouterr().out == expected, argv
    assert main(["verify", str(d)]) == 0 and "62 keys" in capsys.readouterr().out
    assert main(["info", "--json", str(d)]) == 0
    assert json.loads(capsys.readouterr().out)["num_keys"] == 62
    assert main(["get", str(d), "absent"]) == 1
    capsys.readouterr()
    name = manifest(d)["shards"][1]["file"]
    (d / name).write_bytes(b"VLKS" + bytes(100))
    assert main(["verify", str(d)]) == 1 and name in capsys.readouterr().err


def test_commit_shards_of_files_built_elsewhere(tmp_path):
    d = tmp_path / "st"
    d.mkdir()
    pairs = {f"k{i}": i for i in range(300)}
    names = []
    for i in range(3):  # as three workers would, each on its own disk
        with velkstore.VelkWriter(d / f"part{i}.vlks") as w:
            w.update({k: v for k, v in pairs.items() if shard_of(k.encode(), 3) == i})
        names.append(f"part{i}.vlks")
    with pytest.raises(CorruptError, match="belongs to shard"):
        velkstore.commit_shards(d, [names[1], names[0], names[2]])  # misplaced keys
    assert not (d / MANIFEST).exists()
    for bad, error in [(["../x.vlks"] * 3, ValueError), ([names[0]] * 3, ValueError)]:
        with pytest.raises(error):
            velkstore.commit_shards(d, bad)
    assert velkstore.commit_shards(d, names).num_keys == 300
    with ShardedReader(d) as r:
        assert dict(r) == pairs


def test_native_split_and_lookups_place_keys_as_the_key_hash_does(tmp_path):
    # The batch splitter of the writers and the lookups of the reader hash
    # natively; both must agree with shard_of on every kind of key and seed,
    # or stores would be written to one shard and looked up in another.
    import msgpack

    from velkstore.sharded.build import PAIR_OVERHEAD, Splitter, pack_chunk

    sizes = [0, 1, 15, 16, 255, 256, 65535, 65536, 70000]
    big = [bytes([i % 251]) * size for i, size in enumerate(sizes)]
    for many in (big, big * 2, [b"x"] * 65536):  # array and bin headers of every width
        assert pack_chunk(many, many[::-1]) == msgpack.packb([many, many[::-1]], use_bin_type=True)

    odd = b"\xff\xfe".decode("utf-8", "surrogateescape")
    texts = ["a", "user:1", "café", "日本語", "\U0001f600", "x" * 300, odd]
    texts += [f"key:{i:010d}" for i in range(200)]
    blobs = [b"", b"\x00", b"\xff\xfe\xfd", bytes(range(256))]
    for seed, n in [(0, 1), (0, 8), (7, 3), ((1 << 64) - 1, 13), (123456789, 1000)]:
        pairs = [(k, {"k": i}) for i, k in enumerate(texts)]
        pairs += [(form(b), i) for i, b in enumerate(blobs) for form in (bytes, bytearray, memoryview)]
        sp = Splitter(n, seed)
        sp.add_pairs(pairs)
        stored = [(k.encode("utf-8", "surrogateescape") if isinstance(k, str) else bytes(k), v) for k, v in pairs]
        for i in range(n):
            mine = [(kb, v) for kb, v in stored if shard_of(kb, n, seed) == i]
            assert sp.keys[i] == [kb for kb, _ in mine], (seed, n, i)
            assert sp.raws[i] == [msgpack.packb(v, use_bin_type=True) for _, v in mine]
        assert sp.pending == sum(len(kb) + len(msgpack.packb(v)) + PAIR_OVERHEAD for kb, v in stored)
        # Spill chunks are packed natively too: the same bytes as msgpack's.
        for k in range(n):
            assert pack_chunk(sp.keys[k], sp.raws[k]) == msgpack.packb([sp.keys[k], sp.raws[k]], use_bin_type=True)

        d = tmp_path / f"st-{seed}-{n}"
        with ShardedWriter(d, n, seed=seed) as w:
            w.update_raw((k, b"v" + bytes(k)) for k in blobs)
            w.update_raw((k, b"t" + k.encode("utf-8", "surrogateescape")) for k in texts)
        with ShardedReader(d) as r:
            for k in texts + blobs + [bytearray(b"\xff\xfe\xfd"), memoryview(b"\x00")]:
                kb = k.encode("utf-8", "surrogateescape") if isinstance(k, str) else bytes(k)
                assert r.get_raw(k) == (b"t" if isinstance(k, str) else b"v") + kb and k in r
            assert "absent" not in r and b"missing" not in r
            asked = texts[::-1] + ["absent", "\ud800", b"missing"] + blobs
            assert r.get_many_raw(asked) == [r.get_raw(k) for k in asked]
            assert r.get_many_raw(iter(blobs)) == [b"v" + b for b in blobs] and r.get_many_raw([]) == []
            with pytest.raises(TypeError, match="key must be str or bytes"):
                r.get_many_raw(["a", 5])
        if n > 1:
            # Keys of a shard not opened raise, from both lookups, and the
            # open shard still answers.
            open_one = shard_of(b"user:1", n, seed)
            closed_key = next(k for k in texts if shard_of(k.encode("utf-8", "surrogateescape"), n, seed) != open_one)
            with ShardedReader(d, shards=[open_one]) as r:
                assert r.get_raw("user:1") == b"tuser:1"
                assert r.get_many_raw(["user:1", "\ud800"]) == [b"tuser:1", None]
                for ask in (lambda: r.get_raw(closed_key), lambda: r.get_many_raw(["user:1", closed_key])):
                    with pytest.raises(ShardNotOpenError, match="which this reader did not open"):
                        ask()
    with pytest.raises(velkstore.ClosedError):
        r.get_raw("a")
    with pytest.raises(velkstore.ClosedError):
        r.get_many_raw(["a"])


def test_every_read_agrees_with_one_store_of_the_same_pairs(tmp_path):
    # Scans are merged natively across the shards (any number of them, some
    # empty or not open, bounds falling anywhere) and lookups are routed
    # natively: both must answer exactly as one store file would.
    odd = b"\xff\xfe".decode("utf-8", "surrogateescape")
    pairs = {f"{p}{i:03d}": {"i": i} for p in ("a:", "ab", "b:", "zz") for i in range(150)}
    pairs |= {"": 0, "a": [1], odd: b"bin", "a:\x00": None}
    single = tmp_path / "one.vlks"
    with velkstore.VelkWriter(single) as w:
        w.update(pairs)
    absent = ["a:999", "", "\ud800", b"zz149", bytearray(b"b:007"), "nope"]
    with VelkReader(single) as one:
        for n, shards in [(1, None), (2, None), (7, None), (40, None), (7, [0, 3, 6])]:
            d = build(tmp_path / f"st{n}-{shards}", pairs, num_shards=n)
            with ShardedReader(d, shards=shards) as r:
                kept = {k: v for k, v in pairs.items() if shards is None or shard_of(k, n) in shards}
                assert list(r) == sorted(kept, key=lambda k: k.encode("utf-8", "surrogateescape"))
                assert dict(r.items()) == kept and list(r.values()) == [kept[k] for k in r]
                # The keys this reader can answer for ("\ud800" has no shard: absent).
                mine = [k for k in [*pairs, *absent] if k == "\ud800" or shard_of(k, n) in (shards or range(n))]
                assert r.get_many(mine, 5) == [kept.get(k, 5) if isinstance(k, str) else one.get(k, 5) for k in mine]
                assert [r.get(k, 5) for k in mine] == r.get_many(mine, 5)
                assert [k in r for k in mine] == [r.get_raw(k) is not None for k in mine]
                if shards is not None:
                    continue
                for method, args in [
                    ("prefix", ("a",)), ("prefix", ("ab1",)), ("prefix", ("",)), ("prefix", ("q",)),
                    ("prefix_raw", ("b:",)), ("prefix", ("\udcff",)), ("range", ("a:", "b:")),
                    ("range", (None, "ab")), ("range_raw", ("b:100", None)), ("range", ("zz", "a")),
                    ("keys_bytes", (b"a", b"a:05", b"ab")), ("items_bytes", (b"", b"a:148", None)),
                    ("items_raw", ()),
                ]:
                    assert list(getattr(r, method)(*args)) == list(getattr(one, method)(*args)), (n, method, args)
                assert r.get_many_raw(absent + list(pairs)) == one.get_many_raw(absent + list(pairs))
                assert [r[k] for k in pairs] == [one[k] for k in pairs]
                with pytest.raises(KeyError):
                    r["a:999"]
                assert 5 not in r
                scan = r.items_bytes()
                first = next(scan)
            # A scan outlives the reader's close; new reads do not.
            assert [first, *scan] == list(one.items_bytes())
            for closed in (lambda: r.get("a"), lambda: r["a"], lambda: "a" in r, lambda: r.get_many(["a"]), lambda: list(r)):
                with pytest.raises(velkstore.ClosedError):
                    closed()


def test_batch_lookups_larger_than_a_routing_part_agree_with_one_store(tmp_path):
    # A large batch is routed a part of a few thousand keys at a time; every
    # answer must land in its place, compressed values must outlive the part
    # they were decompressed in, and a shard not open must still raise.
    pairs = {f"k{i:05d}": {"i": i, "pad": "y" * (i % 40)} for i in range(9000)}
    asked = [k for i, k in enumerate(pairs) if i % 3] + [f"gone{i}" for i in range(3000)] + ["\ud800", b"k00004"]
    asked = asked[::2] + asked[1::2]
    single = tmp_path / "one.vlks"
    with velkstore.VelkWriter(single, compress="zstd") as w:
        w.update(pairs)
    with VelkReader(single) as one:
        for n in (3, 4):
            d = build(tmp_path / f"st{n}", pairs, num_shards=n, compress="zstd")
            with ShardedReader(d) as r:
                assert r.get_many(asked, -1) == one.get_many(asked, -1)
                assert r.get_many_raw(asked) == one.get_many_raw(asked)
            with ShardedReader(d, shards=[0, 2]) as r:
                mine = [k for k in asked if k == "\ud800" or shard_of(k, n) in (0, 2)]
                assert r.get_many(mine, -1) == one.get_many(mine, -1)
                with pytest.raises(ShardNotOpenError, match="belongs to shard 1"):
                    r.get_many_raw(mine + [next(k for k in asked if k != "\ud800" and shard_of(k, n) == 1)])
    # Keys that name no key are absent even when their store's one shard is
    # not open; a real key is refused by its own name.
    pa = pytest.importorskip("pyarrow")
    d = build(tmp_path / "st1", pairs, num_shards=1)
    with ShardedReader(d, shards=[]) as r:
        for keys in (["\ud800"], pa.array([None], pa.string())):
            assert r.get_many_arrow(keys).to_pylist() == [None]
        with pytest.raises(ShardNotOpenError, match="k00001"):
            r.get_many_arrow(["\ud800", "k00001"])


def test_merged_scans_order_keys_that_agree_on_long_stretches(tmp_path):
    # The merge compares eight bytes past the prefix all keys of the scan
    # share and only then whole keys: keys equal over those bytes, ending
    # inside them, padded with zero bytes or holding 0xff bytes must still
    # come out in byte order.
    stem = b"tenant/0042/"
    sets = {
        "shared stem": [stem + s for s in (b"", b"\x00", b"a", b"a\x00", b"a\x00\x00", b"abcdefgh", b"abcdefgh\x00",
                                           b"abcdefghi", b"abcdefgh\xff", b"\xff" * 9, b"\xff" * 8, b"b")],
        "short": [b"", b"\x00", b"\x00\x00", b"a", b"ab", b"b", b"\xff", b"\xff\x00"],
        "long tails": [stem + b"x" * 20 + bytes([c]) + t for c in (0, 1, 254, 255) for t in (b"", b"\x00", b"z")],
    }
    for name, keys in sets.items():
        pairs = [(k, b"v" + k) for k in keys]
        single = tmp_path / f"{name}.vlks"
        with velkstore.VelkWriter(single) as w:
            w.update_raw(pairs)
        with VelkReader(single) as one:
            assert list(one.keys_bytes()) == sorted(keys), name
            for n in (2, 3, 8):
                d = tmp_path / f"{name}-{n}"
                with ShardedWriter(d, n) as sw:
                    sw.update_raw(pairs)
                with ShardedReader(d) as r:
                    for args in [(), (stem,), (b"", stem + b"a", None), (b"", b"\x00", stem + b"abcdefgh\xff")]:
                        assert list(r.keys_bytes(*args)) == list(one.keys_bytes(*args)), (name, n, args)
                        assert list(r.items_bytes(*args, raw=True)) == list(one.items_bytes(*args, raw=True))


def test_one_encoder_writes_what_msgpack_writes():
    # The package's one encoder (values of every writer, spill and shuffle
    # chunks, the command line's records): plain values natively, the rest
    # through msgpack, always its bytes.
    import msgpack

    from velkstore._native import encode

    class Sub(str):
        pass

    deep: object = "leaf"
    for _ in range(40):  # deeper than the native path goes
        deep = [deep]
    values = [None, True, 1.5, -33, 1 << 63, -(1 << 63), "é", b"\x00", bytearray(b"ba"), Sub("s"), deep,
              {"a": [1, (2, 3)], 4: {b"k": None}}, msgpack.ExtType(5, b"x"), [[b"k"] * 20, [b"v" * 300] * 3]]
    for v in values:
        assert encode(v) == msgpack.packb(v, use_bin_type=True), v
    for bad in [{1, 2}, 1 << 64, "\ud800"]:
        with pytest.raises(velkstore.UnstorableError):
            encode(bad)


def test_placement_check_values_in_the_docs():
    # docs/sharding.md gives check values for ports of the placement rule.
    from velkstore import shard_of

    doc = (pathlib.Path(__file__).resolve().parent.parent / "docs" / "sharding.md").read_text()
    rows = re.findall(r"^\| (.+?) \| (\d+) \| `([0-9a-f]{16})` \| (\d+) \| (\d+) \|$", doc, re.M)
    assert len(rows) == 7
    for shown, seed, hashed, of8, of1000 in rows:
        key = b"" if shown == "(empty)" else shown.split("`")[1].encode("latin-1").decode("unicode_escape").encode("latin-1")
        seed = int(seed)
        assert (shard_of(key, 2**64, seed), shard_of(key, 8, seed), shard_of(key, 1000, seed)) == (
            int(hashed, 16), int(of8), int(of1000)), shown
