// The parser's complete set of messages, shared by its tests and its fuzz
// target.
#pragma once

#include <string_view>

namespace kestrel::test_support {

// Whether `message` is one the parser may give for `input`: a fixed message,
// or a quoting one whose quoted text comes from the input.
inline bool is_parser_message(std::string_view message, std::string_view input) {
  constexpr std::string_view kFixed[] = {
      "pattern is empty",
      "atom is empty",
      "atom event type is empty",
      "unexpected text after atom predicate list",
      "atom predicate list is missing closing `]`",
      "transition is missing a following atom",
      "transition constraint is missing closing `]->`",
      "capture binding must start with `$`",
      "capture binding name is empty",
      "comparison must have an attribute and value",
  };
  constexpr std::string_view kQuoting[] = {
      "unsupported transition constraint `",
      "invalid timestamp literal `",
      "unsupported atom predicate `",
      "invalid float literal `",
      "invalid literal `",
  };
  for (std::string_view fixed : kFixed) {
    if (message == fixed) return true;
  }
  for (std::string_view prefix : kQuoting) {
    if (message.starts_with(prefix) && message.size() > prefix.size() && message.ends_with('`')) {
      const std::string_view quoted =
          message.substr(prefix.size(), message.size() - prefix.size() - 1);
      return input.find(quoted) != std::string_view::npos;
    }
  }
  return false;
}

}  // namespace kestrel::test_support
