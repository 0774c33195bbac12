"""Sharded stores facing hostile manifests, odd files in their directory,
failing commits and concurrent builds."""

import contextlib
import errno
import json
import os
import shutil
import signal
import threading

import pytest

import velkstore
from velkstore import (
    CorruptError,
    ShardedReader,
    ShardedWriter,
    VelkReader,
    VersionError,
    commit_shards,
    open_store,
    shard_of,
)
from velkstore import _native

MANIFEST = "velkstore-manifest.json"


def build(directory, pairs, num_shards=4, **kw):
    with ShardedWriter(directory, num_shards, **kw) as w:
        w.update(pairs)
    return directory


def manifest(directory):
    return json.loads((directory / MANIFEST).read_text())


def write_manifest(directory, doc):
    (directory / MANIFEST).write_text(json.dumps(doc))


def store_files(directory):
    return sorted(p.name for p in directory.iterdir() if p.name.endswith(".vlks"))


def read_all(directory):
    with ShardedReader(directory) as r:
        assert r.verify()
        return dict(r)


@contextlib.contextmanager
def no_hang(seconds=10):
    def fire(signum, frame):
        raise TimeoutError("hung")

    old = signal.signal(signal.SIGALRM, fire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


def test_reader_refuses_manifests_and_shards_that_misplace_keys(tmp_path):
    pairs = {f"k{i}": i for i in range(1000)}
    src = build(tmp_path / "src", pairs)
    outside = tmp_path / "outside.vlks"

    def seed(d, m):
        m["seed"] += 1

    def permuted(d, m):
        m["shards"][0], m["shards"][1] = m["shards"][1], m["shards"][0]

    def link_out(d, m):
        name = m["shards"][2]["file"]
        shutil.copyfile(d / name, outside)  # the same bytes, outside the directory
        (d / name).unlink()
        (d / name).symlink_to(outside)

    def odd_name(d, m):
        m["shards"][0]["file"] = "\ud800.vlks"  # valid JSON, but no file's name

    def bool_version(d, m):
        m["version"] = True

    for edit, error, match in [
        (odd_name, CorruptError, "no valid file name"),
        (bool_version, VersionError, "version True"),
        (seed, CorruptError, "place in shard"),
        (permuted, CorruptError, "place in shard"),
        (link_out, CorruptError, "outside the store's directory"),
    ]:
        d = tmp_path / edit.__name__
        shutil.copytree(src, d)
        doc = manifest(d)
        edit(d, doc)
        write_manifest(d, doc)
        # Refused at the open, or at the latest by verify(): never a store
        # whose keys read as absent.
        with pytest.raises(error, match=match):
            with ShardedReader(d, verify=False) as r:
                r.verify()
    # A directory standing as a shard names itself.
    d = tmp_path / "dir"
    shutil.copytree(src, d)
    name = manifest(d)["shards"][3]["file"]
    (d / name).unlink()
    (d / name).mkdir()
    for open_it in (ShardedReader, VelkReader):
        with pytest.raises(IsADirectoryError) as info:
            open_it(d if open_it is ShardedReader else d / name)
        assert info.value.filename in (str(d / name), d / name)


def test_a_fifo_as_manifest_is_refused_without_blocking(tmp_path, capsys):
    from velkstore.cli import main

    d = tmp_path / "st"
    d.mkdir()
    os.mkfifo(d / MANIFEST)
    with no_hang():
        for attempt in (lambda: ShardedReader(d), lambda: open_store(d), lambda: ShardedWriter(d, 2)):
            with pytest.raises(CorruptError, match="not a regular file"):
                attempt()
        for command in ("info", "verify"):
            assert main([command, str(d)]) != 0
            assert "not a regular file" in capsys.readouterr().err
    assert os.listdir(d) == [MANIFEST]


def test_commits_that_fail_leave_the_old_store_or_say_the_new_one_is_live(tmp_path, monkeypatch):
    real_commit, real_replace = _native.commit_file, os.replace
    old_pairs, new_pairs = {"old": 1, "o2": 2}, {f"n{i}": i for i in range(50)}

    def before_rename(path, data):
        raise OSError(errno.EIO, "Input/output error")

    def after_rename(path, data):
        real_commit(path, data)
        raise velkstore.VelkOSError(errno.EIO, f"sync dir: {path} was replaced but may not be durable")

    moves = []

    def second_move_fails(src, dst):
        moves.append(dst)
        if len(moves) == 2:
            raise OSError(errno.EXDEV, "Invalid cross-device link")
        return real_replace(src, dst)

    for name, patch, committed in [
        ("manifest", (_native, "commit_file", before_rename), False),
        ("move", (os, "replace", second_move_fails), False),
        ("sync", (_native, "commit_file", after_rename), True),
    ]:
        d = build(tmp_path / name, old_pairs)
        old_files = store_files(d)
        moves.clear()
        with monkeypatch.context() as m:
            m.setattr(*patch)
            with pytest.raises(OSError) as info:
                build(d, new_pairs, num_shards=3)
        if committed:
            # The new store is live and the error says so; the old shards
            # stay while the rename may not be durable.
            assert "was replaced but may not be durable" in str(info.value)
            assert read_all(d) == new_pairs
            assert set(old_files) < set(store_files(d))
        else:
            # Nothing of the failed build is left beside the old store.
            assert store_files(d) == old_files and read_all(d) == old_pairs
            if name == "move":
                assert info.value.filename == moves[1]
        assert not list(d.glob(".velkstore-build-*"))

    # Interrupted once the new manifest is in place: the new store is live
    # and the old one's shards are gone all the same (no later build would
    # know of them).
    def interrupted(path, data):
        real_commit(path, data)
        raise KeyboardInterrupt

    d = build(tmp_path / "interrupt", old_pairs)
    old_files = store_files(d)
    with monkeypatch.context() as m:
        m.setattr(_native, "commit_file", interrupted)
        with pytest.raises(KeyboardInterrupt):
            build(d, new_pairs, num_shards=3)
    assert read_all(d) == new_pairs and not set(old_files) & set(store_files(d))
    assert not list(d.glob(".velkstore-build-*"))

    # Interrupted before the manifest, which then cannot be read back: the
    # old store is kept whole (nothing is removed on a guess).
    real_open = os.open

    def manifest_unreadable(path, flags, *a, **kw):
        if os.fsdecode(path).endswith(MANIFEST) and not flags & (os.O_WRONLY | os.O_RDWR):
            raise OSError(errno.EIO, "Input/output error", path)
        return real_open(path, flags, *a, **kw)

    def interrupted_before(path, data):
        os.open = manifest_unreadable
        raise KeyboardInterrupt

    d = build(tmp_path / "unknown", old_pairs)
    with monkeypatch.context() as m:
        m.setattr(_native, "commit_file", interrupted_before)
        m.setattr(os, "open", os.open)  # restored whatever the case set
        with pytest.raises(KeyboardInterrupt):
            build(d, new_pairs, num_shards=3)
    assert read_all(d) == old_pairs


def test_a_relative_directory_survives_a_chdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "elsewhere").mkdir()
    w = ShardedWriter("rel", 2)
    w.add("a", 1)
    monkeypatch.chdir(tmp_path / "elsewhere")
    assert w.build().path == "rel"
    assert w.directory == "rel" and read_all(tmp_path / "rel") == {"a": 1}
    assert not list((tmp_path / "rel").glob(".velkstore-build-*")) and not os.listdir(tmp_path / "elsewhere")
    # As the system resolves it: "link/.." is where the link leads, not here.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "real" / "sub").mkdir(parents=True)
    os.symlink(tmp_path / "real" / "sub", tmp_path / "link")
    build("link/../store", {"b": 2})
    assert read_all(tmp_path / "real" / "store") == {"b": 2} and not (tmp_path / "store").exists()


