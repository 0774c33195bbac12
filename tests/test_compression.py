"""compress="zstd": every read path gives the values back, the file stays
valid MessagePack for readers that know nothing of compression, and
damage is reported, never handed out as a value."""

import json
import random
import subprocess
import sys
import zlib

import msgpack
import pytest

from _velkstore import _VelkReader
from velkstore import CorruptError, ShardedReader, ShardedWriter, VelkReader, VelkWriter


def records(n, seed=1):
    rng = random.Random(seed)
    cities = ["Oslo", "Lima", "Kyiv", "Pune", "Cork", "Perth"]
    return {
        f"user:{i:06d}": {
            "id": i,
            "name": f"user-{rng.randrange(10**8)}",
            "city": rng.choice(cities),
            "active": rng.random() < 0.5,
            "score": round(rng.random(), 3),
        }
        for i in range(n)
    }


# One of every value type, and the values a compressed file has to tell
# apart from its own wrappers.
ODD_VALUES = {
    "t:none": None, "t:true": True, "t:int": -(2**63), "t:uint": 2**64 - 1, "t:float": 1.5,
    "t:str": "h\u00e9llo", "t:bytes": b"\x00\xff", "t:empty": b"", "t:list": [1, [2, "x"]],
    "t:dict": {1: "a", "b": {"c": None}}, "t:long": "abc" * 60000, "t:random": random.Random(2).randbytes(100),
    "t:ext-ours": msgpack.ExtType(0x5A, b"\x05hello"), "t:ext-ours-1": msgpack.ExtType(0x5A, b"\x01"),
    "t:ext-other": msgpack.ExtType(3, b"abc"),
}
RAW_VALUES = {"r:lead-only": b"\xd4", "r:bad-wrapper": b"\xc7\x09\x5a\x02ab", "r:not-msgpack": b"\xc1\xc1"}


def build_pair(tmp_path, values, raws=RAW_VALUES, **options):
    paths = []
    for name, opts in [("plain", {}), ("packed", {"compress": "zstd", **options})]:
        with VelkWriter(tmp_path / f"{name}.vlks", **opts) as w:
            w.update(values)
            w.update_raw(raws)
        paths.append(tmp_path / f"{name}.vlks")
    return paths


def test_every_read_path_gives_the_values_of_the_uncompressed_store(tmp_path):
    values = {**records(3000), **ODD_VALUES}
    plain_path, packed_path = build_pair(tmp_path, values)
    keys = sorted(values) + list(RAW_VALUES) + ["absent"]
    with VelkReader(plain_path) as plain, VelkReader(packed_path) as packed:
        assert packed.get_many_raw(keys) == plain.get_many_raw(keys)
        decodable = [k for k in keys if not k.startswith("r:")]
        assert packed.get_many(decodable, "d") == plain.get_many(decodable, "d")
        assert packed.get_many(decodable[:10]) == plain.get_many(decodable[:10])  # holding the lock
        for k in keys:
            assert packed.get_raw(k) == plain.get_raw(k), k
        for k in decodable:
            assert packed.get(k) == plain.get(k), k
        assert packed["t:ext-ours"] == msgpack.ExtType(0x5A, b"\x05hello")
        assert list(packed.items_raw()) == list(plain.items_raw())
        assert list(packed.prefix("user:00")) == list(packed.prefix("user:00"))
        assert list(packed.range("t:", "t:z")) == list(plain.range("t:", "t:z"))
        assert list(packed.items_bytes(prefix="r:", raw=True)) == list(plain.items_bytes(prefix="r:", raw=True))

        # The bytes as stored: a compressed value is a MessagePack extension.
        stored = packed.get_stored("user:000001")
        assert len(stored) < len(plain.get_raw("user:000001"))
        assert msgpack.unpackb(stored).code == 0x5A
        assert packed.get_stored("t:random") == plain.get_raw("t:random")

        c = packed.stats()["compression"]
        assert plain.stats()["compression"] is None
        assert c["codec"] == "zstd" and c["level"] == 3 and c["dictionary_size"] > 0
        assert c["stored_bytes"] < c["value_bytes"] / 2
        assert packed.verify()
    assert packed_path.stat().st_size < plain_path.stat().st_size / 2


def test_the_fixed_face_reads_a_compressed_file_as_valid_msgpack(tmp_path):
    values = records(500)
    _, packed_path = build_pair(tmp_path, values, raws={})
    r = _VelkReader(str(packed_path))
    assert r.verify()
    items = r.items_raw()
    assert [k for k, _ in items] == sorted(values)
    with VelkReader(packed_path) as packed:
        for key, raw in items:
            assert msgpack.unpackb(raw, strict_map_key=False) is not None
            assert raw == packed.get_stored(key)


