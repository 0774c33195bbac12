"""Store files assembled byte by byte, independently of the writer.

Header fields left as None are derived from the content the way the writer
derives them; pass a value to produce a deliberately wrong file.  Also the
assertion helper fails(), shared by the tests.
"""
import re
import struct
import zlib

HEADER_SIZE = 40


def key_bytes(key):
    return key.encode() if isinstance(key, str) else bytes(key)


class StoreFile:
    def __init__(self):
        self.data = b""
        self.index = b""
        self.objects = 0
        self.keys = 0

    def add_object(self, payload, crc=None, length=None):
        """Appends an object record and returns its offset."""
        offset = HEADER_SIZE + len(self.data)
        self.data += struct.pack(">II", len(payload) if length is None else length,
                                 zlib.crc32(payload) if crc is None else crc) + payload
        self.objects += 1
        return offset

    def add_key(self, key, offset):
        """Appends an index entry; entries stay in call order."""
        key = key_bytes(key)
        self.index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)
        self.keys += 1
        return self

    def build(self, *, magic=b"VLKS", version=2, num_keys=None, num_objects=None,
              index_offset=None, data_offset=HEADER_SIZE, file_crc32=None,
              reserved=bytes(7), tail=b""):
        body = self.data + self.index + tail
        fields = struct.pack(
            ">IIQQI",
            self.keys if num_keys is None else num_keys,
            self.objects if num_objects is None else num_objects,
            HEADER_SIZE + len(self.data) if index_offset is None else index_offset,
            data_offset,
            zlib.crc32(body) if file_crc32 is None else file_crc32)
        return magic + bytes([version]) + reserved[:3] + fields + reserved[3:] + body

    def write(self, path, **fields):
        path.write_bytes(self.build(**fields))
        return str(path)


def sorted_store(objects, bindings):
    """The store the writer would lay out: objects in id order, the
    (key, object id) bindings sorted by key bytes."""
    f = StoreFile()
    offsets = [f.add_object(p) for p in objects]
    for key, obj in sorted(bindings, key=lambda b: key_bytes(b[0])):
        f.add_key(key, offsets[obj])
    return f


def fails(exc_type, message, call, *args):
    """Calls call(*args), which must raise exactly exc_type with the text
    message (a compiled pattern must match the whole text; None: any text).
    Returns the exception."""
    try:
        call(*args)
    except Exception as exc:
        assert type(exc) is exc_type, repr(exc)
        text = str(exc)
        assert message is None or (message.fullmatch(text) if isinstance(message, re.Pattern)
                                   else text == message), text
        return exc
    raise AssertionError(f"{exc_type.__name__} not raised")
