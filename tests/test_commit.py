"""What a build may touch: only its target and its temporary name, whatever
is planted there, and never a file it does not own."""
import fcntl
import os
import pathlib
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

import velkstore
from _velkstore import _VelkReader, _VelkWriter
from storefile import fails

ROOT = os.geteuid() == 0
NOBODY = 65534


def writer(payload=b"new"):
    w = _VelkWriter()
    w.add_key("k", w.add_object_raw(payload))
    return w


def holds(path, payload):
    return _VelkReader(str(path)).get_raw("k") == payload


def plant_link(tmp, victim):
    os.symlink(victim, tmp)


def plant_hard_link(tmp, victim):
    os.link(victim, tmp)


def plant_stale(tmp, victim):
    tmp.write_bytes(b"left by a killed build")
    tmp.chmod(0o400)


def plant_fifo(tmp, victim):
    os.mkfifo(tmp)
    # With a reader waiting, a build that opened the FIFO would not block.
    return os.open(tmp, os.O_RDONLY | os.O_NONBLOCK)


@pytest.mark.parametrize("plant, replaced", [
    (plant_hard_link, True), (plant_stale, True), (plant_link, False), (plant_fifo, False),
])
def test_what_is_planted_at_the_temporary_name(tmp_path, plant, replaced):
    target, tmp, victim = tmp_path / "s.vlks", tmp_path / "s.vlks.tmp", tmp_path / "victim"
    victim.write_bytes(b"precious")
    reader = plant(tmp, victim)
    before = os.lstat(tmp)
    if replaced:
        writer().build(str(target))
        assert holds(target, b"new") and not os.path.lexists(tmp)
    else:
        fails(OSError, f"VelkIOError: open tmp: {tmp} is not a regular file", writer().build, str(target))
        assert not target.exists() and os.lstat(tmp).st_ino == before.st_ino
    assert victim.read_bytes() == b"precious" and victim.stat().st_nlink == 1
    if reader is not None:
        assert os.read(reader, 100) == b""
        os.close(reader)


def special_files(tmp_path):
    yield "fifo", lambda p: os.mkfifo(p), stat.S_ISFIFO
    yield "socket", lambda p: socket.socket(socket.AF_UNIX).bind(p), stat.S_ISSOCK
    if ROOT:
        yield "chr", lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 3)), stat.S_ISCHR
        yield "blk", lambda p: os.mknod(p, stat.S_IFBLK | 0o600, os.makedev(7, 0)), stat.S_ISBLK