def test_rebuilds_delete_only_the_old_stores_own_shards(tmp_path, monkeypatch):
    d = build(tmp_path / "st", {"a": 1})
    doc = manifest(d)
    # An edited manifest naming a user's files, with the sizes and CRCs of
    # real shards: only real shards of that manifest go.
    (d / "notes.txt").write_bytes((d / doc["shards"][0]["file"]).read_bytes())
    other = build(tmp_path / "other", {"b": 2}, num_shards=1)
    shutil.copyfile(other / manifest(other)["shards"][0]["file"], d / "theirs.vlks")
    doc["shards"][0]["file"] = "notes.txt"
    doc["shards"][1]["file"] = "theirs.vlks"
    write_manifest(d, doc)
    kept_shards = [s["file"] for s in doc["shards"][2:]]
    build(d, {"c": 3}, num_shards=2)
    files = store_files(d)
    assert (d / "notes.txt").exists() and "theirs.vlks" in files
    assert not set(kept_shards) & set(files) and read_all(d) == {"c": 3}

    # A damaged manifest is replaced by a rebuild; one of a later format is
    # refused before anything is built.
    (d / MANIFEST).write_text("{ damaged")
    build(d, {"d": 4}, num_shards=2)
    assert read_all(d) == {"d": 4}
    doc = manifest(d)
    write_manifest(d, doc | {"version": 99})
    with pytest.raises(VersionError):
        ShardedWriter(d, 2)
    assert not list(d.glob(".velkstore-build-*"))

    # An old shard that cannot be removed is left with a warning: the
    # build has succeeded.
    write_manifest(d, doc)
    real_unlink = os.unlink

    def unlink(path, *a, **kw):
        if os.fsdecode(path).endswith(doc["shards"][0]["file"]):
            raise PermissionError(errno.EACCES, "Permission denied", path)
        return real_unlink(path, *a, **kw)

    monkeypatch.setattr(os, "unlink", unlink)
    with pytest.warns(RuntimeWarning, match=doc["shards"][0]["file"]):
        build(d, {"e": 5}, num_shards=2)
    assert read_all(d) == {"e": 5}


