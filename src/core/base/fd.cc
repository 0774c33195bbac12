#include "core/base/fd.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace velk {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> UniqueFd::Close() {
  const int fd = std::exchange(fd_, -1);
  // On Linux the descriptor is gone even when close() reports EINTR, so it
  // must not be retried; by then the data has been synced anyway.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return StoreError::Os(Reason::kWrite, errno);
  return {};
}

Result<void> WriteAll(int fd, Bytes data, std::string_view zero_msg) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return StoreError::Os(Reason::kWrite, errno);
    }
    if (n == 0) return StoreError(Reason::kWrite, std::string(zero_msg));
    data = data.subspan(static_cast<size_t>(n));
  }
  return {};
}

}  // namespace velk
