"""Synthetic data sets for the benchmark suite.

A data set is a list of keys in insertion order, the distinct objects and,
for each key, the index of its object.  About one key in ten shares an
object with another key, so a store that keeps each object once (and a
pickled dict, whose memo does the same) is smaller than one that copies a
value per key.  Everything comes from a seeded generator, so every run
measures the same content.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

OBJECT_SIZE = 100
SHARED_FRACTION = 0.10
PREFIX_DIGITS = 6  # 'user:' + 6 of the 8 digits: 100 keys per prefix


@dataclass
class Dataset:
    name: str       # "text" or "binary"
    kind: str       # "str" or "bytes": the type of the keys below
    keys: list      # insertion order (shuffled)
    objects: list   # distinct objects, by object index
    obj_of: list    # object index of each key
    hits: list = field(default_factory=list)      # query keys present (the same key objects as `keys`)
    misses: list = field(default_factory=list)    # query keys absent
    prefixes: list = field(default_factory=list)  # prefixes matching ~100 keys each (text only)

    @property
    def n(self) -> int:
        return len(self.keys)

    def items(self) -> list:
        """(key, value) pairs in insertion order; shared objects are the same bytes object."""
        objs = self.objects
        return [(k, objs[o]) for k, o in zip(self.keys, self.obj_of)]

    def key_bytes(self) -> int:
        if self.kind == "str":
            return sum(len(k.encode()) for k in self.keys)
        return sum(len(k) for k in self.keys)


def _objects_and_links(rng: random.Random, n: int) -> tuple[list, list]:
    n_shared = int(n * SHARED_FRACTION)
    n_obj = n - n_shared
    objects = [rng.randbytes(OBJECT_SIZE) for _ in range(n_obj)]
    obj_of = list(range(n_obj)) + [rng.randrange(n_obj) for _ in range(n_shared)]
    rng.shuffle(obj_of)
    return objects, obj_of


def text_keys(n: int) -> list:
    return ["user:%08d" % i for i in range(n)]


def make_text(n: int, queries: int, seed: int = 1) -> Dataset:
    if n > 10**8:
        raise ValueError("text keys have 8 digits: at most 100,000,000 keys")
    rng = random.Random(seed)
    keys = text_keys(n)
    rng.shuffle(keys)
    objects, obj_of = _objects_and_links(rng, n)
    ds = Dataset("text", "str", keys, objects, obj_of)
    ds.hits = [keys[rng.randrange(n)] for _ in range(queries)]
    # Same shape as the hits (same prefix and length), numbers past the end.
    ds.misses = ["user:%08d" % rng.randrange(n, 10**8) for _ in range(queries)] if n < 10**8 else []
    n_prefixes = max(1, queries // 100)
    top = max(1, n // 100)
    ds.prefixes = ["user:%0*d" % (PREFIX_DIGITS, rng.randrange(top)) for _ in range(n_prefixes)]
    return ds


def make_binary(n: int, queries: int, seed: int = 2) -> Dataset:
    rng = random.Random(seed)
    seen: set = set()
    keys = []
    while len(keys) < n:
        k = rng.randbytes(rng.randint(8, 40))
        if k not in seen:
            seen.add(k)
            keys.append(k)
    objects, obj_of = _objects_and_links(rng, n)
    ds = Dataset("binary", "bytes", keys, objects, obj_of)
    ds.hits = [keys[rng.randrange(n)] for _ in range(queries)]
    misses = []
    while len(misses) < queries:
        k = rng.randbytes(rng.randint(8, 40))
        if k not in seen:
            misses.append(k)
    ds.misses = misses
    return ds


def fresh(keys: list) -> list:
    """Equal copies of keys as new objects, whose hash is not computed yet."""
    if not keys:
        return []
    if isinstance(keys[0], str):
        return [k.encode().decode() for k in keys]
    return [bytes(bytearray(k)) for k in keys]