def test_commit_shards_replaces_a_store_and_refuses_odd_files(tmp_path):
    d = build(tmp_path / "st", {f"k{i}": i for i in range(100)}, num_shards=3)
    previous = store_files(d)
    pairs = {f"p{i}": i for i in range(100)}
    names = []
    for i in range(2):
        with velkstore.VelkWriter(d / f"part{i}.vlks") as w:
            w.update({k: v for k, v in pairs.items() if shard_of(k, 2) == i})
        names.append(f"part{i}.vlks")
    (tmp_path / "elsewhere.vlks").write_bytes((d / names[1]).read_bytes())
    os.symlink(tmp_path / "elsewhere.vlks", d / "link.vlks")
    (d / "adir.vlks").mkdir()
    for files, error, match in [
        ("part0.vlks", TypeError, "sequence of file names"),
        ([names[0], "link.vlks"], ValueError, "outside the store's directory"),
        ([names[0], "adir.vlks"], IsADirectoryError, "adir.vlks"),
    ]:
        with pytest.raises(error, match=match):
            commit_shards(d, files)
    assert store_files(d) == sorted([*previous, *names, "adir.vlks", "link.vlks"])
    commit_shards(d, names)
    assert read_all(d) == pairs
    assert store_files(d) == sorted([*names, "adir.vlks", "link.vlks"])
    # Links to the store's own shards: the files they name are kept.
    for i, name in enumerate(names):
        os.symlink(name, d / f"alias{i}.vlks")
    commit_shards(d, ["alias0.vlks", "alias1.vlks"])
    assert read_all(d) == pairs
    # A name that is not UTF-8, as os.listdir gives it, names its file.
    odd = os.fsdecode(b"\xff.vlks")
    shutil.copyfile(d / names[0], os.path.join(d, odd))
    commit_shards(d, [odd, "alias1.vlks"])
    assert read_all(d) == pairs


def test_commit_shards_commits_nothing_when_its_files_change_meanwhile(tmp_path, monkeypatch):
    import importlib

    module = importlib.import_module("velkstore.sharded.commit")
    d = build(tmp_path / "st", {"a": 1}, num_shards=2)
    files = [s["file"] for s in manifest(d)["shards"]]
    real = module.commit

    def late(*args, **kw):
        build(d, {"b": 2}, num_shards=2)  # removes the shards just checked
        return real(*args, **kw)

    monkeypatch.setattr(module, "commit", late)
    with pytest.raises(OSError, match="changed while the store was being committed"):
        commit_shards(d, files)
    assert read_all(d) == {"b": 2}


