#include "core/base/large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <new>

namespace velk {
namespace {

size_t PageSize() {
  static const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

// The kernel's transparent huge page: 2 MiB with 4 KiB pages (x86-64, most
// aarch64), 32 MiB with 16 KiB pages, 512 MiB with 64 KiB pages.  2 MiB
// where the kernel does not say, or says something unusable.
size_t HugePageSize() {
  static const size_t huge = [] {
    constexpr size_t kDefault = size_t{2} << 20;
    unsigned long long bytes = 0;
    if (std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "re")) {
      if (std::fscanf(f, "%llu", &bytes) != 1) bytes = 0;
      std::fclose(f);
    }
    const bool usable = bytes >= PageSize() && bytes <= (size_t{1} << 30) && std::has_single_bit(bytes);
    return usable ? static_cast<size_t>(bytes) : kDefault;
  }();
  return huge;
}

// Below this a buffer holds too few whole huge pages to be worth aligning.
size_t MinHugeBytes() { return 2 * HugePageSize(); }

size_t PageRoundUp(size_t bytes) {
  const size_t page = PageSize();
  return (bytes + page - 1) & ~(page - 1);
}

}  // namespace

void PrefaultForWrite(const void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kMinPrefaultBytes = size_t{1} << 20;
  if (p == nullptr || bytes < kMinPrefaultBytes) return;
  const uintptr_t page = PageSize();
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
  const size_t huge = HugePageSize();
  if (bytes < MinHugeBytes()) return ::operator new(bytes);
  if (bytes > SIZE_MAX - 2 * huge) throw std::bad_alloc();
  // A mapping of its own, so the huge-page advice never reaches memory the
  // C library hands out later.  Mapped with a huge page of slack, then
  // trimmed to start on a huge-page boundary.
  const size_t length = PageRoundUp(bytes);
  const size_t span = length + huge;
  void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto base = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t begin = (base + huge - 1) & ~(huge - 1);
  if (begin > base) ::munmap(mapped, begin - base);
  if (base + span > begin + length) ::munmap(reinterpret_cast<void*>(begin + length), base + span - begin - length);
#ifdef MADV_HUGEPAGE
  // Advice only: where the kernel has no huge pages to give, small ones
  // serve, and the tail past the last whole huge page always keeps them.
  ::madvise(reinterpret_cast<void*>(begin), length, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(begin);
}

void* AllocateLargeZeroed(size_t bytes) {
  void* p = AllocateLarge(bytes);
  if (bytes < MinHugeBytes()) std::memset(p, 0, bytes);
  return p;
}

void FreeLarge(void* p, size_t bytes) noexcept {
  if (bytes < MinHugeBytes()) {
    ::operator delete(p);
  } else {
    ::munmap(p, PageRoundUp(bytes));
  }
}

}  // namespace velk
