// The words of every store error, one row per reason, with a column for
// each face: both faces render an error from its fields and its row, so no
// text is ever parsed back and each reason is worded in one place.
#pragma once

#include <string>
#include <string_view>

#include "core/base/status.h"

namespace velk::bind {

// The package exception a reason becomes.
enum class PackageClass : uint8_t {
  kNotAStore,  // CorruptError "not a velkstore file"
  kCorrupt,    // CorruptError with the detail
  kVersion,    // VersionError
  kOs,         // the OSError subclass for the errno
  kLimit,      // LimitError
};

struct ErrorRow {
  Reason reason;
  // Words in front of the detail and the system's text; "{path}" stands
  // for the error's path.  The fixed face's are part of its pinned texts.
  const char* fixed_head;
  PackageClass package;
  // The package's words; OSError shows the path as its filename, so an
  // open names no path in its text.
  const char* package_head;
  // The errno the package's OSError carries when the system reported none.
  int package_errno;
};

const ErrorRow& RowFor(Reason reason);

// head (with its "{path}" filled), the error's detail and system_text,
// the parts present joined by ": ".
std::string Compose(std::string_view head, const StoreError& err, std::string_view system_text);

}  // namespace velk::bind