def test_options_are_checked(tmp_path):
    for kwargs, exc in [({"compress": "lz4"}, ValueError), ({"compress_level": 5}, ValueError),
                        ({"compress": "zstd", "compress_level": 0}, ValueError),
                        ({"compress": "zstd", "compress_level": 23}, ValueError),
                        ({"compress": "zstd", "compress_level": "9"}, TypeError)]:
        with pytest.raises(exc):
            VelkWriter(**kwargs)
    # A store too small to train on is still compressed (without a
    # dictionary) and reads back.
    with VelkWriter(tmp_path / "s.vlks", compress="zstd", compress_level=19) as w:
        w.add("a", "x" * 1000)
        w.add("b", 1)
    with VelkReader(tmp_path / "s.vlks") as r:
        assert r["a"] == "x" * 1000 and r["b"] == 1
        assert r.stats()["compression"]["dictionary_size"] == 0
    # A value of up to one block compresses at the high levels too, where
    # zstd would otherwise split it in several blocks.
    rng = random.Random(1)
    words = ["".join(rng.choice("abcdefghij") for _ in range(rng.randrange(3, 9))) for _ in range(2000)]
    text = " ".join(rng.choice(words) for _ in range(15000)).encode()
    assert 64 * 1024 < len(text) <= 128 * 1024
    for level in (3, 19):
        with VelkWriter(tmp_path / "t.vlks", compress="zstd", compress_level=level) as w:
            w.add_raw("text", text)
        with VelkReader(tmp_path / "t.vlks") as r:
            assert len(r.get_stored("text")) < len(text) / 2 and r.get_raw("text") == text, level


def test_sharded_and_command_line_builds_compress(tmp_path):
    values = records(1500)
    with ShardedWriter(tmp_path / "s", 3, compress="zstd", compress_level=5) as w:
        w.update(values)
    with ShardedReader(tmp_path / "s") as r:
        keys = list(values)
        assert r.get_many(keys) == [values[k] for k in keys]
        assert r.get_many_raw(keys[:3]) == [msgpack.packb(values[k]) for k in keys[:3]]
        assert r.get_raw(keys[7]) == msgpack.packb(values[keys[7]])
        shards = r.stats()["shards"]
        assert all(s["compression"]["level"] == 5 and s["compression"]["dictionary_size"] > 0 for s in shards)

    source = tmp_path / "in.jsonl"
    source.write_text("".join(json.dumps({"key": k, "value": v}) + "\n" for k, v in values.items()))
    out = tmp_path / "cli.vlks"
    run = lambda *a: subprocess.run([sys.executable, "-m", "velkstore", *a], capture_output=True, timeout=120)
    assert run("build", "--compress", str(out), str(source)).returncode == 0
    info = json.loads(run("info", "--json", str(out)).stdout)
    assert info["compression"]["codec"] == "zstd"
    assert "compression" in run("info", str(out)).stdout.decode()
    got = run("get", str(out), "user:000042")
    assert got.returncode == 0 and json.loads(got.stdout) == values["user:000042"]
    # A new lookup index keeps the dictionary the values need.
    assert run("reindex", str(out)).returncode == 0
    with VelkReader(out) as r:
        assert r["user:000042"] == values["user:000042"] and r.stats()["compression"]["dictionary_size"] > 0


def test_damaged_compressed_records_and_dictionary_give_corrupt_error(tmp_path):
    values = records(800)
    _, path = build_pair(tmp_path, values, raws={})
    original = path.read_bytes()
    with VelkReader(path) as r:
        stored = r.get_stored("user:000100")
        c = r.stats()["compression"]
    assert msgpack.unpackb(stored).code == 0x5A
    value_at = original.index(stored)
    dictionary_at = original.index(b"\x01\x03" + c["value_bytes"].to_bytes(8, "big"))
    # The last: the header's extension flag, which no CRC covers; cleared,
    # the file would read as one whose values are the compressed wrappers.
    for at, bit in [(value_at + 2, 0x40), (value_at + len(stored) - 1, 0x40), (dictionary_at + 100, 0x40),
                    (dictionary_at + c["dictionary_size"], 0x40), (5, 0x01)]:
        damaged = bytearray(original)
        damaged[at] ^= bit
        path.write_bytes(damaged)
        with pytest.raises(CorruptError):
            with VelkReader(path) as r:
                r.get_many(list(values))
    # A wrapper's length damaged under CRCs made to fit: verify() finds it,
    # as every read of the key does.
    wrapped = bytearray(stored)
    wrapped[{0xC7: 3, 0xC8: 4, 0xC9: 6}.get(stored[0], 2)] ^= 1
    damaged = bytearray(original)
    damaged[value_at:value_at + len(stored)] = wrapped
    damaged[value_at - 4:value_at] = zlib.crc32(wrapped).to_bytes(4, "big")
    damaged[32:36] = zlib.crc32(damaged[40:]).to_bytes(4, "big")
    path.write_bytes(damaged)
    with VelkReader(path, verify=True) as r:
        with pytest.raises(CorruptError, match="damaged compressed value"):
            r["user:000100"]
        with pytest.raises(CorruptError, match="damaged compressed value at offset"):
            r.verify()


def test_incompressible_values_are_stored_as_given_and_replaced_ones_are_left_out(tmp_path):
    rng = random.Random(3)
    values = {f"k{i:05d}": rng.randbytes(100) for i in range(3000)}
    replaced = {"k00000": b"new", "k00001": rng.randbytes(50)}  # their first values become orphans
    paths = []
    for name, opts in [("plain", {}), ("packed", {"compress": "zstd"})]:
        with VelkWriter(tmp_path / f"{name}.vlks", **opts) as w:
            w.update(values)
            w.update(replaced)
        paths.append(tmp_path / f"{name}.vlks")
    with VelkReader(paths[0]) as plain, VelkReader(paths[1]) as packed:
        assert list(packed.items_raw()) == list(plain.items_raw())
        assert packed["k00000"] == b"new"
        assert packed.stats()["num_objects"] == plain.stats()["num_objects"] == 3000
        c = packed.stats()["compression"]
        assert c["dictionary_size"] == 0 and c["stored_bytes"] == c["value_bytes"]
        assert packed.verify()
    assert _VelkReader(str(paths[1])).verify()
