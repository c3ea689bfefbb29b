// Value-or-error return type of every fallible core operation.
//
// The error is a message text: the binding raises it unchanged as the
// exception type its class names. (std::expected is C++23; this is the
// small subset the core needs.)
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kiv::common {

struct Error {
  std::string message;
};

// Builds an error result: `return common::fail("Channel closed");`
inline Error fail(std::string message) { return Error{std::move(message)}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  const std::string& error() const { return std::get<1>(state_).message; }
  std::string&& take_error() && { return std::move(std::get<1>(state_).message); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error.message)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }
  std::string&& take_error() && { return std::move(error_); }

 private:
  std::string error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace kiv::common
