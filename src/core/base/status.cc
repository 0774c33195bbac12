#include "core/base/status.h"

namespace velk {

ErrorKind StoreError::kind() const {
  switch (reason_) {
    case Reason::kTooSmall:
    case Reason::kBadMagic:
    case Reason::kFileCrc:
    case Reason::kObjectCrc:
    case Reason::kIndexTruncated:
    case Reason::kOutOfBounds:
    case Reason::kDamaged: return ErrorKind::kCorrupt;
    case Reason::kVersion: return ErrorKind::kVersion;
    case Reason::kOpen:
    case Reason::kMmap:
    case Reason::kCreateTemp:
    case Reason::kTempNotFile:
    case Reason::kLocked:
    case Reason::kNotReplaceable:
    case Reason::kWrite:
    case Reason::kSyncDir:
    case Reason::kRename:
    case Reason::kNotDurable:
    case Reason::kTargetChanged:
    case Reason::kIo: return ErrorKind::kIo;
    case Reason::kKeyTooLong:
    case Reason::kObjectTooLarge:
    case Reason::kTooMany:
    case Reason::kBadObjectId:
    case Reason::kMisuse: break;
  }
  return ErrorKind::kGeneral;
}

}  // namespace velk
