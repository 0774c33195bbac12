// MessagePack encoding of the plain values that fill most stores (bytes,
// str, int, float, bool, None, and dicts, lists and tuples of them),
// written here to spare a call into the encoder per value.  Byte for byte
// what msgpack.Packer(use_bin_type=True) writes for them, so a value is
// stored the same whichever path took it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bind/python.h"

namespace velk::native {

// The encodings of single scalars, for values that come without a Python
// object (Arrow columns); each the form PackPlain gives the equal object.
void PackSigned(int64_t v, std::string* out);
void PackUnsigned(uint64_t v, std::string* out);
void PackDouble(double v, std::string* out);
// False (out unchanged) for a run too long for MessagePack (4 GiB).
bool PackStr(std::string_view utf8, std::string* out);
bool PackBin(std::string_view data, std::string* out);
// The header of a map of n pairs; false when n is too large.
bool PackMapHeader(size_t n, std::string* out);
// A timestamp (extension -1): whole seconds since the epoch (floor) and the
// nanoseconds past them, in the smallest of the three forms, as msgpack
// writes a datetime with a time zone.
void PackTimestamp(int64_t seconds, uint32_t nanoseconds, std::string* out);

// Appends the encoding of obj to out and returns true, or returns false
// (out unchanged, no error set) for a value left to the full encoder.
bool PackPlain(PyObject* obj, std::string* out);

// The package's one encoder of stored values: appends obj's encoding to
// out, plain values by PackPlain and the rest by msgpack's encoder (pack:
// NewPack()'s function, or null for one made for this call).
// False with the error set (TypeError, OverflowError, ...) for a value
// MessagePack cannot hold.
bool EncodeValue(PyObject* obj, std::string* out, PyObject* pack);

// A new pack function for EncodeValue (one per writer or splitter: it keeps
// a buffer): the package's full encoder once handed over, else msgpack's.
// New reference, or nullptr with the error set.
PyObject* NewPack();

// encode(obj): EncodeValue as a function of the module.
PyObject* EncodeFn(PyObject* module, PyObject* obj);

}  // namespace velk::native
