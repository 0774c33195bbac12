#include "core/reader/key_index.h"

#include <sodium.h>
// Inlined so the per-key hash of the build costs no library call.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>
#include <memory>

#include "core/reader/hash_seed.h"
#include "core/reader/prefault.h"

namespace velk {
namespace {

__extension__ typedef unsigned __int128 Uint128;

// While the table is built, 16 bits of each slot's hash sit in a side
// array; comparing them first keeps the build from touching the arena for
// keys that merely share a probe run.  The side array is dropped afterwards.
uint16_t TagOf(uint64_t hash) { return static_cast<uint16_t>(hash); }

// Hashes computed this many keys ahead, with their home slots prefetched,
// so the build does not stall on a cache miss per key.
constexpr size_t kLookahead = 16;

void InitSodiumOnce() {
  // SipHash itself needs no setup, but libsodium asks for sodium_init()
  // before any use; it is idempotent and thread-safe.
  static const int kInit = sodium_init();
  (void)kInit;
}

}  // namespace

KeyIndex KeyIndex::Build(const KeyList& keys) { return BuildWithHash(keys, nullptr); }

KeyIndex KeyIndex::BuildWithHash(const KeyList& keys, HashFn fast_hash) {
  KeyIndex index;
  index.fast_hash_ = fast_hash;
  index.seed_ = NextTableSeed();
  if (index.Fill(keys, /*bounded=*/true)) return index;

  // Probe run too long: the keys collide under the fast hash, by chance or
  // by design.  Start over with a keyed SipHash and no bound.
  InitSodiumOnce();
  const uint64_t k[2] = {NextTableSeed(), NextTableSeed()};
  std::memcpy(index.sip_key_, k, sizeof index.sip_key_);
  index.use_sip_ = true;
  index.Fill(keys, /*bounded=*/false);
  return index;
}

uint64_t KeyIndex::Hash(std::string_view key) const {
  if (!use_sip_) {
    if (fast_hash_ == nullptr) return XXH3_64bits_withSeed(key.data(), key.size(), seed_);
    return fast_hash_(key.data(), key.size(), seed_);
  }
  unsigned char out[crypto_shorthash_siphash24_BYTES];
  crypto_shorthash_siphash24(out, reinterpret_cast<const unsigned char*>(key.data()),
                             key.size(), sip_key_);
  uint64_t h;
  std::memcpy(&h, out, sizeof h);
  return h;
}

// Maps a hash onto [0, capacity) by a multiply-high, so the capacity need
// not be a power of two and can be exactly twice the key count.
size_t KeyIndex::Home(uint64_t hash) const {
  return static_cast<size_t>((static_cast<Uint128>(hash) * slots_.size()) >> 64);
}

bool KeyIndex::Fill(const KeyList& keys, bool bounded) {
  const size_t n = keys.size();
  max_probe_ = 0;
  slots_.clear();
  slots_.reserve(2 * n);
  PrefaultForWrite(slots_.data(), slots_.capacity() * sizeof(uint32_t));
  slots_.assign(2 * n, kNotFound);
  if (n == 0) return true;
  const size_t cap = slots_.size();
  // Read only where the slot is occupied, so left uninitialised.
  const auto tags = std::make_unique_for_overwrite<uint16_t[]>(cap);
  PrefaultForWrite(tags.get(), cap * sizeof(uint16_t));

  uint64_t ahead[kLookahead];
  auto hash_ahead = [&](size_t i) {
    const uint64_t h = Hash(keys.key(i));
    ahead[i % kLookahead] = h;
    const size_t home = Home(h);
    __builtin_prefetch(&slots_[home]);
    __builtin_prefetch(&tags[home]);
  };
  for (size_t i = 0; i < n && i < kLookahead; ++i) hash_ahead(i);

  for (size_t i = 0; i < n; ++i) {
    const uint64_t h = ahead[i % kLookahead];
    if (i + kLookahead < n) hash_ahead(i + kLookahead);

    const uint16_t tag = TagOf(h);
    size_t pos = Home(h);
    for (uint32_t dist = 0;; ++dist) {
      if (bounded && dist > kMaxFastProbe) return false;
      const uint32_t cur = slots_[pos];
      if (cur == kNotFound) {
        slots_[pos] = static_cast<uint32_t>(i);
        tags[pos] = tag;
        if (dist > max_probe_) max_probe_ = dist;
        break;
      }
      // An equal key seen earlier: the later entry replaces it.
      if (tags[pos] == tag && keys.key(cur) == keys.key(i)) {
        slots_[pos] = static_cast<uint32_t>(i);
        break;
      }
      if (++pos == cap) pos = 0;
    }
  }
  return true;
}

uint32_t KeyIndex::Find(std::string_view key, const KeyList& keys) const {
  if (slots_.empty()) return kNotFound;
  const size_t cap = slots_.size();
  size_t pos = Home(Hash(key));
  // No key sits further than max_probe_ from its home slot, so the search
  // can stop there even inside a long run of occupied slots.
  for (uint32_t dist = 0; dist <= max_probe_; ++dist) {
    const uint32_t idx = slots_[pos];
    if (idx == kNotFound) return kNotFound;
    if (keys.key(idx) == key) return idx;
    if (++pos == cap) pos = 0;
  }
  return kNotFound;
}

}  // namespace velk
