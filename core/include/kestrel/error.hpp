// How engine operations fail: a message for bad user input, an exception
// for a broken invariant.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace kestrel {

// A broken engine invariant: a programming error, never a user error.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The message of an operation that failed on user input.
struct Error {
  std::string message;
};

// Either a value or the one message that ended the operation.
template <class T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  const T& value() const& { return std::get<0>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const std::string& error() const { return std::get<1>(state_).message; }

 private:
  std::variant<T, Error> state_;
};

}  // namespace kestrel