def test_a_spill_cut_short_by_a_full_disk_leaves_no_torn_frame(tmp_path):
    # A file size limit stands in for a full disk: a spill's write stops
    # part way through a frame.  Once there is room again, the build holds
    # every pair once.
    script = f"""
import resource, signal, velkstore
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
pairs = {{f"k{{i}}": "v" * 200 for i in range(3000)}}
with velkstore.ShardedWriter({str(tmp_path / "st")!r}, 2, spill_bytes=1 << 16) as w:
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))
    try:
        w.update(pairs)
    except OSError:
        pass
    else:
        raise SystemExit("no spill failed")
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    w.update(pairs)
with velkstore.ShardedReader({str(tmp_path / "st")!r}) as r:
    assert r.verify() and dict(r) == pairs
"""
    import subprocess
    import sys

    res = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert res.returncode == 0, res.stderr.decode()


def test_commit_shards_refuses_a_damaged_shard_and_keeps_the_store(tmp_path):
    # A record damaged in the copy that brought the file (its lookup index
    # intact, so the file opens): the whole-file CRC refuses it.
    old = {f"k{i}": i for i in range(50)}
    d = build(tmp_path / "st", old, num_shards=2)
    with velkstore.VelkWriter(d / "part0.vlks") as w:
        w.update({f"p{i}": f"value {i}" for i in range(200)})
    data = bytearray((d / "part0.vlks").read_bytes())
    data[200] ^= 0x01  # a record's payload
    (d / "part0.vlks").write_bytes(bytes(data))
    with pytest.raises(CorruptError, match="CRC"):
        commit_shards(d, ["part0.vlks"])
    assert read_all(d) == old


def test_concurrent_builds_leave_one_store_and_readers_never_miss_a_shard(tmp_path):
    d = tmp_path / "st"
    build(d, {f"s{i}": 0 for i in range(200)})
    done = threading.Event()
    failures = []

    def builder(tag):
        try:
            for round_ in range(12):
                build(d, {f"{tag}{i}": round_ for i in range(200)}, num_shards=3)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    def reader():
        while not done.is_set():
            try:
                with ShardedReader(d, verify=False) as r:
                    assert len(r) == 200
            except BaseException as exc:  # noqa: BLE001 - reported below
                failures.append(exc)
                return

    threads = [threading.Thread(target=builder, args=(t,)) for t in "ab"]
    watcher = threading.Thread(target=reader)
    for t in [*threads, watcher]:
        t.start()
    for t in threads:
        t.join()
    done.set()
    watcher.join()
    assert failures == []
    assert store_files(d) == sorted(s["file"] for s in manifest(d)["shards"])


def test_an_open_started_again_after_a_commit_opens_the_shards_asked(tmp_path, monkeypatch):
    # The shards asked for by an iterator: the open that starts again
    # after a commit removed the shards it had found opens them too.
    d = build(tmp_path / "st", {f"a{i}": i for i in range(100)}, num_shards=2)
    real_open = ShardedReader._open_shards
    opens = []

    def open_shards(self, m, wanted):
        opens.append(m)
        if len(opens) == 1:
            build(d, {f"b{i}": i for i in range(100)}, num_shards=2)
        return real_open(self, m, wanted)

    monkeypatch.setattr(ShardedReader, "_open_shards", open_shards)
    with ShardedReader(d, shards=iter([1, 0])) as r:
        assert len(opens) == 2
        assert r.shards == (0, 1)
        assert len(r) == 100 and r["b7"] == 7



def test_a_damaged_index_block_of_a_shard_is_an_error_never_an_absent_key(tmp_path):
    pairs = {f"key:{i:05d}": i for i in range(3000)}
    build(tmp_path, pairs, num_shards=1)
    shard = tmp_path / manifest(tmp_path)["shards"][0]["file"]
    data = bytearray(shard.read_bytes())
    index_offset = int.from_bytes(data[16:24], "big")
    data[index_offset + 20000] ^= 0x10  # inside an index block checked on first use
    shard.write_bytes(bytes(data))
    r = ShardedReader(tmp_path)
    damaged = 0
    for k, v in pairs.items():
        for ask, want in ((lambda: k in r, True), (lambda: r.get(k), v), (lambda: r.get_many([k]), [v])):
            try:
                assert ask() == want, k
            except CorruptError:
                damaged += 1
    assert damaged > 0
