// Content de-duplication of staged payloads: an equal payload staged before
// gives its object id back instead of being stored again.  The table holds
// hashes and ids only; candidates are compared against the staged bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "core/format/format.h"
#include "core/format/status.h"
#include "core/writer/staged_store.h"

namespace velk::native {

class Dedup {
 public:
  // The id of a staged payload equal to payload, or of payload newly staged.
  Result<uint64_t> Stage(StagedStore& store, Bytes payload);

 private:
  struct Slot {
    uint64_t hash;
    uint32_t id_plus_one;  // 0: empty
  };
  void Grow();

  std::vector<Slot> slots_;
  std::vector<uint64_t> record_at_;  // by id: the record's position in the data section
  size_t used_ = 0;
  uint64_t seed_ = 0;
};

}  // namespace velk::native
