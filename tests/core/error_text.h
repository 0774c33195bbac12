// A store error as the tests compare it: the kind's name, ": " and the
// message, so that one string pins both.
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
  return std::string(kind) + ": " + e.message();
}

}  // namespace velk
