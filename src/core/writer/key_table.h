// The writer's staged keys: every distinct key with the object id it is
// bound to.  Key bytes live back to back in one arena and each key has a
// fixed-size entry, in first-insertion order; a table of entry numbers
// finds a key again.  Staging a key therefore allocates
// nothing of its own (the three buffers grow geometrically) and freeing
// the table frees three blocks, however many keys it holds.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include "core/writer/append_buffer.h"
#include "core/writer/tag_table.h"

namespace velk::writer {

// One staged key: its bytes at arena()[offset, offset + length).
struct KeyEntry {
  uint64_t offset;
  uint32_t obj_id;
  uint16_t length;
};

class KeyTable {
 public:
  KeyTable();
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;
  KeyTable(KeyTable&&) noexcept = default;
  KeyTable& operator=(KeyTable&&) noexcept = default;

  // Binds key to obj_id: an existing key is rebound (the last binding
  // wins), a new one added.  Returns false, changing nothing, when the key
  // is new and the table already holds max_keys keys.  Keys are at most
  // 65,535 bytes (the caller checks) and max_keys is below 2^32.  Throws
  // std::bad_alloc with the table unchanged: every allocation comes before
  // the first change.
  bool Bind(std::string_view key, uint32_t obj_id, uint64_t max_keys) { return Bind(key, Hash(key), obj_id, max_keys); }
  // The same, for a key whose Hash() the caller has already computed.
  bool Bind(std::string_view key, uint64_t hash, uint32_t obj_id, uint64_t max_keys);

  // The hash a key is found by in this table.
  uint64_t Hash(std::string_view key) const;

  // Makes room for `keys` keys in all at once (see TagTable::Reserve).
  void Reserve(uint64_t keys) { slots_.Reserve(keys); }

  // Starts loading the slots Bind will probe for the key of this hash.
  // Always inlined, as TagTable::Prefetch is.
  [[gnu::always_inline]] void Prefetch(uint64_t hash) const { slots_.Prefetch(hash); }

  uint64_t size() const { return entries_.size(); }
  // Every key, in the order keys were first added.
  std::span<const KeyEntry> entries() const { return entries_.span(); }
  const char* arena() const { return arena_.data(); }
  // The bytes of all keys together.
  uint64_t arena_size() const { return arena_.size(); }

 private:
  TagTable slots_;
  AppendBuffer<KeyEntry> entries_;
  AppendBuffer<char> arena_;
  uint64_t seed_;
};

}  // namespace velk::writer
