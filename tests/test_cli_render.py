"""The command line's JSON lines: the native renderer gives the general
path's bytes for every value it takes, and leaves the rest to it; a
one-shot `get` imports neither the full argument parser nor orjson."""

import math
import random
import subprocess
import sys

import msgpack
import pytest

from velkstore import VelkWriter, _native
from velkstore._common import decode
from velkstore._jsonvalue import to_json
from velkstore.cli.exits import CliError
from velkstore.cli.jsonlines import dumps, key_to_json
from velkstore.cli.render import render

AWKWARD = [
    None, True, False, 0, 127, 128, -1, -32, -33, 255, 256, 65535, 65536, -129, -32769,
    2**32, 2**63 - 1, 2**64 - 1, -(2**63),
    0.0, -0.0, 1.0, 0.1, 1e15, 1e16, 9999999999999998.0, 1.2345678901234567e16, 1e-5, 1.5e-5, 9.99e-6, 1e-6,
    5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.30000000000000004, 100.0, 1e22, 3.14e-10,
    math.nan, math.inf, -math.inf,
    "", "plain", "é ☃ 😀", "\x00\x01\x08\t\n\x0b\x0c\r\x1f \x7f\"\\/\u2028\u2029", "x" * 31, "y" * 300, "z" * 70_000,
    b"", b"a", b"ab", b"abc", bytes(range(256)),
    [], {}, [[[[]]]], list(range(16)), list(range(70_000)), {str(i): i for i in range(16)},
    {"$bytes": "not base64!"}, {"$map": 1}, {"$float": 1.5}, {"$ext": None}, {"$bytes": 1, "x": 2}, {"$other": 1},
    {"a": {"$float": [1, {"b": b"\xff"}]}, "é\n": [None, -0.0, "\x00"]},
    [{"nested": [1.5, {"deeper": [math.inf, {"$map": "x"}]}]}],
]


def general(raw, key=None):
    value = to_json(decode(raw, exact_timestamps=True))
    return dumps(value if key is None else {"key": key_to_json(key), "value": value})


def test_native_lines_are_the_general_paths_bytes():
    rnd = random.Random(7)
    raws = [msgpack.packb(v, use_bin_type=True) for v in AWKWARD]
    raws += [msgpack.packb(v, use_single_float=True) for v in (0.1, 1e-6, 3.4e38, 1e-45, math.nan)]
    # Floats from every part of the range, and from round decimals.
    raws += [b"\xcb" + rnd.getrandbits(64).to_bytes(8, "big") for _ in range(20_000)]
    raws += [b"\xca" + rnd.getrandbits(32).to_bytes(4, "big") for _ in range(5_000)]
    raws += [msgpack.packb(rnd.choice([1, 3, 7, 1.1, 0.123456789, 12345]) * 10.0 ** rnd.randint(-30, 30))
             for _ in range(5_000)]
    for raw in raws:
        assert _native._json_line(raw, None) == general(raw), raw[:40]
    for key in (b"user:1", b"", b"\xff\xfe", b"a\nb\"", "é".encode()):
        raw = raws[len(key)]
        assert _native._json_line(raw, key) == general(raw, key), key
    # Damaged values: whatever the native renderer takes, the general path
    # takes too and writes the same way.
    seeds = [msgpack.packb(v, use_bin_type=True) for v in AWKWARD if not isinstance(v, (str, list)) or len(v) < 99]
    for _ in range(5_000):
        raw = bytearray(rnd.choice(seeds))
        for _ in range(rnd.randint(1, 3)):
            at = rnd.randrange(len(raw) + 1)
            if rnd.random() < 0.6 and at < len(raw):
                raw[at] = rnd.randrange(256)
            elif rnd.random() < 0.5:
                del raw[at:]
            else:
                raw.insert(at, rnd.randrange(256))
        line = _native._json_line(bytes(raw), None)
        if line is not None:
            assert line == general(bytes(raw)), bytes(raw)


def test_values_the_native_renderer_leaves_to_the_general_path():
    left = [
        msgpack.packb(v, use_bin_type=True, datetime=False)
        for v in ({1: "int key"}, {(1, 2): "tuple key"}, {b"k": "bytes key"}, msgpack.ExtType(5, b"x"),
                  msgpack.Timestamp(1, 0), [[{"a": msgpack.ExtType(1, b"")}]])
    ]
    left.append(b"\x91" * 300 + b"\xc0")  # nested deeper than the native renderer goes
    left.append(b"\x82\xa1a\x01\xa1a\x02")  # a repeated key: the decoded map keeps one member
    for raw in left:
        assert _native._json_line(raw, None) is None, raw[:20]
        assert render("f", b"k", raw, whole=False) == general(raw)
    # Not one MessagePack value: the general path says what is wrong.
    for bad in (b"\xa1\xff", b"\x91", b"\x01\x02", b"\xc1", b""):
        assert _native._json_line(bad, None) is None
        with pytest.raises(CliError, match="cannot be printed: not valid MessagePack"):
            render("f", b"k", bad, whole=False)


def test_one_shot_get_imports_no_parser_nor_orjson(tmp_path):
    path = tmp_path / "s.vlks"
    with VelkWriter(path) as w:
        w.add("k", {"v": [1.5, "é"]})
        w.add("-dash", 1)
    code = (
        "import sys\nfrom velkstore.cli import main\n"
        "code = main(sys.argv[1:])\n"
        "print(sorted(m for m in ('argparse', 'orjson', 'json', 'typing') if m in sys.modules), code)\n"
    )
    res = subprocess.run([sys.executable, "-c", code, "get", str(path), "k"], capture_output=True, timeout=60)
    assert res.stdout == b'{"v":[1.5,"\xc3\xa9"]}\n[] 0\n', res.stderr
    # Options and dashed arguments take the full parser, with the same results.
    res = subprocess.run([sys.executable, "-c", code, "get", str(path), "--", "-dash", "k"], capture_output=True,
                         timeout=60)
    assert res.stdout.startswith(b'1\n{"v":[1.5,"\xc3\xa9"]}\n[\'argparse\'') and res.stdout.endswith(b"] 0\n")
