// JSON tokens as the writer puts them: shared with the reader, whose messages
// show values the way the writer would write them.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

namespace kestrel::json {

// `text` in double quotes, with JSON's short escapes and \u00XX for the
// other control characters; every other byte as it is.
void append_quoted(std::string& out, std::string_view text);

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Shortest round-trip digits; plain notation for decimal exponents -5..15;
// `null` for values JSON cannot hold.
void append_float(std::string& out, double value);

}  // namespace kestrel::json
