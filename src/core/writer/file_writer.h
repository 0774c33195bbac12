// File output for a build: an owned file descriptor and a buffered writer
// over it.  Both report failures as Io errors carrying the system's text.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "core/format/format.h"
#include "core/format/status.h"

namespace velk::writer {

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

// Collects small writes into one buffer of kCapacity bytes.  A write that
// does not fit the free space first empties the buffer; if it is at least
// as large as the whole buffer it then goes to the file directly, otherwise
// into the emptied buffer.  So a file smaller than the buffer costs one
// write call, and a large section is never copied.
class BufferedWriter {
 public:
  static constexpr size_t kCapacity = 8192;

  // fd is borrowed and must outlive the writer.
  explicit BufferedWriter(int fd) : fd_(fd) {}

  Result<void> Write(Bytes data);
  // Writes out whatever is buffered.  Call before closing the file:
  // nothing is flushed on destruction.
  Result<void> Flush();

 private:
  int fd_;
  size_t used_ = 0;
  std::array<std::byte, kCapacity> buf_;
};

}  // namespace velk::writer
