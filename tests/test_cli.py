"""The velkstore command line, run as `python -m velkstore` in a subprocess."""

import json
import subprocess
import sys

import orjson
import pytest

import velkstore
from velkstore import VelkReader, VelkWriter

RECORDS = [
    {"key": "user:1", "value": {"name": "Ann", "tags": ["a", "b"], "age": 41}},
    {"key": "user:2", "value": {"name": "Ann", "tags": ["a", "b"], "age": 41}},
    {"key": "user:3", "value": "ünïcödé \u2603"},
    {"key": "blob", "value": {"$bytes": "AP8Q"}},
    {"key": "odd", "value": [1.5, None, True, {"$float": "nan"}, {"$float": "-inf"}]},
    {"key": "intmap", "value": {"$map": [[1, "one"], [[2, 3], "pair"]]}},
    {"key": "looks-tagged", "value": {"$map": [["$bytes", "not base64!"]]}},
    {"key": "ts", "value": [{"$ext": [-1, "AAAAAQ=="]}, {"$ext": [5, "AAAA"]}]},
]


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "velkstore", *args], input=stdin, capture_output=True, timeout=60
    )


def write_jsonl(path, records):
    path.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    return path


@pytest.fixture
def store(tmp_path):
    out = tmp_path / "s.vlks"
    res = run("build", str(out), str(write_jsonl(tmp_path / "in.jsonl", RECORDS)))
    assert res.returncode == 0, res.stderr
    assert res.stdout.decode().startswith(f"✅  {out}  —  7 objects · 8 keys")
    return out


def test_build_then_read_back(store, tmp_path):
    with VelkReader(store) as r:
        assert r["user:2"] == {"name": "Ann", "tags": ["a", "b"], "age": 41}
        assert r["blob"] == b"\x00\xff\x10"
        assert r["intmap"] == {1: "one", (2, 3): "pair"}
        assert r["looks-tagged"] == {"$bytes": "not base64!"}
        assert r["odd"][3] != r["odd"][3] and r["odd"][4] == float("-inf")

    res = run("get", str(store), "user:3")
    assert res.returncode == 0 and json.loads(res.stdout) == "ünïcödé \u2603"
    res = run("get", "--raw", str(store), "blob")
    assert res.returncode == 0 and res.stdout == b"\xc4\x03\x00\xff\x10"  # bin 8, 3 bytes

    res = run("keys", str(store), "--prefix", "user:")
    assert res.stdout.decode().splitlines() == ["user:1", "user:2", "user:3"]
    assert run("keys", str(store)).stdout.decode().splitlines() == sorted(d["key"] for d in RECORDS)

    info = json.loads(run("info", "--json", str(store)).stdout)
    assert (info["num_keys"], info["num_objects"], info["version"]) == (8, 7, 2)
    res = run("verify", str(store))
    assert res.returncode == 0 and b"8 keys, 7 objects" in res.stdout


def test_dump_output_builds_the_same_store(store, tmp_path):
    dump = run("dump", str(store))
    assert dump.returncode == 0
    lines = [json.loads(line) for line in dump.stdout.decode("utf-8").splitlines()]
    assert [d["key"] for d in lines] == sorted(r["key"] for r in RECORDS)
    by_key = {d["key"]: d["value"] for d in lines}
    expected = {r["key"]: r["value"] for r in RECORDS}
    assert by_key["intmap"] == expected["intmap"] and by_key["blob"] == expected["blob"]
    assert by_key["looks-tagged"] == expected["looks-tagged"] and by_key["ts"] == expected["ts"]

    again = tmp_path / "again.vlks"
    res = run("build", str(again), "-", stdin=dump.stdout)
    assert res.returncode == 0, res.stderr
    assert run("dump", str(again)).stdout == dump.stdout


def test_non_utf8_key_argument(tmp_path):
    path = tmp_path / "b.vlks"
    with VelkWriter(path) as w:
        w.add(b"\xffkey", 1)
    res = subprocess.run(
        [sys.executable.encode(), b"-m", b"velkstore", b"get", bytes(path), b"\xffkey"],
        capture_output=True,
    )
    assert (res.returncode, res.stdout) == (0, b"1\n")


