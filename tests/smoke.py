"""The installed package's round trip in the interpreter that runs this
script, with no test tools: builds a store with the package and with the
command line (in this process), looks up, scans, verifies, and reads it
through _velkstore.  For interpreters that cannot run pytest here (aarch64
under emulation: tools/aarch64-test.sh).

    python smoke.py WORKDIR
"""

import contextlib
import io
import json
import os
import platform
import sys


def main(work: str) -> int:
    import _velkstore
    import velkstore
    from velkstore.cli import main as cli

    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "s.vlks")
    values = {f"user:{i}": {"n": i, "tags": ["a"] * (i % 3), "blob": bytes([i % 256]) * i} for i in range(2000)}
    with velkstore.VelkWriter(path) as w:
        w.update(values)
        w.add_raw(b"raw:\xff", b"\x93\x01\x02\x03")
    failures = []

    def check(what, got, want):
        if got != want:
            failures.append(f"{what}: {got!r} != {want!r}")

    with velkstore.VelkReader(path) as r:
        check("len", len(r), 2001)
        check("lookup", r["user:1234"], values["user:1234"])
        check("absent", r.get("user:x"), None)
        check("batch", r.get_many(["user:7", "nobody", "user:0"]), [values["user:7"], None, values["user:0"]])
        check("raw", r.get_raw(b"raw:\xff"), b"\x93\x01\x02\x03")
        scanned = list(r.prefix("user:19"))
        check("prefix", [k for k, _ in scanned], sorted(k for k in values if k.startswith("user:19")))
        check("range", [k for k, _ in r.range("user:10", "user:11")],
              sorted(k for k in values if "user:10" <= k < "user:11"))
        check("verify", r.verify(), True)
    fixed = _velkstore._VelkReader(path)
    check("_velkstore", fixed.get_raw("user:5") is not None and fixed.verify(), True)

    # The command line: build from JSON lines, then get and dump.
    records = os.path.join(work, "in.jsonl")
    with open(records, "w") as f:
        for i in range(100):
            f.write(json.dumps({"key": f"k{i}", "value": {"n": i}}) + "\n")
    built = os.path.join(work, "cli.vlks")

    def run(*args):
        out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")  # the CLI writes bytes to .buffer
        with contextlib.redirect_stdout(out):
            check(" ".join(args[:1]) + " status", cli(list(args)), 0)
        out.flush()
        return out.buffer.getvalue().decode()

    run("build", built, records)
    run("verify", built)
    check("get", json.loads(run("get", built, "k42")), {"n": 42})
    check("keys", run("keys", built, "--prefix", "k9").split(), sorted(f"k9{i}" for i in ["", *range(10)]))

    print(f"smoke: CPython {platform.python_version()} on {platform.machine()}: "
          f"{'ok' if not failures else 'FAILED'}")
    for failure in failures:
        print("  " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
