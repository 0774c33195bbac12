#include "core/base/large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>

namespace velk {
namespace {

// Transparent huge pages on x86-64 and most other 64-bit systems.
constexpr size_t kHugePage = size_t{2} << 20;
// Below this a buffer holds too few whole huge pages to be worth aligning.
constexpr size_t kMinHugeBytes = 2 * kHugePage;

size_t PageRoundUp(size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) & ~(page - 1);
}

}  // namespace

void PrefaultForWrite(const void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kMinPrefaultBytes = size_t{1} << 20;
  if (p == nullptr || bytes < kMinPrefaultBytes) return;
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  // Only whole pages inside the buffer: the partial pages at either end
  // may belong to other allocations.
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

BackgroundPrefault::BackgroundPrefault(std::initializer_list<Range> ranges) {
  // Starting a thread costs tens of microseconds: worth it only for ranges
  // whose faults take milliseconds.
  constexpr size_t kMinHelperBytes = size_t{8} << 20;
  size_t total = 0;
  for (const Range& r : ranges) total += r.bytes;
  std::array<Range, 4> todo{};
  if (total < kMinHelperBytes || ranges.size() > todo.size()) return;
  std::copy(ranges.begin(), ranges.end(), todo.begin());
  helper_.emplace([todo] {
    for (const Range& r : todo) PrefaultForWrite(r.p, r.bytes);
  });
}

void* AllocateLarge(size_t bytes) {
  if (bytes < kMinHugeBytes) return ::operator new(bytes);
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  // A mapping of its own, so the huge-page advice never reaches memory the
  // C library hands out later.  Mapped with a huge page of slack, then
  // trimmed to start on a huge-page boundary.
  const size_t length = PageRoundUp(bytes);
  const size_t span = length + kHugePage;
  void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto base = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t begin = (base + kHugePage - 1) & ~(kHugePage - 1);
  if (begin > base) ::munmap(mapped, begin - base);
  if (base + span > begin + length) ::munmap(reinterpret_cast<void*>(begin + length), base + span - begin - length);
#ifdef MADV_HUGEPAGE
  // Advice only: where the kernel has no huge pages to give, small ones
  // serve, and the tail past the last whole huge page always keeps them.
  ::madvise(reinterpret_cast<void*>(begin), length, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(begin);
}

void FreeLarge(void* p, size_t bytes) noexcept {
  if (bytes < kMinHugeBytes) {
    ::operator delete(p);
  } else {
    ::munmap(p, PageRoundUp(bytes));
  }
}

}  // namespace velk
