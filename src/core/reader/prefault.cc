#include "core/reader/prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace velk {

void PrefaultForWrite(const void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kMinBytes = size_t{1} << 20;
  if (p == nullptr || bytes < kMinBytes) return;
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

}  // namespace velk
