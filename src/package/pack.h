// MessagePack encoding of the plain values that fill most stores (bytes,
// str, int, float, bool, None, and dicts, lists and tuples of them),
// written here to spare a call into the encoder per value.  Byte for byte
// what msgpack.Packer(use_bin_type=True) writes for them, so a value is
// stored the same whichever path took it.
#pragma once

#include <string>

#include "bind/python.h"

namespace velk::native {

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