def test_exit_codes_and_messages(store, tmp_path):
    missing = str(tmp_path / "missing.vlks")
    corrupt = tmp_path / "corrupt.vlks"
    data = bytearray(store.read_bytes())
    data[60] ^= 0x01
    corrupt.write_bytes(bytes(data))
    foreign = tmp_path / "notes.txt"
    foreign.write_text("just some text, long enough to have a header\n")
    cases = [
        (["get", str(store), "nobody"], 1, "key not found"),
        (["verify", str(corrupt)], 1, "file CRC32 mismatch"),
        (["get", "--verify", str(corrupt), "user:1"], 1, "CRC32 mismatch"),
        (["info", str(foreign)], 1, "not a velkstore file"),
        ([], 2, "required"),
        (["frobnicate"], 2, "invalid choice"),
        (["get", str(store)], 2, "KEY"),
        (["info", missing], 3, "No such file"),
        (["verify", missing], 3, "No such file"),
        (["dump", missing], 3, "No such file"),
        (["build", str(tmp_path / "o.vlks"), missing], 3, "No such file"),
        (["build", str(tmp_path / "no-dir" / "o.vlks"), str(tmp_path / "in.jsonl")], 3, "directory cannot be used"),
    ]
    for args, code, text in cases:
        res = run(*args)
        assert res.returncode == code, (args, res.stderr)
        assert text in res.stderr.decode(), (args, res.stderr)
    # The damaged file can still be inspected without the checksum.
    assert run("info", "--no-verify", str(corrupt)).returncode == 0


@pytest.mark.parametrize(
    "lines, message",
    [
        (['{"key": "a", "value": 1}', '{"key": "b", "value": '], "in.jsonl:2: invalid JSON"),
        (['{"key": "a", "value": 1}', "", '["a", 1]'], 'in.jsonl:3: expected an object'),
        (['{"key": 5, "value": 1}'], 'in.jsonl:1: "key" must be a string'),
        (['{"key": "a"}'], "in.jsonl:1: expected an object"),
        (['{"key": "a", "value": 1, "extra": 2}'], "in.jsonl:1: expected an object"),
        (['{"key": "a", "value": {"$bytes": "***"}}'], "in.jsonl:1: bad value: invalid base64"),
        (['{"key": "a", "value": 18446744073709551616}'], "in.jsonl:1: bad value"),
        (['{"key": "\\ud800", "value": 1}'], "in.jsonl:1: key"),
        (['{"key": "' + "k" * 65536 + '", "value": 1}'], "in.jsonl:1: key of 65536 bytes"),
        (['{"key": "a", "value": 1}', '{"key": "b", "value": ' + "9" * 5000 + "}"], "in.jsonl:2: bad value: an integer"),
        (['{"key": "a", "value": -9223372036854775809}'], "in.jsonl:1: bad value: an integer"),
        (['{"key": "a", "value": 1}', '{"key": "b", "value": [1e400]}'], "in.jsonl:2: bad value: the number 1e400"),
        (['{"key": "a", "value": ' + "[" * 1100 + "]" * 1100 + "}"], "in.jsonl:1: bad value"),
        (['{"key": {"$bytes": "!!"}, "value": 1}'], "in.jsonl:1: bad key: invalid base64"),
        (['{"key": {"$text": "a"}, "value": 1}'], 'in.jsonl:1: "key" must be a string or a {"$bytes"'),
        # Two records on one line and none on the next: as many records as lines.
        (['{"key": "a", "value": 1},{"key": "b", "value": 2}', "null"], "in.jsonl:1: invalid JSON: Extra data"),
        # A record split over two lines beside two records on one: as many
        # records as lines again, and each line still wrong.
        (['{"key": "a", "value": [1', '2]}', '{"key": "b", "value": 1},{"key": "c", "value": 2}'],
         "in.jsonl:1: invalid JSON"),
    ],
)
def test_bad_build_input_writes_nothing(tmp_path, lines, message):
    src = tmp_path / "in.jsonl"
    src.write_text("\n".join(lines) + "\n")
    out = tmp_path / "o.vlks"
    res = run("build", str(out), str(src))
    assert res.returncode == 4, res.stderr
    assert message in res.stderr.decode()
    assert res.stdout == b"" and not out.exists()


def test_help_documents_exit_codes():
    for args in ([], ["build"], ["get"], ["dump"]):
        res = run(*args, "--help")
        assert res.returncode == 0 and b"exit status:" in res.stdout
    assert b"$bytes" in run("dump", "--help").stdout
    res = run("--version")
    assert res.returncode == 0 and res.stdout.startswith(b"velkstore ") and res.stderr == b""


BINARY_KEYS = [b"user:\xff", b"user:\xfe", b"user:\xc3", b"user:ok", b"\x00nul"]


def test_keys_that_are_not_utf8_survive_dump_and_build(tmp_path):
    src = tmp_path / "bin.vlks"
    with VelkWriter(src) as w:
        for i, key in enumerate(BINARY_KEYS):
            w.add(key, {"n": i, "raw": key})
    dump = run("dump", str(src))
    assert dump.returncode == 0, dump.stderr
    keys = [json.loads(line)["key"] for line in dump.stdout.splitlines()]
    assert keys[:2] == ["\x00nul", "user:ok"]  # in byte order: "o" sorts before 0xc3
    assert {"$bytes": "dXNlcjr/"} in keys and len(keys) == 5  # b"user:\xff"

    again = tmp_path / "again.vlks"
    assert run("build", str(again), "-", stdin=dump.stdout).returncode == 0
    with VelkReader(src) as a, VelkReader(again) as b:
        assert list(a.items_bytes()) == list(b.items_bytes())
        assert len(b) == 5

    wanted = sorted(BINARY_KEYS)
    assert run("keys", "-0", str(src)).stdout == b"".join(k + b"\0" for k in wanted)
    assert run("keys", str(src)).stdout == b"".join(k + b"\n" for k in wanted)
    as_json = [json.loads(line) for line in run("keys", "--json", str(src)).stdout.splitlines()]
    assert as_json == keys
    assert run("keys", "--json", "-0", str(src)).returncode == 2


