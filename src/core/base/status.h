// Error value of the storage core and the result-or-error type that every
// fallible core operation returns.  Nothing in the core throws on bad data or
// failed system calls; callers test ok() and take either value() or error().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velk {

enum class ErrorKind : uint8_t {
  kCorrupt,  // the file is malformed or damaged
  kVersion,  // right magic, unsupported format version
  kIo,       // the operating system rejected or failed an operation
  kGeneral,  // the caller used the writer wrongly
};

class StoreError {
 public:
  static StoreError Corrupt(std::string msg) { return {ErrorKind::kCorrupt, 0, std::move(msg)}; }
  static StoreError Version(uint8_t found) { return {ErrorKind::kVersion, found, {}}; }
  static StoreError Io(std::string msg) { return {ErrorKind::kIo, 0, std::move(msg)}; }
  static StoreError General(std::string msg) { return {ErrorKind::kGeneral, 0, std::move(msg)}; }

  // Io error for a failed system call: "{prefix}: {text} (os error {code})",
  // or the description alone when prefix is empty.
  static StoreError FromErrno(int code, std::string_view prefix = {});

  // The same error naming the file that a failed step concerns: "{path}: "
  // goes in front of the system's description ("open tmp: {path}: {text}
  // (os error N)"), or after the message when it has none.
  StoreError At(std::string_view path) &&;

  ErrorKind kind() const { return kind_; }
  // The errno value of an error made by FromErrno, else 0.
  int os_errno() const { return os_errno_; }
  // What went wrong, for kVersion "unsupported version N".  The core names
  // no error classes: a face of the store puts its own name for the kind
  // in front of this, or raises a class of its own for it.
  std::string message() const;

 private:
  StoreError(ErrorKind kind, uint8_t version, std::string msg)
      : kind_(kind), version_(version), message_(std::move(msg)) {}

  ErrorKind kind_;
  uint8_t version_;
  std::string message_;
  int os_errno_ = 0;
};

// The system's description of an errno value: "{text} (os error {code})".
std::string OsErrorText(int code);

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
