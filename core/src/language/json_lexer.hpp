// The JSON lexer of the reader: tokens, the brackets that are open, and the
// errors found so far, read in one pass over the text with no document tree.
//
// Values the typed reader does not want (values of unknown keys, and the rest
// of the text after a shape error) go through the scanner, which is iterative.
// The typed reader and the scanner share one explicit stack of open brackets,
// which holds the 128-level nesting limit, so no input can exhaust the machine
// stack.
//
// Errors are of two kinds. A syntax error (the text is not JSON) ends the
// read at once. A shape error (well-formed JSON of the wrong kind for the
// record) is kept while the scanner checks the rest of the text from the
// point where it was found; a later syntax error replaces it, so malformed
// text is always reported as malformed.
//
// Positions point at the offending byte: the unexpected byte for syntax
// errors and the last byte of the offending token or value for shape errors
// (a bracket not consumed is the offending byte itself). At the end of the
// text the column is the length of the last line.
//
// Strings must be valid UTF-8 (no overlong forms, surrogates or code points
// beyond U+10FFFF); any other byte sequence is "invalid unicode code point",
// in skipped strings too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::json {

constexpr std::size_t kMaxDepth = 128;
constexpr int kEnd = -1;

// Where the scanner takes up the text: before a value, before an object key,
// before the colon after a key, or after a value (a comma or a closing bracket
// of the innermost open container follows, or the text ends).
enum class Point : std::uint8_t { Value, Key, Colon, Next };

// What follows inside a container: another member, its end, or an error.
enum class Member : std::uint8_t { More, Closed, Failed };

// A JSON number as read: an integer that fits 64 bits unsigned (with its
// sign), or a double.
struct Number {
  bool is_integer = false;
  bool negative = false;
  std::uint64_t magnitude = 0;
  double real = 0;
};

bool is_digit(int byte);

// Every reading function returns false once it has recorded an error.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The recorded error with its position, if any.
  std::optional<std::string> failure_message() const;

 protected:
  using string_view = std::string_view;

  struct Failure {
    std::string message;
    std::size_t at;  // byte offset, or the text's size for its end
    bool syntax;
    Point resume;  // where a shape error leaves the text
  };

  // ---- Failures: each records its error and returns false.

  bool syntax_error(std::string message);
  bool shape_error(std::string message, std::size_t at, Point resume);
  bool shape_error_after_token(std::string message);

  // After a failed read: a shape error stands only if the rest of the text
  // is well-formed.
  void recover();

  // ---- Tokens

  // The next byte after whitespace, without consuming it, or kEnd.
  int peek();
  // Only whitespace is left.
  bool finish();

  // `word` starts at pos_, whose first byte is known to match.
  bool read_literal(string_view word);

  // The string whose opening quote is at pos_; its decoded bytes are appended
  // to `out` unless it is null.
  bool read_string(std::string* out);

  // The number starting at pos_ (a '-' or a digit). Integers that do not fit
  // 64 bits are read as doubles; doubles too small to represent read as zero.
  bool read_number(Number& number);

  // ---- Containers

  // The bracket at pos_.
  bool open(char bracket);

  Member close_innermost();

  // Just after the opening bracket.
  Member first_member(char closing);

  // Just after a member.
  Member next_member(char closing);

  bool read_key(std::string* key);
  bool read_colon();

  // Skips one well-formed value of any kind, with the iterative scanner.
  bool skip_value();

  std::size_t pos_ = 0;  // the next byte to read

 private:
  bool syntax_error_at(std::size_t at, std::string message);
  std::string position(std::size_t at) const;

  // One multi-byte UTF-8 sequence starting at pos_.
  bool read_utf8_sequence(std::string* out);

  // The escape whose backslash is at pos_.
  bool read_escape(std::string* out);

  // The four hex digits after `\u` (and a second escape after a leading
  // surrogate).
  bool read_unicode_escape(std::string* out);

  bool read_hex4(std::uint32_t& unit);

  // At least one digit, for a fraction or an exponent.
  bool read_digits();

  // Whether the magnitude of a well-formed number with a nonzero digit is at
  // least one, so that out of range means too large rather than too small.
  static bool at_least_one(string_view text);

  Member eof_in_container(char closing);

  // Checks well-formed JSON from `point` until a value is complete with
  // `floor` brackets open.
  bool scan(Point point, std::size_t floor);

  // One scalar, or the opening of a container; `point` says what follows.
  bool scan_value(Point& point);

  string_view text_;
  std::string open_;  // the open brackets, innermost last
  std::optional<Failure> failure_;
};

}  // namespace kestrel::json
