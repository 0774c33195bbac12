#include "core/reader/mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/base/fd.h"

namespace velk {
namespace {

StoreError MmapFailed(int code, const std::string& path) { return StoreError::Os(Reason::kMmap, code, path); }

}  // namespace

Mapping::~Mapping() { Release(); }

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void Mapping::Release() {
  if (size_ != 0) ::munmap(const_cast<std::byte*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

void Mapping::AdviseHugePages(uint64_t offset) const {
#ifdef MADV_HUGEPAGE
  // From the huge page boundary at or below offset: only whole, aligned
  // huge pages of the file can be mapped as such.
  constexpr uint64_t kHuge = uint64_t{2} << 20;
  if (offset >= size_) return;
  const uint64_t begin = offset & ~(kHuge - 1);
  ::madvise(const_cast<std::byte*>(data_) + begin, size_ - begin, MADV_HUGEPAGE);
#else
  (void)offset;
#endif
}

Result<Mapping> Mapping::Open(const std::string& path) {
  // open(2) would silently stop at the NUL and open another file.
  if (path.find('\0') != std::string::npos)
    return StoreError(Reason::kOpen, "path contains a NUL byte", path);

  // Non-blocking, so opening a FIFO with no writer returns at once instead
  // of hanging the caller; it then maps as an empty file.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    return StoreError::Os(Reason::kOpen, errno, path);
  }

  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return MmapFailed(errno, path);
  // A directory's st_size depends on the file system (some report 0); fail
  // it the way mmap(2) does for a non-empty one, whatever its size.
  if (S_ISDIR(st.st_mode)) return MmapFailed(ENODEV, path);
  constexpr auto kMaxLength = static_cast<uint64_t>(std::numeric_limits<ssize_t>::max());
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kMaxLength)
    return StoreError(Reason::kMmap, "memory map length overflows isize", path);
  const size_t size = static_cast<size_t>(st.st_size);
  if (size == 0) return Mapping();

  void* addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) return MmapFailed(errno, path);
  return Mapping(static_cast<const std::byte*>(addr), size);
}

}  // namespace velk
