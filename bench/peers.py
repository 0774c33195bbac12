"""The stores compared, behind one small interface.

Each peer builds a file from a data set, opens it, and hands out plain
callables for the workloads, so that every workload runs the same timing
loop over every peer.  Each peer gets keys in the type it takes natively
(``native``): the store, dict and sqlite take the data set's str or bytes,
lmdb takes bytes, marisa-trie takes str (binary keys as hex).

Builds are durable for every peer (the file is synced before the build
counts as done), since the store's own build syncs its file and directory.
"""

from __future__ import annotations

import contextlib
import os
import pickle
import sqlite3
import time

import _velkstore

try:
    import lmdb
except ImportError:  # pragma: no cover - reported as a skipped peer
    lmdb = None
try:
    import marisa_trie
except ImportError:  # pragma: no cover
    marisa_trie = None

STORE = "velk"


@contextlib.contextmanager
def quiet_fd1():
    """Send file descriptor 1 to /dev/null (build() prints its summary there)."""
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def _fsync_path(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _remove(*paths: str) -> None:
    for p in paths:
        with contextlib.suppress(FileNotFoundError):
            os.remove(p)


class Peer:
    name = ""
    label = ""
    suffix = ""

    def native(self, kind: str):
        """Function turning a data set key into this peer's key type (None: unchanged)."""
        return None

    def convert(self, keys: list, kind: str) -> list:
        f = self.native(kind)
        return list(keys) if f is None else [f(k) for k in keys]

    def path(self, workdir: str, ds) -> str:
        return os.path.join(workdir, f"{ds.name}-{ds.n}{self.suffix}")

    # build(ds, path) -> {"total": seconds, ...}; open(path) -> handle
    def build(self, ds, path: str) -> dict:
        raise NotImplementedError

    def open(self, path: str):
        raise NotImplementedError

    def close(self, h) -> None:
        pass

    def file_bytes(self, path: str) -> int:
        return os.path.getsize(path)

    # Workload callables; None marks a workload the peer has no form of.
    def get(self, h):
        raise NotImplementedError

    def exists(self, h):
        return None

    def prefix(self, h, kind: str):
        return None

    def all_keys(self, h):
        return None

    def all_items(self, h):
        return None

    def all_objects(self, h):
        return None


class VelkPeer(Peer):
    name = STORE
    label = "velkstore"
    suffix = ".vlks"

    def build(self, ds, path):
        _remove(path)
        t0 = time.perf_counter()
        w = _velkstore._VelkWriter()
        ids = list(map(w.add_object_raw, ds.objects))
        add_key = w.add_key
        for k, o in zip(ds.keys, ds.obj_of):
            add_key(k, ids[o])
        t1 = time.perf_counter()
        with quiet_fd1():
            w.build(path)
        t2 = time.perf_counter()
        del w
        return {"total": t2 - t0, "stage": t1 - t0, "write": t2 - t1}

    def open(self, path, verify=False):
        return _velkstore._VelkReader(path, verify=verify)

    def get(self, h):
        return h.get_raw

    def exists(self, h):
        return h.exists

    def prefix(self, h, kind):
        return h.prefix_raw

    def all_keys(self, h):
        return h.keys

    def all_items(self, h):
        return h.items_raw

    def all_objects(self, h):
        return h.objects_raw


class DictPeer(Peer):
    """A dict pickled to a file: the in-memory ceiling once loaded."""

    name = "dict"
    label = "dict (pickle)"
    suffix = ".pickle"

    def build(self, ds, path):
        items = ds.items()
        _remove(path)
        t0 = time.perf_counter()
        d = dict(items)
        with open(path, "wb") as f:
            pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())
        t1 = time.perf_counter()
        return {"total": t1 - t0}

    def open(self, path):
        with open(path, "rb") as f:
            return pickle.load(f)

    def get(self, h):
        return h.get

    def exists(self, h):
        return h.__contains__

    def all_keys(self, h):
        return lambda: list(h)

    def all_items(self, h):
        return lambda: list(h.items())

    def all_objects(self, h):
        # The same de-duplication the store does: each shared object once.
        return lambda: list({id(v): v for v in h.values()}.values())


class LmdbPeer(Peer):
    name = "lmdb"
    label = "lmdb"
    suffix = ".lmdb"

    def native(self, kind):
        return str.encode if kind == "str" else None

    def build(self, ds, path):
        f = self.native(ds.kind)
        objs = ds.objects
        items = [(f(k) if f else k, objs[o]) for k, o in zip(ds.keys, ds.obj_of)]
        _remove(path, path + "-lock")
        per_entry = sum(len(k) for k, _ in items[:1000]) / min(1000, len(items)) + len(objs[0]) + 64
        map_size = int(len(items) * per_entry * 2) + (256 << 20)
        t0 = time.perf_counter()
        # Sorted input with append=True is lmdb's fastest bulk load.
        items.sort()
        env = lmdb.open(path, map_size=map_size, subdir=False, metasync=True, sync=True)
        with env.begin(write=True) as txn:
            txn.cursor().putmulti(items, append=True)
        env.sync(True)
        env.close()
        t1 = time.perf_counter()
        _remove(path + "-lock")
        return {"total": t1 - t0}

    def file_bytes(self, path):
        env = lmdb.open(path, subdir=False, readonly=True, lock=False)
        try:
            info, stat = env.info(), env.stat()
            return (info["last_pgno"] + 1) * stat["psize"]
        finally:
            env.close()

    def open(self, path):
        env = lmdb.open(path, subdir=False, readonly=True, lock=False)
        txn = env.begin(buffers=False)
        return (env, txn)

    def close(self, h):
        env, txn = h
        txn.abort()
        env.close()

    def get(self, h):
        return h[1].get

    def exists(self, h):
        return h[1].cursor().set_key

    def prefix(self, h, kind):
        cur = h[1].cursor()
        set_range, key, item = cur.set_range, cur.key, cur.item
        nxt = cur.next

        def scan(p):
            out = []
            ok = set_range(p)
            while ok:
                k = key()
                if not k.startswith(p):
                    break
                out.append(item())
                ok = nxt()
            return out

        return scan

    def all_keys(self, h):
        return lambda: list(h[1].cursor().iternext(keys=True, values=False))

    def all_items(self, h):
        return lambda: list(h[1].cursor().iternext())

    def all_objects(self, h):
        # lmdb keeps a copy of the value per key: all values, nothing to de-duplicate.
        return lambda: list(h[1].cursor().iternext(keys=False, values=True))


