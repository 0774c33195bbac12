// The reader object and the scans over it, shared by reader.cc and scan.cc.
#pragma once

#include <memory>

#include "core/reader/store_reader.h"
#include "bind/python.h"

namespace velk::native {

struct ReaderObject {
  PyObject_HEAD
  // Null once closed.  Calls that let go of the interpreter lock, and
  // scans, hold a copy, so a close never pulls the mapping away from them.
  std::shared_ptr<const StoreReader> store;
  PyObject* path;  // os.fspath of the argument: str or bytes
  OpenCheck check;  // as asked: kUnlessIndexed when verify was None
};

// What a scan yields per entry.
enum class KeyForm : uint8_t { kNone, kStr, kBytes };
enum class ValueForm : uint8_t { kNone, kRaw, kDecoded };

// A lazy scan over entries [begin, end) of owner's key list; null with the
// error set when a damaged index keeps it from finding its first entry.
PyObject* NewScan(PyObject* owner, std::shared_ptr<const StoreReader> store, size_t begin, size_t end,
                  KeyForm key, ValueForm value);

}  // namespace velk::native
