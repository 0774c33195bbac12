#include "core/writer/file_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velk::writer {

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
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return StoreError::FromErrno(errno);
  return {};
}

Result<void> WriteAll(int fd, Bytes data, std::string_view zero_msg) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return StoreError::FromErrno(errno);
    }
    if (n == 0) return StoreError::Io(std::string(zero_msg));
    data = data.subspan(static_cast<size_t>(n));
  }
  return {};
}

Result<void> BufferedWriter::Write(Bytes data) {
  if (data.size() > kCapacity - used_) {
    VELK_TRY(Flush());
    if (data.size() >= kCapacity) return WriteAll(fd_, data, "failed to write whole buffer");
  }
  if (!data.empty()) std::memcpy(buf_.data() + used_, data.data(), data.size());
  used_ += data.size();
  return {};
}

Result<void> BufferedWriter::Flush() {
  Bytes pending(buf_.data(), used_);
  // Whatever happens, the buffer is not written twice.
  used_ = 0;
  return WriteAll(fd_, pending, "failed to write the buffered data");
}

}  // namespace velk::writer
