#include "core/base/status.h"

#include <cstring>

namespace velk {

std::string OsErrorText(int code) {
  char buf[256];
  // GNU strerror_r may return a static string rather than fill buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

StoreError StoreError::FromErrno(int code, std::string_view prefix) {
  std::string msg(prefix);
  if (!prefix.empty()) msg += ": ";
  msg += OsErrorText(code);
  StoreError err = Io(std::move(msg));
  err.os_errno_ = code;
  return err;
}

StoreError StoreError::At(std::string_view path) && {
  const std::string os_text = os_errno_ != 0 ? OsErrorText(os_errno_) : std::string();
  if (!os_text.empty() && message_.ends_with(os_text)) {
    message_.insert(message_.size() - os_text.size(), std::string(path) + ": ");
  } else {
    message_ += ": ";
    message_ += path;
  }
  return std::move(*this);
}

std::string StoreError::message() const {
  if (kind_ == ErrorKind::kVersion) return "unsupported version " + std::to_string(version_);
  return message_;
}

}  // namespace velk
