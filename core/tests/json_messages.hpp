// The JSON reader's complete set of messages, shared by its tests and its
// fuzz target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::test_support {

inline constexpr std::string_view kSyntaxMessages[] = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

inline constexpr std::string_view kShapePrefixes[] = {
    "missing field `", "duplicate field `", "unknown variant `", "invalid length ",
    "invalid type: ",  "invalid value: ",   "expected value",    "trailing characters",
};

inline constexpr std::string_view kStructuralMessages[] = {
    "pattern must contain at least one step",
    "the first pattern step cannot have a transition",
    "every step after the first must have a transition",
};

// Whether `text` is a run of digits, without a leading zero when `positive`.
inline bool is_number(std::string_view text, bool positive) {
  if (text.empty() || (positive && text.front() == '0')) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The message without its " at line L column C", or nothing when it has none.
// Only the last " at line " can start that suffix, which holds no other.
inline std::optional<std::string> without_position(const std::string& message) {
  const std::size_t at = message.rfind(" at line ");
  if (at == std::string::npos) return std::nullopt;
  const std::string_view rest = std::string_view(message).substr(at + 9);
  const std::size_t column = rest.find(" column ");
  if (column == std::string_view::npos || !is_number(rest.substr(0, column), true) ||
      !is_number(rest.substr(column + 8), false)) {
    return std::nullopt;
  }
  return message.substr(0, at);
}

inline bool is_syntax_message(const std::string& message) {
  const auto text = without_position(message);
  if (!text) return false;
  for (std::string_view syntax : kSyntaxMessages) {
    if (*text == syntax) return true;
  }
  return false;
}

inline bool is_reader_message(const std::string& message) {
  for (std::string_view structural : kStructuralMessages) {
    if (message == structural) return true;
  }
  const auto text = without_position(message);
  if (!text) return false;
  if (is_syntax_message(message)) return true;
  for (std::string_view prefix : kShapePrefixes) {
    if (text->starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace kestrel::test_support
