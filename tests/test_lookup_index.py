"""Files that carry their lookup index, through both faces."""

import subprocess
import sys
from pathlib import Path

import _velkstore
import pytest
from storefile import sorted_store
from velkstore import CorruptError, VelkReader, VelkWriter, VersionError, reindex


def build(path, pairs):
    with VelkWriter(path) as w:
        w.update(pairs)
    return path


PAIRS = {f"user:{i:04d}": {"n": i % 9} for i in reversed(range(600))} | {"": 0, "\u00e9t\u00e9": [1, 2]}


def test_the_fixed_face_reads_and_verifies_a_package_built_file(tmp_path):
    path = build(tmp_path / "s.vlks", PAIRS)
    ours = VelkReader(path)
    fixed = _velkstore._VelkReader(str(path))
    assert ours.stats()["index"] is True
    assert fixed.verify() is True and ours.verify() is True
    keys = sorted(PAIRS, key=lambda k: k.encode())
    assert fixed.keys() == list(ours) == keys
    for k in keys:
        assert fixed.get_raw(k) == ours.get_raw(k) is not None
    assert [k for k, _ in fixed.prefix_raw("user:01")] == [k for k, _ in ours.prefix_raw("user:01")]
    # Extension records are objects of the file, not of the caller.
    assert fixed.stats()["num_objects"] > ours.stats()["num_objects"] == 9 + 2


def test_every_flipped_byte_gives_the_right_answer_or_corrupt_error(tmp_path):
    pairs = {f"k{i}": "v" * (i % 4) for i in range(30)}
    good = build(tmp_path / "good.vlks", pairs).read_bytes()
    bad = tmp_path / "bad.vlks"
    for at in range(len(good)):
        bad.write_bytes(good[:at] + bytes([good[at] ^ 0x10]) + good[at + 1:])
        try:
            r = VelkReader(bad)
            for k, v in pairs.items():
                try:
                    assert r[k] == v, at
                except CorruptError:
                    pass
            for k in ("k30", "zz"):
                try:
                    assert k not in r, at
                except CorruptError:
                    pass
        except (CorruptError, VersionError):  # at open
            continue


def test_an_old_file_opens_through_the_fallback_and_reindex_adds_the_index(tmp_path):
    old = Path(sorted_store([b"\x01", b"\x02"], [("a", 0), ("b", 1)]).write(tmp_path / "old.vlks"))
    r = VelkReader(old)
    assert (r.stats()["index"], dict(r)) == (False, {"a": 1, "b": 2})
    data = old.read_bytes()
    res = subprocess.run([sys.executable, "-m", "velkstore", "reindex", str(old)], capture_output=True, timeout=60)
    assert res.returncode == 0 and res.stdout.startswith(b"indexed: "), res.stderr
    new = VelkReader(old)
    assert (new.stats()["index"], new.stats()["num_objects"], dict(new)) == (True, 2, {"a": 1, "b": 2})
    assert _velkstore._VelkReader(str(old)).verify() is True
    # The old reader still sees the old file: the new one was renamed over it.
    assert dict(r) == {"a": 1, "b": 2} and old.read_bytes()[40:58] == data[40:58]
    # Through a link, the file it names is reindexed and the link stays.
    old.write_bytes(data)
    link = tmp_path / "link.vlks"
    link.symlink_to(old.name)
    reindex(link)
    assert link.is_symlink() and VelkReader(old).stats()["index"]
    link.unlink()
    # A damaged file is refused, and stays as it was.
    damaged = data[:-1] + bytes([data[-1] ^ 1])
    old.write_bytes(damaged)
    with pytest.raises(CorruptError):
        reindex(old)
    assert old.read_bytes() == damaged and len(list(tmp_path.iterdir())) == 1
