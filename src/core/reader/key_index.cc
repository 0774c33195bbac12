#include "core/reader/key_index.h"

#include <sodium.h>
// Inlined so the per-key hash of the build costs no library call.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "core/base/hash_seed.h"
#include "core/base/large_buffer.h"

namespace velk {
namespace {

__extension__ typedef unsigned __int128 Uint128;

// Hashes computed this many keys ahead, with their home slots prefetched,
// so the build does not stall on a cache miss per key.
constexpr size_t kLookahead = 16;

void InitSodiumOnce() {
  // SipHash itself needs no setup, but libsodium asks for sodium_init()
  // before any use; it is idempotent and thread-safe.
  static const int kInit = sodium_init();
  (void)kInit;
}

// Maps a hash onto [0, capacity) by a multiply-high, so the capacity need
// not be a power of two and can be exactly twice the key count.  It takes
// the hash's high bits, which leaves the low ones to the tag.
size_t HomeOf(uint64_t hash, size_t capacity) {
  return static_cast<size_t>((static_cast<Uint128>(hash) * capacity) >> 64);
}

// The tag of a hash, in the slot bits above position_bits (none when the
// positions take all 32).
uint32_t TagOf(uint64_t hash, unsigned position_bits) {
  return static_cast<uint32_t>((hash & UINT32_MAX) << position_bits);
}

}  // namespace

KeyIndex::Slots KeyIndex::ReserveSlots(size_t count) {
  Slots room;
  room.reserve(2 * count);
  return room;
}

KeyIndex KeyIndex::Build(const KeyList& keys, Slots room) {
  return BuildWithHash(keys, nullptr, std::move(room));
}

KeyIndex KeyIndex::BuildWithHash(const KeyList& keys, HashFn fast_hash, Slots room) {
  KeyIndex index;
  index.slots_ = std::move(room);
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

uint64_t KeyIndex::SipHash(std::string_view key) const {
  unsigned char out[crypto_shorthash_siphash24_BYTES];
  crypto_shorthash_siphash24(out, reinterpret_cast<const unsigned char*>(key.data()),
                             key.size(), sip_key_);
  uint64_t h;
  std::memcpy(&h, out, sizeof h);
  return h;
}

// Inlined into every lookup: the fast hash of a short key is a few dozen
// instructions, about what a call to it would add.
[[gnu::always_inline]] inline uint64_t KeyIndex::Hash(std::string_view key) const {
  if (use_sip_) [[unlikely]] return SipHash(key);
  if (fast_hash_ == nullptr) [[likely]] return XXH3_64bits_withSeed(key.data(), key.size(), seed_);
  return fast_hash_(key.data(), key.size(), seed_);
}

bool KeyIndex::Fill(const KeyList& keys, bool bounded) {
  const size_t n = keys.size();
  max_probe_ = 0;
  // Positions 0 .. n - 1 are stored plus one, so they take the bits of n.
  position_bits_ = static_cast<unsigned>(std::bit_width(n));
  position_mask_ = static_cast<uint32_t>((uint64_t{1} << position_bits_) - 1);
  slots_.clear();
  slots_.reserve(2 * n);
  PrefaultForWrite(slots_.data(), slots_.capacity() * sizeof(uint32_t));
  slots_.assign(2 * n, 0);
  if (n == 0) return true;
  const size_t cap = slots_.size();

  uint64_t ahead[kLookahead];
  auto hash_ahead = [&](size_t i) {
    const uint64_t h = Hash(keys.key(i));
    ahead[i % kLookahead] = h;
    __builtin_prefetch(&slots_[HomeOf(h, cap)]);
  };
  for (size_t i = 0; i < n && i < kLookahead; ++i) hash_ahead(i);

  for (size_t i = 0; i < n; ++i) {
    const uint64_t h = ahead[i % kLookahead];
    if (i + kLookahead < n) hash_ahead(i + kLookahead);

    const uint32_t slot = TagOf(h, position_bits_) | static_cast<uint32_t>(i + 1);
    size_t pos = HomeOf(h, cap);
    for (uint32_t dist = 0;; ++dist) {
      if (bounded && dist > kMaxFastProbe) return false;
      const uint32_t cur = slots_[pos];
      if (cur == 0) {
        slots_[pos] = slot;
        if (dist > max_probe_) max_probe_ = dist;
        break;
      }
      // An equal key seen earlier: the later entry replaces it.
      if (((cur ^ slot) & ~position_mask_) == 0 &&
          keys.key((cur & position_mask_) - 1) == keys.key(i)) {
        slots_[pos] = slot;
        break;
      }
      if (++pos == cap) pos = 0;
    }
  }
  return true;
}

uint32_t KeyIndex::Find(std::string_view key, const KeyList& keys, Bytes records) const {
  const size_t cap = slots_.size();
  if (cap == 0) return kNotFound;
  const uint64_t h = Hash(key);
  const uint32_t tag = TagOf(h, position_bits_);
  size_t pos = HomeOf(h, cap);
  // No key sits further than max_probe_ from its home slot, so the search
  // can stop there even inside a long run of occupied slots.
  for (uint32_t dist = 0; dist <= max_probe_; ++dist) {
    const uint32_t slot = slots_[pos];
    if (slot == 0) return kNotFound;
    if ((slot & ~position_mask_) == tag) {
      const uint32_t i = (slot & position_mask_) - 1;
      const uint64_t offset = keys.record_offset(i);
      if (offset < records.size()) __builtin_prefetch(records.data() + offset);
      if (SameKey(keys.key(i), key)) return i;
    }
    if (++pos == cap) pos = 0;
  }
  return kNotFound;
}

void KeyIndex::FindMany(std::span<const std::string_view> keys, const KeyList& list, Bytes records,
                        uint32_t* out) const {
  const size_t cap = slots_.size();
  if (cap == 0) {
    for (size_t j = 0; j < keys.size(); ++j) out[j] = kNotFound;
    return;
  }
  // Per key of a group: its hash, then the position of its first tag match
  // (kNotFound: absent for sure).
  constexpr size_t kGroup = 32;
  uint64_t hashes[kGroup];
  for (size_t base = 0; base < keys.size(); base += kGroup) {
    const size_t n = std::min(kGroup, keys.size() - base);
    // The next group's key bytes load while this group is worked on.
    for (size_t j = base + kGroup; j < std::min(base + 2 * kGroup, keys.size()); ++j) {
      __builtin_prefetch(keys[j].data());
    }
    for (size_t j = 0; j < n; ++j) {
      hashes[j] = Hash(keys[base + j]);
      __builtin_prefetch(&slots_[HomeOf(hashes[j], cap)]);
    }
    for (size_t j = 0; j < n; ++j) {
      // The run from the home slot: at load 0.5 it nearly always ends in
      // the cache line just loaded.  The first slot with the key's tag is
      // the candidate; an empty slot first means the key is absent.
      const uint32_t tag = TagOf(hashes[j], position_bits_);
      size_t pos = HomeOf(hashes[j], cap);
      uint32_t cand = kNotFound;
      for (uint32_t dist = 0; dist <= max_probe_; ++dist) {
        const uint32_t slot = slots_[pos];
        if (slot == 0) break;
        if ((slot & ~position_mask_) == tag) {
          cand = (slot & position_mask_) - 1;
          list.Prefetch(cand);
          break;
        }
        if (++pos == cap) pos = 0;
      }
      out[base + j] = cand;
    }
    for (size_t j = 0; j < n; ++j) {
      const uint32_t cand = out[base + j];
      if (cand == kNotFound) continue;
      __builtin_prefetch(list.key(cand).data());
      const uint64_t offset = list.record_offset(cand);
      if (offset < records.size()) __builtin_prefetch(records.data() + offset);
    }
    for (size_t j = 0; j < n; ++j) {
      uint32_t& cand = out[base + j];
      if (cand == kNotFound) continue;
      // A tag match of another key (rare): the full probe goes on past it.
      if (!SameKey(list.key(cand), keys[base + j])) cand = Find(keys[base + j], list);
    }
  }
}

}  // namespace velk
