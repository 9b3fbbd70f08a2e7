// The JSON reader's complete set of messages, shared by its tests and its
// fuzz target.
#pragma once

#include <optional>
#include <regex>
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

// The message without its " at line L column C", or nothing when it has none.
inline std::optional<std::string> without_position(const std::string& message) {
  static const std::regex kPosition(R"((.*) at line [1-9][0-9]* column [0-9]+$)");
  std::smatch match;
  if (!std::regex_match(message, match, kPosition)) return std::nullopt;
  return match[1].str();
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
