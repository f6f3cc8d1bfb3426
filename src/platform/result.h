#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace installer {

// Why an operation failed.
struct Error {
  // The system's error number when a system call failed, 0 otherwise.
  int code = 0;
  // For people, and for the log: "<system text> (<operation> <path>)", e.g.
  // "No space left on device (writing /Applications/X.app/Contents/MacOS/X)".
  std::string description;
};

// What an operation came to: its value, or the Error that kept it from one.
template <typename T>
class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<1>(state_); }

private:
  std::variant<T, Error> state_;
};

// What an operation without a value came to: success, or the Error.
template <>
class [[nodiscard]] Result<void> {
public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }

  const Error& error() const { return *error_; }

private:
  std::optional<Error> error_;
};

}  // namespace installer
