#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/large_buffer.h"

namespace velk {
namespace {

size_t ResidentPages(const void* p, size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in_core((bytes + page - 1) / page);
  EXPECT_EQ(::mincore(const_cast<void*>(p), bytes, in_core.data()), 0);
  size_t n = 0;
  for (unsigned char c : in_core) n += c & 1;
  return n;
}

// Whether the kernel we run on faults pages in on MADV_POPULATE_WRITE:
// kernels before 5.14 refuse it, and user-mode emulators (qemu) accept it
// and do nothing, so there the prefault is a no-op by design.
bool PopulateAdviceFaultsIn() {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t bytes = 4 * page;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  const bool works =
      ::madvise(p, bytes, MADV_POPULATE_WRITE) == 0 && ResidentPages(p, bytes) == bytes / page;
  ::munmap(p, bytes);
  return works;
#else
  return false;
#endif
}

// The background thread has faulted the buffers in by the time Wait
// returns, leaving them zero; small requests start no thread and touch
// nothing.
TEST(Prefault, BackgroundThreadFaultsInLargeBuffersOnly) {
  const size_t big = size_t{16} << 20;
  auto* a = static_cast<unsigned char*>(AllocateLarge(big));
  auto* b = static_cast<unsigned char*>(AllocateLarge(big));
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  EXPECT_LT(ResidentPages(a, big), big / page / 2);
  {
    BackgroundPrefault prefault({{a, big}, {b, big / 2}});
    prefault.Wait();
    prefault.Wait();  // a second wait is harmless
  }
  const bool populates = PopulateAdviceFaultsIn();
  if (populates) {
    EXPECT_EQ(ResidentPages(a, big), big / page);
    EXPECT_GE(ResidentPages(b, big / 2), big / 2 / page - 1);
  }
  for (size_t i = 0; i < big; i += page) ASSERT_EQ(a[i], 0) << i;
  FreeLarge(a, big);
  FreeLarge(b, big);

  const size_t small = size_t{2} << 20;
  void* c = ::mmap(nullptr, small, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(c, MAP_FAILED);
  { BackgroundPrefault prefault({{c, small}}); }
  EXPECT_EQ(ResidentPages(c, small), 0u);
  ::munmap(c, small);
  if (!populates) GTEST_SKIP() << "MADV_POPULATE_WRITE faults nothing in here (old kernel or emulator)";
}

}  // namespace
}  // namespace velk
