"""The velkstore command line, run as `python -m velkstore` in a subprocess."""

import json
import subprocess
import sys

import pytest

from velkstore import VelkReader, VelkWriter

RECORDS = [
    {"key": "user:1", "value": {"name": "Ann", "tags": ["a", "b"], "age": 41}},
    {"key": "user:2", "value": {"name": "Ann", "tags": ["a", "b"], "age": 41}},
    {"key": "user:3", "value": "ünïcödé \u2603"},
    {"key": "blob", "value": {"$bytes": "AP8Q"}},
    {"key": "odd", "value": [1.5, None, True, {"$float": "nan"}, {"$float": "-inf"}]},
    {"key": "intmap", "value": {"$map": [[1, "one"], [[2, 3], "pair"]]}},
    {"key": "looks-tagged", "value": {"$map": [["$bytes", "not base64!"]]}},
    {"key": "ts", "value": {"$ext": [-1, "AAAAAQ=="]}},
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
        (["build", str(tmp_path / "no-dir" / "o.vlks"), str(tmp_path / "in.jsonl")], 3, "open tmp"),
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
