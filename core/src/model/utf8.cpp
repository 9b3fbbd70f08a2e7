// UTF-8 decoding, after the table of well-formed byte sequences in the
// Unicode standard: the lead byte fixes the length and narrows the range of
// the second byte, which is how overlong forms, surrogates and code points
// past U+10FFFF are excluded without decoding them first.
#include "kestrel/utf8.hpp"

namespace kestrel {

Utf8Char decode_utf8(std::string_view text) noexcept {
  if (text.empty()) return {Utf8Status::Truncated, 0, 0};
  const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {Utf8Status::Valid, lead, 1};
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return {Utf8Status::Invalid, 0, 0};
  }
  char32_t code_point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if (i == text.size()) return {Utf8Status::Truncated, 0, i};
    const unsigned char next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
      return {Utf8Status::Invalid, 0, i};
    }
    code_point = code_point << 6 | (next & 0x3F);
  }
  return {Utf8Status::Valid, code_point, length};
}

bool is_utf8(std::string_view text) noexcept {
  while (!text.empty()) {
    const Utf8Char decoded = decode_utf8(text);
    if (decoded.status != Utf8Status::Valid) return false;
    text.remove_prefix(decoded.end);
  }
  return true;
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

}  // namespace kestrel
