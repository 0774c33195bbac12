"""Demonstration of the main job: stage objects and keys, build a store file,
then open it and query it."""

import os
import sys
import tempfile

import _velkstore


def main() -> None:
    out_dir = tempfile.mkdtemp(prefix="velkstore-demo-")
    path = os.path.join(out_dir, "users.vlks")

    w = _velkstore._VelkWriter()
    # A handful of shared objects (already serialised bytes), many keys each.
    plans = [w.add_object_raw(f"plan-{name}".encode()) for name in ("free", "pro", "team")]
    for i in range(3000):
        w.add_key(f"user:{i:05d}", plans[i % len(plans)])
    w.add_key(b"\xffbinary-key", plans[0])
    print(repr(w))
    sys.stdout.flush()
    w.build(path)  # prints its summary line straight to file descriptor 1

    with _velkstore._VelkReader(path) as r:
        print(repr(r))
        print("get_raw('user:00042')   ->", r.get_raw("user:00042"))
        print("get_raw('user:99999')   ->", r.get_raw("user:99999"))
        print("exists('user:00001')    ->", r.exists("user:00001"))
        print("prefix_raw('user:0299') ->", r.prefix_raw("user:0299")[:3], "...")
        print("objects_raw()           ->", r.objects_raw())
        print("stats()                 ->", r.stats())
        print("verify()                ->", r.verify())
    print("store file left at", path)


if __name__ == "__main__":
    main()
