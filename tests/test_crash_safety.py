"""A process that keeps rebuilding one store file, killed at random moments:
the target is always absent or one complete earlier build, never a mix."""
import os
import random
import signal
import subprocess
import sys
import time

from _velkstore import _VelkReader

SCALE = float(os.environ.get("VELK_STRESS_SCALE", "1"))
PAYLOAD = max(20_000, int(250_000 * SCALE))  # about 20-30 MB per build

# Shared by the child, which builds generation after generation, and by the
# test, which checks what the child left behind.
GENERATION = f"""
def generation(g):
    count = 80 + 10 * (g % 5)
    return [(f"k{{i:04d}}".encode(), g.to_bytes(4, "big") + i.to_bytes(4, "big") + bytes([g % 251]) * {PAYLOAD})
            for i in range(count)]
"""
CHILD = GENERATION + """
import sys
from _velkstore import _VelkWriter
target, g = sys.argv[1], int(sys.argv[2])
while True:
    w = _VelkWriter()
    for key, payload in generation(g):
        w.add_key(key, w.add_object_raw(payload))
    w.build(target)
    sys.stderr.write(f"{g}\\n")  # reported only after the build has returned
    sys.stderr.flush()
    g += 1
"""
exec(GENERATION)


def content(path):
    """The generation that the store at path holds, after a full check."""
    r = _VelkReader(str(path))
    assert r.verify() is True
    items = r.items_raw()
    g = int.from_bytes(items[0][1][:4], "big")
    assert items == [(k.decode(), p) for k, p in generation(g)]
    return g


def test_killed_builds_never_leave_a_partial_target(tmp_path):
    target = tmp_path / "store.vlks"
    rng = random.Random(5)
    delays = [0.01] + [rng.uniform(0.05, 0.45) for _ in range(8)]
    state = None  # the generation the target holds; None while it is absent
    for trial, delay in enumerate(delays):
        first = 1000 * (trial + 1)
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(target), str(first)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        errors = child.communicate(timeout=30)[1]
        assert child.returncode == -signal.SIGKILL, errors
        reported = [int(line) for line in errors.split()]
        # A build may have completed its rename without having reported it yet.
        settled = reported[-1] if reported else state
        pending = reported[-1] + 1 if reported else first
        state = content(target) if target.exists() else None
        torn = (tmp_path / "store.vlks.tmp").exists()  # killed while a build was writing
        print(f"trial {trial}: killed after {delay:.2f} s, {len(reported)} builds reported, "
              f"target holds {state}, temporary file left: {torn}")
        assert state in {settled, pending}
        assert set(os.listdir(tmp_path)) <= {"store.vlks", "store.vlks.tmp"}
