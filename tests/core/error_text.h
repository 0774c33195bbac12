// A store error as the tests compare it: the kind's name, ": ", the detail
// (for a version error the version found) and, for a failed system call,
// " errno N", so that one string pins reason family, detail and code.
#pragma once

#include <string>

#include "core/base/status.h"

namespace velk {

inline std::string Text(const StoreError& e) {
  const char* kind = "general";
  switch (e.kind()) {
    case ErrorKind::kCorrupt: kind = "corrupt"; break;
    case ErrorKind::kVersion: kind = "version"; break;
    case ErrorKind::kIo: kind = "io"; break;
    case ErrorKind::kGeneral: kind = "general"; break;
  }
  std::string text = std::string(kind) + ": ";
  text += e.kind() == ErrorKind::kVersion ? "unsupported version " + std::to_string(e.version()) : e.detail();
  if (e.os_errno() != 0) text += " errno " + std::to_string(e.os_errno());
  return text;
}

}  // namespace velk
