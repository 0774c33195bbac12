// The two classes: traits used by the call frame, and their process-wide
// class objects, created once on first need.
#pragma once

#include "core/reader/store_reader.h"
#include "core/writer/staged_store.h"
#include "bind/python.h"

namespace velk::py {

struct WriterClass {
  using State = StagedStore;
  static constexpr const char* kName = "_VelkWriter";
  // The class object (borrowed), or nullptr with the call failing as an
  // internal fault if it could not be created.
  static PyTypeObject* Type();
  // The same, but a creation failure is returned as the pending error.
  static PyObject* Create();
};

struct ReaderClass {
  using State = StoreReader;
  static constexpr const char* kName = "_VelkReader";
  static PyTypeObject* Type();
  static PyObject* Create();
};

using bind::AsCFunction;

// Shared by both classes' Type(): the class from its cache, or an
// internal fault naming the class.
PyTypeObject* TypeOrFault(PyObject* created, const char* name);

}  // namespace velk::py