class MarisaPeer(Peer):
    name = "marisa"
    label = "marisa BytesTrie"
    suffix = ".marisa"

    def native(self, kind):
        # Binary keys as hex: latin-1 strings holding NUL characters make
        # BytesTrie lookups ten to a hundred times slower.
        return bytes.hex if kind == "bytes" else None

    def build(self, ds, path):
        f = self.native(ds.kind)
        objs = ds.objects
        items = [(f(k) if f else k, objs[o]) for k, o in zip(ds.keys, ds.obj_of)]
        _remove(path)
        t0 = time.perf_counter()
        trie = marisa_trie.BytesTrie(items)
        trie.save(path)
        _fsync_path(path)
        t1 = time.perf_counter()
        return {"total": t1 - t0}

    def open(self, path):
        trie = marisa_trie.BytesTrie()
        trie.mmap(path)
        return trie

    def get(self, h):
        return h.get

    def exists(self, h):
        return h.__contains__

    def prefix(self, h, kind):
        return h.items

    def all_keys(self, h):
        return h.keys

    def all_items(self, h):
        return h.items

    def all_objects(self, h):
        return lambda: [v for _, v in h.items()]


class SqlitePeer(Peer):
    name = "sqlite"
    label = "sqlite3"
    suffix = ".sqlite"

    def build(self, ds, path):
        items = ds.items()
        ktype = "TEXT" if ds.kind == "str" else "BLOB"
        _remove(path, path + "-journal")
        t0 = time.perf_counter()
        items.sort()
        con = sqlite3.connect(path)
        # A new file: no rollback journal needed; the commit still syncs it.
        con.execute("PRAGMA journal_mode=OFF")
        con.execute(f"CREATE TABLE kv(k {ktype} PRIMARY KEY, v BLOB) WITHOUT ROWID")
        with con:
            con.executemany("INSERT INTO kv VALUES (?, ?)", items)
        con.close()
        t1 = time.perf_counter()
        return {"total": t1 - t0}

    def open(self, path):
        con = sqlite3.connect(f"file:{path}?immutable=1", uri=True, check_same_thread=False)
        con.execute(f"PRAGMA mmap_size={os.path.getsize(path) * 2 + (1 << 20)}")
        return con

    def close(self, h):
        h.close()

    def get(self, h):
        cur = h.cursor()
        execute, fetchone = cur.execute, cur.fetchone
        sql = "SELECT v FROM kv WHERE k=?"

        def get(k):
            execute(sql, (k,))
            row = fetchone()
            return None if row is None else row[0]

        return get

    def exists(self, h):
        cur = h.cursor()
        execute, fetchone = cur.execute, cur.fetchone
        sql = "SELECT 1 FROM kv WHERE k=?"

        def exists(k):
            execute(sql, (k,))
            return fetchone() is not None

        return exists

    def prefix(self, h, kind):
        if kind != "str":
            return None
        cur = h.cursor()
        execute = cur.execute
        sql = "SELECT k, v FROM kv WHERE k >= ? AND k < ?"

        def scan(p):
            return execute(sql, (p, p[:-1] + chr(ord(p[-1]) + 1))).fetchall()

        return scan

    def all_keys(self, h):
        return lambda: [r[0] for r in h.execute("SELECT k FROM kv ORDER BY k")]

    def all_items(self, h):
        return lambda: h.execute("SELECT k, v FROM kv ORDER BY k").fetchall()

    def all_objects(self, h):
        return lambda: [r[0] for r in h.execute("SELECT v FROM kv ORDER BY k")]


def all_peers() -> list:
    peers = [VelkPeer(), DictPeer()]
    if lmdb is not None:
        peers.append(LmdbPeer())
    if marisa_trie is not None:
        peers.append(MarisaPeer())
    peers.append(SqlitePeer())
    return peers


def versions() -> dict:
    import platform

    v = {"python": platform.python_version(), "sqlite": sqlite3.sqlite_version}
    if lmdb is not None:
        v["lmdb (py-lmdb)"] = f"{lmdb.__version__} (liblmdb {'.'.join(map(str, lmdb.version()))})"
    if marisa_trie is not None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            v["marisa-trie"] = version("marisa-trie")
        except PackageNotFoundError:
            v["marisa-trie"] = "?"
    return v
