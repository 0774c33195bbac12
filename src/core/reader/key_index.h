// Hash index over a KeyList: key bytes -> position in the list.
//
// A flat open-addressing table of 32-bit slots with linear probing, sized
// at twice the key count (load factor at most 0.5, so at most 8 bytes per
// key).  Keys are hashed and compared where the list has them (for a
// reader: in the mapped file), so the index holds no key bytes.  A slot
// holds position + 1 in its low bits (0 marks an empty slot) and, in the
// bits that positions of this table never use, a tag of the key's hash: a
// probe that meets another key's slot is told apart by the tag almost
// always, without touching that key.  With 1M keys
// that is 12 bits; the tag shrinks as the table grows and is empty at 2^31
// keys and above.
//
// Keys come from the file, so they may have been chosen to collide.  The
// table starts with a fast seeded hash (XXH3) and caps how far an insert may
// probe; a key that would land further from its home slot than that makes
// the whole table be rebuilt with keyed SipHash, which then serves every
// insert and lookup of this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/reader/key_list.h"
#include "core/base/large_buffer.h"

namespace velk {

class KeyIndex {
 public:
  // Hash of len bytes at data under seed.
  using HashFn = uint64_t (*)(const void* data, size_t len, uint64_t seed);

  static constexpr uint32_t kNotFound = UINT32_MAX;
  // Longest home-to-slot distance accepted under the fast hash.  Random
  // keys at load 0.5 stay far below it even for hundreds of millions of keys.
  static constexpr uint32_t kMaxFastProbe = 96;

  KeyIndex() = default;  // empty: finds nothing

  using Slots = std::vector<uint32_t, LargeAllocator<uint32_t>>;
  // Room for the table of count keys, allocated but not yet touched, so
  // that its pages can be faulted in while the keys are still being read.
  static Slots ReserveSlots(size_t count);

  // Indexes every key of keys; for equal keys the later position wins.
  // Uses room when it is large enough.
  static KeyIndex Build(const KeyList& keys, Slots room = {});
  // Build with fast_hash in place of the seeded XXH3 (tests inject weak
  // hashes through this to exercise the SipHash fallback).
  static KeyIndex BuildWithHash(const KeyList& keys, HashFn fast_hash, Slots room = {});

  // Position of key in keys (the list the index was built over), or
  // kNotFound.  With records (the file the key list's offsets point into),
  // the record of a candidate starts loading before its key is compared,
  // so a hit waits for the key bytes and the record at the same time.
  uint32_t Find(std::string_view key, const KeyList& keys, Bytes records = {}) const;

  // Find for a batch: out[j] is the position of keys[j] or kNotFound.  The
  // batch is hashed first and every home slot, then every candidate entry,
  // then every candidate key and record is prefetched before any is used,
  // so the cache misses of one batch overlap instead of running one by one.
  void FindMany(std::span<const std::string_view> keys, const KeyList& list, Bytes records,
                uint32_t* out) const;

  // True once the table has switched to SipHash.
  bool flood_resistant() const { return use_sip_; }
  size_t capacity() const { return slots_.size(); }

 private:
  uint64_t Hash(std::string_view key) const;
  uint64_t SipHash(std::string_view key) const;
  // Fills slots_ from keys; with bounded, gives up (returns false) when a
  // key would probe further than kMaxFastProbe.
  bool Fill(const KeyList& keys, bool bounded);

  Slots slots_;  // 0 marks empty
  uint32_t position_mask_ = 0;  // low bits of a slot: position + 1
  unsigned position_bits_ = 0;
  HashFn fast_hash_ = nullptr;  // null: the built-in seeded XXH3
  uint64_t seed_ = 0;
  unsigned char sip_key_[16] = {};
  bool use_sip_ = false;
  uint32_t max_probe_ = 0;  // longest home-to-slot distance of any key
};

}  // namespace velk
