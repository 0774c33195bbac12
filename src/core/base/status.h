// Error value of the storage core and the result-or-error type that every
// fallible core operation returns.  Nothing in the core throws on bad data or
// failed system calls; callers test ok() and take either value() or error().
//
// An error is data, not text: a reason code, the errno of a failed system
// call, the path concerned and, where the reason alone does not say it all,
// a short detail (what is damaged and where, or the operation a system
// failure happened in).  Each face of the store words it for its callers
// from a table keyed by the reason; nothing parses the detail back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velk {

// The four families a reason belongs to.
enum class ErrorKind : uint8_t {
  kCorrupt,  // the file is malformed or damaged
  kVersion,  // right magic, unsupported format version
  kIo,       // the operating system rejected or failed an operation
  kGeneral,  // the caller used the writer wrongly, or passed a limit
};

enum class Reason : uint8_t {
  // kCorrupt; the detail says what and where.
  kTooSmall,        // shorter than a header: no store at all
  kBadMagic,        // the first bytes are not the magic: no store at all
  kFileCrc,         // whole-file checksum mismatch
  kObjectCrc,       // one object's checksum mismatch
  kIndexTruncated,  // the index ends inside an entry
  kOutOfBounds,     // an offset or record outside its section or the file
  kDamaged,         // any other inconsistency of the file
  // kVersion; the version byte is the payload.
  kVersion,
  // kIo; os_errno() is set when the system reported the failure, else the
  // detail says what went wrong.
  kOpen,            // opening the store file (path)
  kMmap,            // sizing or mapping it
  kCreateTemp,      // creating, locking or preparing the temporary file
  kTempNotFile,     // something other than a file stands at the temporary name (path)
  kLocked,          // another live build holds the temporary name (path)
  kNotReplaceable,  // the target is a device, FIFO or socket (path)
  kWrite,           // writing, flushing, syncing or closing the file
  kSyncDir,         // opening the directory to sync it, before the rename
  kRename,          // renaming the temporary file over the target
  kNotDurable,      // the target (path) was replaced, but syncing its directory failed
  kTargetChanged,   // another build replaced the target (path) while this one ran; left as it is
  kIo,              // another system failure; the detail names the operation
  // kGeneral; the detail gives the numbers.
  kKeyTooLong,      // a key longer than the format stores
  kObjectTooLarge,  // a payload longer than the format stores
  kTooMany,         // more objects or keys than the format counts
  kBadObjectId,     // an object id that was never staged
  kMisuse,          // any other wrong use
};

class StoreError {
 public:
  explicit StoreError(Reason reason, std::string detail = {}, std::string path = {}, int os_errno = 0)
      : reason_(reason), os_errno_(os_errno), detail_(std::move(detail)), path_(std::move(path)) {}

  // A failed system call: its errno, the path it concerned.
  static StoreError Os(Reason reason, int code, std::string path = {}) {
    return StoreError(reason, {}, std::move(path), code);
  }
  static StoreError Version(uint8_t found) {
    StoreError e(Reason::kVersion);
    e.version_ = found;
    return e;
  }
  // Shorthands for the catch-all reason of each family.
  static StoreError Corrupt(std::string detail) { return StoreError(Reason::kDamaged, std::move(detail)); }
  static StoreError General(std::string detail) { return StoreError(Reason::kMisuse, std::move(detail)); }
  // A system failure in the operation the detail names (may be empty).
  static StoreError FromErrno(int code, std::string_view operation = {}) {
    return StoreError(Reason::kIo, std::string(operation), {}, code);
  }

  Reason reason() const { return reason_; }
  ErrorKind kind() const;
  // The errno value of a failed system call, else 0.
  int os_errno() const { return os_errno_; }
  // The version byte found, for Reason::kVersion.
  uint8_t version() const { return version_; }
  const std::string& detail() const { return detail_; }
  // The file concerned, where the failing step knows it; else empty.
  const std::string& path() const { return path_; }

  // The same error naming path, unless it names one already.
  StoreError&& WithPath(std::string path) && {
    if (path_.empty()) path_ = std::move(path);
    return std::move(*this);
  }

 private:
  Reason reason_;
  uint8_t version_ = 0;
  int os_errno_ = 0;
  std::string detail_;
  std::string path_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(StoreError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const StoreError& error() const& { return std::get<1>(v_); }
  StoreError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, StoreError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(StoreError error) : err_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return !err_.has_value(); }
  const StoreError& error() const& { return *err_; }
  StoreError&& error() && { return std::move(*err_); }

 private:
  std::optional<StoreError> err_;
};

// Propagates the error of a Result-returning expression to the caller.
#define VELK_TRY(expr)                              \
  do {                                              \
    auto velk_try_result_ = (expr);                 \
    if (!velk_try_result_.ok())                     \
      return std::move(velk_try_result_).error();   \
  } while (0)

}  // namespace velk
