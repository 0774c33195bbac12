// Ordering of the staged keys for the index section.
#pragma once

#include <cstdint>
#include <vector>

#include "core/writer/key_table.h"

namespace velk::writer {

// A staged key in its sorted position: keys.entries()[entry].
struct SortedKey {
  uint64_t window;  // working state of the sort
  uint32_t entry;
  uint16_t tail;  // working state of the sort
};

// Every key of the table, in ascending key order (unsigned bytewise, a
// proper prefix first).  Key bytes are not copied: the result takes 16
// bytes per key, and the sort as much again while it runs.
std::vector<SortedKey> SortKeys(const KeyTable& keys);

}  // namespace velk::writer
