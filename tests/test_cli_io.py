"""The command line's standard streams, signals and progress, run as a
subprocess the way a shell runs it."""

import fcntl
import json
import os
import signal
import stat
import subprocess
import sys
import time

import pytest

from velkstore import VelkReader

COMMAND = [sys.executable, "-m", "velkstore"]


def jsonl(path, n):
    path.write_bytes(b"".join(b'{"key": "k%d", "value": [%d, "v"]}\n' % (i, i) for i in range(n)))
    return path


def test_closed_standard_streams_give_clean_errors(tmp_path):
    src = jsonl(tmp_path / "in.jsonl", 3)
    store = tmp_path / "s.vlks"
    assert subprocess.run([*COMMAND, "build", str(store), str(src)], capture_output=True).returncode == 0
    built = store.stat().st_mtime_ns
    cases = [
        (["build", str(tmp_path / "o.vlks"), "-"], 0, "standard input is closed"),
        (["reindex", str(store)], 1, "standard output is closed"),  # before the file is touched
        (["get", "--raw", str(store), "k1"], 1, "standard output is closed"),
        (["dump", str(store)], 1, "standard output is closed"),
        (["get", "--stdin", str(store)], 0, "standard input is closed"),
        (["--help"], 1, "standard output is closed"),
        (["--version"], 1, "standard output is closed"),
    ]
    for args, fd, message in cases:
        res = subprocess.run([*COMMAND, *args], capture_output=True, preexec_fn=lambda fd=fd: os.close(fd))
        assert (res.returncode, res.stderr.decode()) == (3, f"velkstore: {message}\n"), args
    # A usage error with standard error closed is not written to the output.
    res = subprocess.run([*COMMAND, "nosuchcommand"], capture_output=True, preexec_fn=lambda: os.close(2))
    assert (res.returncode, res.stdout) == (2, b"")
    assert not (tmp_path / "o.vlks").exists() and store.stat().st_mtime_ns == built


def test_build_refuses_to_overwrite_its_input_or_write_dash(tmp_path):
    src = jsonl(tmp_path / "in.jsonl", 3)
    before = src.read_bytes()
    cases = [
        ([str(src), str(src)], None, "is the input file"),
        ([str(src), "-"], src, "is the input file"),  # the same file, as standard input
        (["-", str(src)], None, 'not "-"'),
    ]
    for args, stdin_file, message in cases:
        with open(stdin_file or os.devnull, "rb") as stdin:
            res = subprocess.run([*COMMAND, "build", *args], stdin=stdin, capture_output=True, cwd=tmp_path)
        assert res.returncode == 2 and message in res.stderr.decode(), args
    assert src.read_bytes() == before and not (tmp_path / "-").exists()
    # A FIFO as the output is refused before the input is read.
    os.mkfifo(tmp_path / "fifo")
    with open(src, "rb") as stdin:
        res = subprocess.run([*COMMAND, "build", "fifo", "-"], stdin=stdin, capture_output=True, cwd=tmp_path)
        assert res.returncode == 3 and b"not a regular file" in res.stderr and stdin.tell() == 0
    # A summary line the output's encoding cannot give does not fail a build
    # that is done.
    res = subprocess.run(
        [*COMMAND, "build", os.fsencode(tmp_path) + b"/odd\xff.vlks", str(src)],
        capture_output=True,
        env={**os.environ, "PYTHONIOENCODING": "latin-1"},
    )
    assert res.returncode == 0 and res.stdout.startswith("\u2705".encode()) and b"odd\xff.vlks" in res.stdout, res.stderr


def test_interrupt_after_the_commit_keeps_the_store_and_exits_0(tmp_path):
    src = jsonl(tmp_path / "in.jsonl", 1000)
    out = tmp_path / "out.vlks"
    # Standard output is a pipe filled to the brim, so the command blocks on
    # its summary line, after the file is complete; the interrupt comes then.
    r, w = os.pipe()
    os.set_blocking(w, False)
    try:
        while True:
            os.write(w, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)
    proc = subprocess.Popen([*COMMAND, "build", str(out), str(src)], stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    deadline = time.monotonic() + 60
    while not out.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    fcntl.fcntl(r, fcntl.F_SETFL, 0)
    with os.fdopen(r, "rb") as pipe:
        output = pipe.read()
    assert proc.wait(timeout=60) == 0
    assert b"out.vlks  \xe2\x80\x94  1000 objects" in output
    assert b"the store is kept" in proc.stderr.read()
    proc.stderr.close()
    with VelkReader(out) as store:
        assert len(store) == 1000 and store["k999"] == [999, "v"]


def test_progress_only_on_a_terminal_or_when_asked(tmp_path):
    src = jsonl(tmp_path / "in.jsonl", 20000)
    out = tmp_path / "s.vlks"

    def run(*args):
        return subprocess.run([*COMMAND, *args], capture_output=True, timeout=60)

    quiet = run("build", str(out), str(src))
    assert quiet.returncode == 0 and quiet.stderr == b""  # stderr is no terminal
    shown = run("build", "--progress", str(out), str(src))
    assert shown.returncode == 0 and b"reading" in shown.stderr and b"100%" in shown.stderr
    dump = run("dump", "--progress", str(out))
    assert b"20.0k/20.0k" in dump.stderr and len(dump.stdout.splitlines()) == 20000
    assert json.loads(dump.stdout.splitlines()[0]) == {"key": "k0", "value": [0, "v"]}
    assert b"verifying" in run("verify", "--progress", str(out)).stderr
    assert run("dump", "--no-progress", str(out)).stderr == b""


def test_a_full_standard_output_is_named(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    full = tmp_path / "full"
    os.mknod(full, stat.S_IFCHR | 0o600, os.makedev(1, 7))  # a device that is always full
    src = jsonl(tmp_path / "in.jsonl", 3)
    store = tmp_path / "s.vlks"
    assert subprocess.run([*COMMAND, "build", str(store), str(src)], capture_output=True).returncode == 0
    for args in (["get", str(store), "k1"], ["dump", str(store)], ["info", str(store)], ["--help"], ["--version"]):
        with open(full, "wb") as out:
            res = subprocess.run([*COMMAND, *args], stdout=out, stderr=subprocess.PIPE)
        assert (res.returncode, res.stderr.decode()) == (
            3, "velkstore: cannot write to standard output: No space left on device\n"), args
