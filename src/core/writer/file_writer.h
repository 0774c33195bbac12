// Buffered file output for a build.  Failures are Io errors carrying the
// system's text.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/bytes.h"
#include "core/base/status.h"

namespace velk::writer {

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
