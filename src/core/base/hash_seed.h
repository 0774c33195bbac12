// Per-process random seeds for the in-memory hash tables of a reader.  The
// seeds are drawn once from the operating system, so hash values (and any
// collisions an attacker could aim for) change from run to run.
#pragma once

#include <cstdint>

namespace velk {

// 128 random bits, drawn once per process (thread-safe).
struct ProcessSeed {
  uint64_t k0;
  uint64_t k1;
};
const ProcessSeed& GetProcessSeed();

// A seed derived from the process seed, different for every call, so no two
// tables of one process share a hash function.
uint64_t NextTableSeed();

}  // namespace velk
