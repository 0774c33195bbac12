"""Demonstration of the main job: stage objects under keys, build a store
file, then open it and query it."""

import os
import tempfile

from velkstore import VelkReader, VelkWriter


def main() -> None:
    out_dir = tempfile.mkdtemp(prefix="velkstore-demo-")
    path = os.path.join(out_dir, "users.vlks")

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
    print("store file left at", path)


if __name__ == "__main__":
    main()
