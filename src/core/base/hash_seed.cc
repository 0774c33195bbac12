#include "core/base/hash_seed.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>

#include "core/base/random.h"

namespace velk {
namespace {

// SplitMix64 finaliser: a bijective mix, so distinct counters stay distinct.
uint64_t Mix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

ProcessSeed DrawSeed() {
  ProcessSeed seed{};
  const bool filled = FillRandom(&seed, sizeof seed);
  if (!filled) {
    // No kernel random source (very old kernel or a seccomp filter): fall
    // back to values that at least differ between runs.  The probe bound
    // of the key index still caps the cost of a collision flood.
    const auto now = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    const auto here = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed));
    seed.k0 ^= Mix64(now);
    seed.k1 ^= Mix64(here ^ Mix64(now));
  }
  return seed;
}

}  // namespace

const ProcessSeed& GetProcessSeed() {
  static const ProcessSeed seed = DrawSeed();
  return seed;
}

uint64_t NextTableSeed() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return Mix64(GetProcessSeed().k0 ^ Mix64(n));
}

}  // namespace velk
