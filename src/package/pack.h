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

}  // namespace velk::native
