"""Demonstration of the main job: stage objects under keys, build a store
file, then open it and query it.

    python examples/demo.py [DIR]

The store is written to DIR/users.vlks (DIR is created; the file is
replaced on every run and left there to look at).  Without DIR it goes to a
temporary directory that is removed at the end."""

import os
import sys
import tempfile

from velkstore import VelkReader, VelkWriter


def main() -> None:
    if len(sys.argv) > 1:
        os.makedirs(sys.argv[1], exist_ok=True)
        path = os.path.join(sys.argv[1], "users.vlks")
        demo(path)
        print(f"store file left at {path} (replaced by the next run; `velkstore info {path}` shows it)")
    else:
        with tempfile.TemporaryDirectory(prefix="velkstore-demo-") as out_dir:
            demo(os.path.join(out_dir, "users.vlks"))
        print("store file removed with its temporary directory", out_dir)


def demo(path: str) -> None:

    plans = [
        {"plan": "free", "seats": 1, "price": 0.0},
        {"plan": "pro", "seats": 5, "price": 12.5},
        {"plan": "team", "seats": 50, "price": 99.0, "features": ["sso", "audit"]},
    ]
    # Leaving the block builds the file.
    with VelkWriter(path) as w:
        for i in range(3000):
            # Equal objects are stored once, however many keys name them.
            w.add(f"user:{i:05d}", plans[i % len(plans)])
        w.add_many([b"\xffbinary-key", "admin"], {"plan": "staff", "avatar": b"\x89PNG..."})
        print(repr(w))
    print("built:", w.last_build)

    with VelkReader(path) as r:
        print(repr(r))
        print("r['user:00042']           ->", r["user:00042"])
        print("r.get('user:99999')       ->", r.get("user:99999"))
        print("'user:00001' in r         ->", "user:00001" in r)
        print("len(r)                    ->", len(r))
        print("r.prefix('user:0299')     ->", list(r.prefix("user:0299"))[:3], "...")
        print("r.get_many([...])         ->", r.get_many(["user:00001", "nobody", "admin"]))
        print("list(r.keys_bytes())[-2:] ->", list(r.keys_bytes())[-2:])
        print("r.stats()                 ->", r.stats())
        print("r.verify()                ->", r.verify())


if __name__ == "__main__":
    main()
