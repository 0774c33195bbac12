// Native results of the operations and their conversion into new Python
// objects.  Lists, tuples and dictionaries are built whole: a failure part
// way discards what was built and returns nullptr with the error set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/format.h"
#include "core/reader/store_reader.h"
#include "bind/python.h"

namespace velk::py {

struct NoneResult {};

// An object the operation already holds a new reference to.
struct NewRef {
  PyObject* obj;
};

// Scan results: keys and objects, both pointing into the reader's mapping.
struct EntryList {
  struct Entry {
    std::string_view key;
    Bytes payload;
  };
  std::vector<Entry> entries;
};

// Keys, pointing into the reader's mapping.
struct KeyList {
  std::vector<std::string_view> keys;
};

struct ObjectList {
  std::vector<Bytes> objects;
};

struct StatsResult {
  const StoreReader* reader;
};

PyObject* ToPython(NoneResult);
PyObject* ToPython(NewRef r);
PyObject* ToPython(bool b);
PyObject* ToPython(uint64_t v);
PyObject* ToPython(std::string&& text);
// Inline: it is the result of every lookup.
inline PyObject* ToPython(std::optional<Bytes>&& b) {
  if (!b) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data()),
                                   static_cast<Py_ssize_t>(b->size()));
}
PyObject* ToPython(EntryList&& list);
PyObject* ToPython(KeyList&& list);
PyObject* ToPython(ObjectList&& list);
PyObject* ToPython(StatsResult&& stats);

}  // namespace velk::py
