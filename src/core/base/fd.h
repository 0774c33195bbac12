// File descriptors: the one owning type the core keeps them in, so that no
// exit path can leak one, and the one loop that writes a whole buffer.
#pragma once

#include <string_view>
#include <utility>

#include "core/base/bytes.h"
#include "core/base/status.h"

namespace velk {

// Sole owner of a file descriptor; closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }

  // Closes now and reports close's own failure, which is where some file
  // systems surface write errors.  The descriptor is released either way.
  Result<void> Close();

 private:
  int fd_ = -1;
};

// Writes all of data to fd, retrying after EINTR and partial writes.  A
// write that accepts no bytes fails with zero_msg; any other failure with
// the system's text alone.
Result<void> WriteAll(int fd, Bytes data, std::string_view zero_msg);

// Flushes fd's data and metadata to stable storage, as fsync (0, or -1 with
// errno).  Where fsync stops at the drive's volatile cache (macOS), the
// drive is asked to flush that too (F_FULLFSYNC).
int SyncToStorage(int fd);

}  // namespace velk
