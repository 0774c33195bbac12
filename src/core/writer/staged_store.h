// The writer's staged content: objects in insertion order and a map of keys
// to object ids.  Nothing touches the disk until Build().  The limits of
// the file format (payload and key lengths, object and key counts) are
// checked here, as content is staged, and nowhere else.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/status.h"
#include "core/format/format.h"
#include "core/writer/append_buffer.h"
#include "core/writer/commit.h"
#include "core/writer/key_sort.h"
#include "core/writer/key_table.h"
#include "core/writer/tag_table.h"
#include "core/writer/value_compressor.h"

namespace velk {

// What a writer does beyond staging exactly what it is given.  Both are off
// by default: every AddObject then makes a new object and every staged
// object is written.
struct WriterOptions {
  // Equal payloads are stored once: AddObject returns the id of the first
  // staged payload with the same bytes instead of copying them again.
  bool dedup = false;
  // Objects that no key names when the file is written are left out of it.
  bool drop_orphans = false;
  // The records lie in the order of the first key naming each object
  // (objects no key names follow, in id order), so that a scan in key order
  // reads the file front to back.
  bool key_order = false;
  // The file carries the lookup index in its extension area
  // (core/format/extension.h), so that a reader opens it without a pass
  // over the keys.
  bool index = false;
  // Values are compressed at the build (core/writer/value_compressor.h),
  // at this zstd level, with a dictionary trained on them.
  bool compress = false;
  int compress_level = writer::kDefaultCompressLevel;
};

// What a build wrote.
struct BuildResult {
  uint64_t num_objects = 0;  // objects in the file (the extension area's records not counted)
  uint64_t num_keys = 0;
  uint64_t file_size = 0;  // bytes
  uint32_t file_crc32 = 0;  // as in the header
};

class StagedStore {
 public:
  explicit StagedStore(WriterOptions options = {});
  StagedStore(const StagedStore&) = delete;
  StagedStore& operator=(const StagedStore&) = delete;
  StagedStore(StagedStore&&) = default;
  StagedStore& operator=(StagedStore&&) = default;

  // Copies the payload and returns its object id; with dedup, returns the
  // id of an equal staged payload instead, if there is one.  Fails
  // (General) past the format's payload length or object count limits; the
  // store is unchanged then.
  Result<uint64_t> AddObject(Bytes payload);

  // A key that has passed the length check, so that binding it does not
  // check again.  A view: the key's bytes must outlive it.
  class CheckedKey {
   public:
    std::string_view view() const { return key_; }

   private:
    friend class StagedStore;
    explicit CheckedKey(std::string_view key) : key_(key) {}
    std::string_view key_;
  };

  // A hint that about `rows` more bindings, each of a new key to a new
  // payload, are coming: the lookup tables grow for them at once instead
  // of doubling their way there.  Only a hint: rows that repeat keys or
  // payloads need less, so the growth is capped (see the definition), and
  // a hint that cannot be met is ignored.  Changes nothing visible.
  void ExpectMore(uint64_t rows);

  // The hashes staging a pair probes the tables with.
  struct PairHashes {
    uint64_t key = 0;
    uint64_t payload = 0;
  };
  // Starts loading the hash table slots that staging payload under key
  // will probe, so that a caller staging a batch overlaps their cache
  // misses with its work on the items before, and returns the hashes for
  // AddPair.  Changes nothing.
  PairHashes Prefetch(std::string_view key, Bytes payload) const;
  // Prefetch's two halves, for a caller that has the key before it has the
  // payload: the key's slots can load while the payload is made.
  uint64_t PrefetchKey(std::string_view key) const;
  uint64_t PrefetchPayload(Bytes payload) const;

  // The key length check on its own, so that a caller can check a key (or
  // every key of a batch) before staging anything for it.
  static Result<CheckedKey> CheckKey(std::string_view key);
  // The same for a payload: the length checks AddObject makes before it
  // looks for an equal payload.
  Result<void> CheckPayload(Bytes payload) const;

  // Binds key to obj_id; the last binding of a key wins.  Checks, in this
  // order: obj_id below the object count, key length, key count.  On failure
  // the store is unchanged.
  Result<void> AddKey(std::string_view key, uint64_t obj_id);
  // The same for a checked key: its length is not checked again.
  Result<void> AddKey(CheckedKey key, uint64_t obj_id);

