// The writer's staged content: objects in insertion order and a map of keys
// to object ids.  Nothing touches the disk until Build().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/format.h"
#include "core/format/status.h"
#include "core/writer/append_buffer.h"
#include "core/writer/key_table.h"

namespace velk {

struct BuildSummary {
  uint64_t num_objects = 0;
  uint64_t num_keys = 0;
};

class StagedStore {
 public:
  StagedStore() = default;
  StagedStore(const StagedStore&) = delete;
  StagedStore& operator=(const StagedStore&) = delete;
  StagedStore(StagedStore&&) = default;
  StagedStore& operator=(StagedStore&&) = default;

  // Copies the payload and returns its object id.  Fails (General) past the
  // format's object count or payload length limits; the store is unchanged.
  Result<uint64_t> AddObject(Bytes payload);

  // Binds key to obj_id; the last binding of a key wins.  Checks, in this
  // order: obj_id below the object count, key length, key count.  On failure
  // the store is unchanged.
  Result<void> AddKey(std::string_view key, uint64_t obj_id);

  uint64_t object_count() const { return record_offsets_.size(); }
  uint64_t key_count() const { return keys_.size(); }

  // Lays the staged content out as a store file and commits it atomically
  // at path (see build.cc).  A path containing a NUL byte fails (Io)
  // before anything is created.  Never changes the staged content.  On
  // success also writes the summary line to file descriptor 1.
  Result<BuildSummary> Build(std::string_view path) const;

  // The index section: every key in key order with its object's offset.
  std::vector<std::byte> SerializeIndex() const;
  Bytes data_section() const { return data_.span(); }

 private:
  // The header for the staged content followed by this index section.
  Header MakeHeader(Bytes index) const;

  // The data section is kept already serialised (length, CRC, payload per
  // object) so that a build writes it as it stands: no second copy.
  writer::AppendBuffer<std::byte> data_;
  // Absolute file offset of each object's record, by object id.
  writer::AppendBuffer<uint64_t> record_offsets_;
  writer::KeyTable keys_;
};

// The temporary path of a build: the final component's extension replaced
// by "vlks.tmp" (or ".vlks.tmp" appended when it has none).  A path with
// no final name component (empty, "/", a trailing "/", "." or "..") is
// returned unchanged, so that creating the file fails for it.
std::string TempPathFor(std::string_view target);

// "✅  {path}  —  {n} objects · {k} keys · {kb:.1f} KB\n"
std::string SummaryLine(std::string_view path, uint64_t objects, uint64_t keys, double kb);

}  // namespace velk
