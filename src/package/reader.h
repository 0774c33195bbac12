// The reader object and the scans over it, shared by reader.cc and scan.cc.
#pragma once

#include <memory>
#include <utility>

#include "core/reader/store_reader.h"
#include "bind/python.h"
#include "package/api.h"

namespace velk::native {

struct ReaderObject {
  PyObject_HEAD
  // Null once closed.  Calls that let go of the interpreter lock, and
  // scans, hold a copy, so a close never pulls the mapping away from them.
  std::shared_ptr<const StoreReader> store;
  PyObject* path;  // os.fspath of the argument, as an exact str or bytes
  OpenCheck check;  // as asked: kUnlessIndexed when verify was None
};

// What a scan yields per entry.
enum class KeyForm : uint8_t { kNone, kStr, kBytes };
enum class ValueForm : uint8_t { kNone, kRaw, kDecoded };

// The bounds of a scan: keys starting with prefix, within [start, stop);
// each absent unless given (None counts as absent).
struct ScanKeys {
  KeyBuf prefix, start, stop;
  bool has_prefix = false, has_start = false, has_stop = false;
  // A prefix of text with no byte form: no stored key starts with it (as no
  // stored key equals such a key).  A bound of one has no place in the key
  // order, and is an error.
  bool matches_none = false;
  // Converts the arguments (each may be null); false with the error set.
  bool Parse(PyObject* prefix_arg, PyObject* start_arg, PyObject* stop_arg);
  // The entries [begin, end) of r's key list the scan covers; false with
  // the error set (path names the file) when a damaged index stops the search.
  bool Range(const StoreReader& r, PyObject* path, size_t* begin, size_t* end) const;
};

// The last two (key, value) pairs a scan yielded, each given again with
// new items once nothing else holds it (as dict.items() and zip() do with
// one): a loop that keeps each item until the next one comes (`for item in
// scan`) then allocates no tuple per entry either.  Only pairs of bytes and
// str are kept, so they can be part of no reference cycle.  Owned by the
// scan, which lets go of them with Clear().
struct KeptPairs {
  PyObject* pairs[2] = {nullptr, nullptr};
  int oldest = 0;  // the slot a new pair replaces
  void Clear() {
    Py_CLEAR(pairs[0]);
    Py_CLEAR(pairs[1]);
  }
};

// The item a scan yields for entry item of r (next: the index of the entry
// after it; end: where the scan stops, for the read-ahead), or nullptr with
// the error set; path names the file in the error of a damaged record.  A
// pair comes from *kept when one is free.
PyObject* ScanItem(const StoreReader& r, const StoreReader::ScanItem& item, size_t next, size_t end,
                   KeyForm key, ValueForm value, PyObject* path, KeptPairs* kept);

// A lazy scan over entries [begin, end) of store's key list, path naming
// its file in errors; null with the error set when a damaged index keeps
// it from finding its first entry.
PyObject* NewScan(PyObject* path, std::shared_ptr<const StoreReader> store, size_t begin, size_t end,
                  KeyForm key, ValueForm value);

}  // namespace velk::native