def test_get_several_keys_from_arguments_or_stdin(store, tmp_path, bad_crc_path):
    res = run("get", str(store), "user:3", "nobody", "blob")
    assert res.returncode == 1 and b"key not found: 'nobody'" in res.stderr
    lines = res.stdout.decode().split("\n")
    assert lines == ['"ünïcödé \u2603"', "", '{"$bytes":"AP8Q"}', ""]

    res = run("get", "--stdin", str(store), stdin=b"blob\nuser:3\n")
    assert res.returncode == 0 and len(res.stdout.splitlines()) == 2
    res = run("get", "--stdin", "-0", "--raw", str(store), stdin=b"blob\0blob")
    assert res.returncode == 0 and res.stdout == b"\xc4\x03\x00\xff\x10" * 2
    assert run("get", str(store)).returncode == 2  # neither keys nor --stdin
    assert b"must follow" in run("get", "--help").stdout

    dashed = tmp_path / "dash.vlks"
    with VelkWriter(dashed) as w:
        w.add("-v", "dash")
    assert run("get", str(dashed), "--", "-v").stdout == b'"dash"\n'

    # get skips the whole-file checksum unless asked; info keeps checking it.
    assert run("get", str(bad_crc_path), "a").stdout == b"65\n"  # b"A": the integer 65
    assert run("get", "--verify", str(bad_crc_path), "a").returncode == 1
    assert run("info", str(bad_crc_path)).returncode == 1


def test_values_that_cannot_be_printed_are_reported_not_fatal(tmp_path):
    path = tmp_path / "deep.vlks"
    deep_ok = b"\x91" * 1000 + b"\x01"  # as deep as the encoder goes: printed
    with VelkWriter(path) as w:
        w.add_raw("a", deep_ok)
        w.add_raw("b", b"\x91" * 2000 + b"\x01")  # deeper than the decoder goes
        w.add_raw("c", b"\xc1")  # never valid MessagePack
        w.add("d", "last")
    res = run("dump", str(path))
    assert res.returncode == 5
    err = res.stderr.decode()
    assert "key 'b' cannot be printed: nested deeper" in err and "key 'c'" in err
    # orjson: the standard library's decoder runs out of recursion on the
    # 1,000-deep value before Python 3.12.
    assert [orjson.loads(x)["key"] for x in res.stdout.splitlines()] == ["a", "d"]
    again = tmp_path / "again.vlks"
    assert run("build", str(again), "-", stdin=res.stdout).returncode == 0
    with VelkReader(again) as r:
        assert r.get_raw("a") == deep_ok
    res = run("get", str(path), "b")
    assert res.returncode == 5 and b"get --raw" not in res.stdout
    assert run("get", str(path), "zz").returncode == 1  # absence is not exit 5


def test_info_in_human_units_and_full_json(tmp_path):
    path = tmp_path / "big.vlks"
    with VelkWriter(path) as w:
        w.update((f"k{i:05}", bytes(100) + i.to_bytes(4, "big")) for i in range(20000))
    size = path.stat().st_size
    info = json.loads(run("info", "--json", str(path)).stdout)
    assert info["file_size"] == size and info["num_keys"] == 20000
    assert isinstance(info["file_crc32"], int) and info["data_offset"] < info["index_offset"]
    text = run("info", str(path)).stdout.decode()
    assert f"{size / 2**20:.1f} MiB ({size:,} bytes)" in text
    assert f"0x{info['file_crc32']:08x}" in text and "20,000" in text


def test_messages_say_what_was_expected(store, tmp_path):
    adir = tmp_path / "adir"
    adir.mkdir()
    for args, code, text in [
        (["info", str(adir)], 1, "not a velkstore file or sharded store"),
        (["get", str(store), "-EGLL"], 2, 'follows "--", as in: velkstore get FILE -- -EGLL'),
        (["get", str(store), "--", "-EGLL"], 1, "key not found: '-EGLL'"),
    ]:
        res = run(*args)
        assert res.returncode == code and text in res.stderr.decode(), (args, res.stderr)
        assert res.stdout == b""
    for open_it in (VelkReader, velkstore.reindex):
        with pytest.raises(IsADirectoryError, match="is a directory") as info:
            open_it(adir)
        assert info.value.filename == str(adir)