  // AddObject(payload), then AddKey(key, its id), with the hashes that
  // Prefetch(key.view(), payload) returned, so that they are not computed
  // again.  A failure of the key leaves the payload staged, as the two
  // calls would.
  Result<void> AddPair(CheckedKey key, Bytes payload, const PairHashes& hashes);

  // Compresses the values at the builds from now on, at level (within
  // writer::kMinCompressLevel..kMaxCompressLevel).  Before anything is
  // staged: the staging checks depend on it.
  void CompressValues(int level) {
    options_.compress = true;
    options_.compress_level = level;
  }

  uint64_t object_count() const { return record_offsets_.size(); }
  uint64_t key_count() const { return keys_.size(); }

  // Lays the staged content out as a store file and commits it atomically
  // at path (see commit.h), under a temporary name chosen by naming.  A
  // path containing a NUL byte fails (Io) before anything is created.
  // Never changes the staged content and prints nothing.
  Result<BuildResult> Build(std::string_view path,
                            writer::TempNaming naming = writer::TempNaming::kDerived) const;

  // The file as a build writes it: the header, the records of the objects
  // it keeps, then the index section.  The records point into the staged
  // data section, so a layout is valid only while the store is unchanged.
  struct Layout {
    std::array<std::byte, kHeaderSize> header;
    std::vector<Bytes> records;  // runs of the staged data section
    std::vector<std::byte> extension;  // records of the extension area, if any
    std::vector<std::byte> index;
    BuildResult result;
    // With compression: the records in their stored form (the records
    // above point into it) and the file's compression section.
    std::optional<writer::CompressedRecords> compressed;

    // Every byte of the file, in order.
    std::vector<Bytes> Parts() const;
  };
  Layout LayOut() const;

  // The index section with every staged object in the file: every key in
  // key order with its object's offset.
  std::vector<std::byte> SerializeIndex() const;

 private:
  // The index section, keys in the order of sorted, with offsets[id] as
  // the offset of object id.
  std::vector<std::byte> SerializeIndex(const std::vector<writer::SortedKey>& sorted,
                                        std::span<const uint64_t> offsets) const;
  // The records a layout is made of: the staged ones, or their compressed
  // twins (writer::CompressedRecords), laid out the same way.
  struct Records {
    Bytes data;                         // serialised records, the first at kHeaderSize
    std::span<const uint64_t> offsets;  // each object's record, by id
    Bytes PayloadOf(uint64_t id) const;
  };
  // Where each object's record lies when the records follow the key order
  // of sorted (see WriterOptions::key_order), with the runs of recs' data
  // that make up the data section; returns the objects kept.
  uint64_t KeyOrder(const Records& recs, const std::vector<writer::SortedKey>& sorted,
                    std::vector<uint64_t>* offsets, std::vector<Bytes>* runs) const;
  // Appends the record of object id to runs, merged with the last run
  // when it follows it in recs' data.
  static void AppendRun(const Records& recs, uint64_t id, std::vector<Bytes>* runs);
  // The payload of a staged object.
  Bytes PayloadOf(uint64_t id) const;
  // Which objects some key names, by id.
  std::vector<bool> Named() const;
  // AddObject with the payload's hash given (0 without dedup).
  Result<uint64_t> AddHashedObject(Bytes payload, uint64_t hash);
  uint64_t PayloadHash(Bytes payload) const;
  Result<void> CheckObjectId(uint64_t obj_id) const;
  // Binds a checked key, of the hash given, to a checked id, unless the
  // key count is full.
  Result<void> Bind(CheckedKey key, uint64_t hash, uint64_t obj_id);
  // Where the objects that some key names lie in the file when the others
  // are left out: offsets by id (unnamed ones 0), the runs of recs' data
  // they occupy, and their count.
  uint64_t KeepNamed(const Records& recs, std::vector<uint64_t>* offsets, std::vector<Bytes>* runs) const;

  WriterOptions options_;

  // The data section is kept already serialised (length, CRC, payload per
  // object) so that a build writes it as it stands: no second copy.
  writer::AppendBuffer<std::byte> data_;
  // Absolute file offset of each object's record, by object id.
  writer::AppendBuffer<uint64_t> record_offsets_;
  writer::KeyTable keys_;
  // With dedup: every staged object by the hash of its payload.
  writer::TagTable payloads_;
  uint64_t payload_seed_ = 0;
};

}  // namespace velk
