"""Random content built and read back against a plain model of what was staged,
and random single-byte damage, which every check must catch."""
import os
import zlib

import pytest
from hypothesis import given, settings, strategies as st

from _velkstore import _VelkReader, _VelkWriter
from storefile import sorted_store

SCALE = float(os.environ.get("VELK_STRESS_SCALE", "1"))

# Small alphabets, so that keys collide (rebinding), share prefixes and mix
# multi-byte UTF-8 with bytes that are not UTF-8 at all.
text_keys = st.text(alphabet="ab\u00e9\U0001f600\x00\x7f", max_size=4)
byte_keys = st.binary(max_size=4).map(lambda b: bytes(x if x % 3 else x | 0x80 for x in b))
keys = st.one_of(text_keys, byte_keys, st.sampled_from(["", b"", b"\xff", b"\xc3", "\u00e9"]))
payloads = st.one_of(st.binary(max_size=48), st.sampled_from([b"", b"same", b"\x80\xff"]))


@st.composite
def contents(draw, min_objects=0):
    """Objects (equal payloads may be staged twice) and key bindings in staging
    order, each key given as str, bytes, bytearray or a list of byte values."""
    objects = draw(st.lists(payloads, min_size=min_objects, max_size=12))
    bindings = []
    if objects:
        for key in draw(st.lists(keys, max_size=30)):
            raw = key.encode() if isinstance(key, str) else key
            form = draw(st.sampled_from([key, raw, bytearray(raw), list(raw)]))
            bindings.append((form, raw, draw(st.integers(0, len(objects) - 1))))
    return objects, bindings


def build(path, objects, bindings):
    w = _VelkWriter()
    assert [w.add_object_raw(p) for p in objects] == list(range(len(objects)))
    for form, _raw, obj in bindings:
        assert w.add_key(form, obj) is None
    model = {raw: obj for _form, raw, obj in bindings}  # the last binding wins
    assert repr(w) == f"_VelkWriter(objects={len(objects)}, keys={len(model)})"
    w.build(str(path))
    return model


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("property")


@settings(deadline=None, max_examples=max(10, int(250 * SCALE)))
@given(content=contents(), extra=st.lists(st.binary(max_size=5), max_size=8))
def test_queries_match_the_model(workdir, content, extra):
    objects, bindings = content
    path = workdir / "model.vlks"
    model = build(path, objects, bindings)
    blob = path.read_bytes()
    assert blob == sorted_store(objects, model.items()).build()
    order = sorted(model)
    pairs = [(k.decode("utf-8", "replace"), objects[model[k]]) for k in order]

    r = _VelkReader(str(path))
    assert r.keys() == [k for k, _ in pairs] and r.items_raw() == pairs
    for key in order:
        assert (r.get_raw(key), r.exists(key)) == (objects[model[key]], True)
    for absent in set(extra) - set(model):
        assert (r.get_raw(absent), r.exists(absent)) == (None, False)
    prefixes = {k[:n] for k in order for n in range(len(k) + 1)} | set(extra)
    for prefix in prefixes:
        expected = [p for k, p in zip(order, pairs) if k.startswith(prefix)]
        assert r.prefix_raw(prefix) == expected
        if prefix.isascii():
            assert r.prefix_raw(prefix.decode()) == expected
    # Distinct object ids, not distinct payloads, in first-seen sorted-key order.
    assert r.objects_raw() == [objects[i] for i in dict.fromkeys(model[k] for k in order)]
    stats = r.stats()
    assert stats == {"path": str(path), "version": 2, "num_keys": len(model),
                     "num_objects": len(objects),
                     "index_offset": 40 + sum(8 + len(p) for p in objects), "data_offset": 40,
                     "file_size_kb": len(blob) / 1024,
                     "file_crc32": f"0x{zlib.crc32(blob[40:]):08x}"}
    assert r.verify() is True


def queries_fail_cleanly(r, keys):
    """On a damaged store each query answers or raises RuntimeError, nothing else."""
    queries = [r.keys, r.items_raw, r.objects_raw, r.stats, lambda: r.prefix_raw("")]
    for key in keys[:6]:
        queries += [lambda k=key: r.get_raw(k), lambda k=key: r.exists(k), lambda k=key: r.prefix_raw(k[:1])]
    for query in queries:
        try:
            query()
        except RuntimeError as exc:
            assert str(exc).startswith("VelkCorruptError: "), exc


@settings(deadline=None, max_examples=max(20, int(500 * SCALE)))
@given(content=contents(min_objects=1), where=st.floats(0, 1, exclude_max=True),
       mask=st.integers(1, 255))
def test_every_single_byte_flip_is_detected(workdir, content, where, mask):
    objects, bindings = content
    model = {raw: obj for _form, raw, obj in bindings}
    blob = bytearray(sorted_store(objects, model.items()).build())  # the writer's layout
    blob[40 + int(where * (len(blob) - 40))] ^= mask
    path = workdir / "flip.vlks"
    path.write_bytes(blob)

    with pytest.raises(RuntimeError, match="^VelkCorruptError: file CRC32 mismatch  stored="):
        _VelkReader(str(path))
    try:
        r = _VelkReader(str(path), verify=False)
    except RuntimeError as exc:  # a damaged index may already fail the parse
        assert str(exc).startswith("VelkCorruptError: index section truncated"), exc
        return
    queries_fail_cleanly(r, sorted(model))
    with pytest.raises(RuntimeError, match="^VelkCorruptError: "):
        r.verify()
