// UTF-8 decoding and checking for the engine and the bindings. Well-formed
// means no overlong forms, no surrogates and no code points past U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

enum class Utf8Status : std::uint8_t { Valid, Invalid, Truncated };

// One character decoded from the start of a text. `end` is where decoding
// stopped: just past the character when it is valid, else at the byte that
// breaks it (the text's size when the text ends inside the character).
struct Utf8Char {
  Utf8Status status;
  char32_t code_point;  // when valid
  std::size_t end;
};

// The character at the start of `text`; an empty text is Truncated.
Utf8Char decode_utf8(std::string_view text) noexcept;

// Whether all of `text` is well-formed UTF-8.
bool is_utf8(std::string_view text) noexcept;

// Appends the encoding of `code_point`, which must be a Unicode scalar value.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace kestrel
