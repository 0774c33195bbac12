#include "core/writer/file_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/base/fd.h"

namespace velk::writer {

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
