// The module's Arrow functions, behind velkstore.arrow (which checks and
// converts the arguments with pyarrow before it calls them).
#pragma once

#include "bind/python.h"

namespace velk::native {

// _arrow_get_many(readers, seed, keys, arrow) -> (schema capsule, array
// capsule) of a binary array (large_binary past 2 GiB - 1 of values): the
// value of each key, null where it is absent.  readers: one reader, or one
// per shard (None for a shard not open) with the store's seed; keys: a
// list of (schema capsule, array capsule) chunks of string or binary keys
// when arrow is true, else a sequence of str or bytes.
PyObject* ArrowGetMany(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _arrow_stage(writer, batch, key_index, value_indices, mode, row_base,
// rows_ahead): stages every row of batch (a (schema capsule, array capsule)
// pair of a record batch) in writer.  mode 0: the value is the map
// {name: scalar} of the value columns; 1: the one value column's scalar; 2:
// its bytes as they are.  row_base numbers the batch's first row in
// errors; rows_ahead is how many rows the whole input has from this batch
// on (-1 when unknown), so that the writer's tables grow for them at once.
// Rows are staged as they come: a failure leaves the rows before it staged.
PyObject* ArrowStage(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _arrow_pack(batch, key_index, value_indices, mode, row_base) -> (keys,
// values): the same rows as two lists of bytes, for the sharded writer.
PyObject* ArrowPack(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velk::native