def test_special_file_targets_are_refused(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # socket paths must be short
    kinds = list(special_files(tmp_path))
    for name, make, is_kind in kinds:
        make(name)
        fails(OSError, f"VelkIOError: cannot replace {name}: not a regular file", writer().build, name)
        assert is_kind(os.lstat(name).st_mode)
    assert sorted(os.listdir()) == sorted(name for name, _, _ in kinds)


def test_permission_bits_are_kept(tmp_path):
    for mode in (0o600, 0o640, 0o755):
        target = tmp_path / f"m{mode:o}.vlks"
        writer(b"old").build(str(target))
        target.chmod(mode)
        writer().build(str(target))
        assert stat.S_IMODE(target.stat().st_mode) == mode and holds(target, b"new")
    fresh = tmp_path / "fresh.vlks"
    old_umask = os.umask(0o027)
    try:
        writer().build(str(fresh))
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o640


# Run in a child process: as root it drops to another user once the module
# is loaded (the interpreter may lie where that user cannot read), since
# permission bits do not stop root.
UNREADABLE_DIR = f"""
import fcntl
import os
import velkstore
import velkstore._info  # imported on first use, which the other user could not read
from _velkstore import _VelkWriter
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid({NOBODY})
    os.setuid({NOBODY})
w = _VelkWriter()
w.add_key("k", w.add_object_raw(b"new"))
try:
    w.build("d/s.vlks")
except OSError as exc:
    print(exc)
# The package's error names the directory that failed, not the file in it.
w = velkstore.VelkWriter()
w.add("k", 1)
try:
    w.build("d/p.vlks")
except OSError as exc:
    print(type(exc).__name__, exc.filename)
"""


def test_unreadable_directory_fails_before_the_rename():
    # Not under tmp_path, which the other user could not reach.
    with tempfile.TemporaryDirectory() as top:
        d = pathlib.Path(top) / "d"
        d.mkdir()
        writer(b"old").build(str(d / "s.vlks"))
        (d / "s.vlks").chmod(0o600)
        if ROOT:
            for p in (top, d, d / "s.vlks"):
                os.chown(p, NOBODY, NOBODY)
        d.chmod(0o300)  # entries can be made and renamed, but the directory cannot be opened
        done = subprocess.run([sys.executable, "-c", UNREADABLE_DIR], cwd=top,
                              capture_output=True, text=True, timeout=60)
        d.chmod(0o700)
        assert done.stdout == "VelkIOError: sync dir: d: Permission denied (os error 13)\nVelkPermissionError d\n", done.stderr
        assert holds(d / "s.vlks", b"old")
        # The complete new file stays behind, no more open than the target.
        assert holds(d / "s.vlks.tmp", b"new")
        assert stat.S_IMODE((d / "s.vlks.tmp").stat().st_mode) == 0o600


RACER = textwrap.dedent("""
    import re, sys
    from _velkstore import _VelkReader, _VelkWriter
    target, me, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    busy = re.compile("VelkIOError: another build is in progress: .*users.vlks.tmp is locked")
    done = locked = 0
    print("ready", flush=True)
    sys.stdin.readline()  # all start together
    for r in range(rounds):
        w = _VelkWriter()
        # Sizes differ by builder, so interleaved writes cannot pass the CRC.
        payload = (me * 64).encode() * (4000 + 997 * len(me) + r)
        w.add_key("target", w.add_object_raw(target.encode()))
        w.add_key("payload", w.add_object_raw(payload))
        try:
            w.build(target)
        except OSError as exc:
            assert busy.fullmatch(str(exc)), str(exc)
            locked += 1
            continue
        done += 1
        # Only builds of this target rename onto it: whatever it holds now
        # is one of theirs, complete.
        r = _VelkReader(target)
        assert r.verify() and r.get_raw("target") == target.encode()
    print(done, locked)
""")


def test_racing_builds_commit_only_their_own_content(tmp_path):
    # users.bin and users.vlks share the temporary name users.vlks.tmp.
    racers = [("users.vlks", "a"), ("users.vlks", "bb"), ("users.bin", "ccc"), ("users.bin", "dddd")]
    procs = [subprocess.Popen([sys.executable, "-c", RACER, target, me, "30"], cwd=tmp_path,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for target, me in racers]
    for p in procs:
        assert p.stdout.readline() == "ready\n"
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    counts = []
    for p in procs:
        out, err = p.communicate(timeout=300)
        assert p.returncode == 0, err
        counts.append([int(n) for n in out.splitlines()[-1].split()])
    # Each target was built, and builds did meet.
    assert counts[0][0] + counts[1][0] > 0 and counts[2][0] + counts[3][0] > 0, counts
    assert sum(locked for _, locked in counts) > 0, counts
    assert sorted(os.listdir(tmp_path)) == ["users.bin", "users.vlks"]
    for name in ("users.bin", "users.vlks"):
        assert _VelkReader(str(tmp_path / name)).get_raw("target") == name.encode()


def test_a_build_reclaims_only_stale_temporaries_of_its_target(tmp_path):
    """Killed package builds leave NAME.<16 hex>.vlks.tmp behind; the next
    package build of that target removes those whose lock it can take, and
    nothing else.  The fixed face touches only its own two names."""
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    stale = [tmp_path / f"s.{h}.vlks.tmp" for h in ("0123456789abcdef", "fedcba9876543210")]
    for path in stale:
        path.write_bytes(b"left by a killed build")
    held = tmp_path / "s.00000000000000aa.vlks.tmp"  # a live build's
    held.write_bytes(b"in use")
    lock = os.open(held, os.O_RDONLY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    others = [tmp_path / name for name in (
        "s.0123456789ABCDEF.vlks.tmp", "s.0123456789abcde.vlks.tmp", "t.0123456789abcdef.vlks.tmp",
        "s.0123456789abcdef.vlks.tmp.x", "xs.0123456789abcdef.vlks.tmp")]
    for path in others:
        path.write_bytes(b"not a temporary file of s.vlks")
    (tmp_path / "s.1111111111111111.vlks.tmp").mkdir()
    os.symlink(victim, tmp_path / "s.2222222222222222.vlks.tmp")
    os.mkfifo(tmp_path / "s.3333333333333333.vlks.tmp")
    before = sorted(os.listdir(tmp_path))
    try:
        writer().build(str(tmp_path / "s.vlks"))
        assert sorted(os.listdir(tmp_path)) == sorted(before + ["s.vlks"])
        package = velkstore.VelkWriter()
        package.add_raw("k", b"package")
        package.build(tmp_path / "s.vlks")
    finally:
        os.close(lock)
    assert sorted(os.listdir(tmp_path)) == sorted(set(before + ["s.vlks"]) - {p.name for p in stale})
    assert holds(tmp_path / "s.vlks", b"package") and victim.read_bytes() == b"precious"
