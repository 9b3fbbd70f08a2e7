// How engine operations fail: a message for bad user input, an exception
// for a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kestrel {

// A broken engine invariant: a programming error, never a user error.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// What was wrong with the input, for callers that act on it: the message
// alone is for people.
enum class ErrorKind : std::uint8_t {
  InvalidInput,  // a value or shape the operation refuses
  WrongType,     // a column whose type cannot serve its role
  LateEvent,     // an event older than its partition's newest in a stream
};

// A number a message names, and where its digits stand in the message, so
// that a caller can renumber it without reading the text.
struct ErrorNumber {
  enum class Counts : std::uint8_t { Rows, StreamPositions };
  Counts counts = Counts::Rows;
  std::size_t value = 0;
  std::size_t at = 0;
};

// The message of an operation that failed on user input.
struct Error {
  std::string message;
  ErrorKind kind = ErrorKind::InvalidInput;
  std::optional<ErrorNumber> number = std::nullopt;
};

// `text` followed by `number`, marked as the row or position it counts.
inline Error error_naming(std::string text, ErrorNumber::Counts counts, std::size_t number,
                          ErrorKind kind = ErrorKind::InvalidInput) {
  const std::size_t at = text.size();
  text += std::to_string(number);
  return Error{std::move(text), kind, ErrorNumber{counts, number, at}};
}

// `error` with `more` added to its message; the number stays where it was.
inline Error operator+(Error error, std::string_view more) {
  error.message += more;
  return error;
}

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
  const std::string& error() const { return failure().message; }
  const Error& failure() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace kestrel
