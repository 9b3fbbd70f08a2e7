// Decoding and checking UTF-8.
#include "kestrel/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kestrel {
namespace {

using Status = Utf8Status;

struct DecodeCase {
  std::string_view bytes;
  Status status;
  char32_t code_point;  // when valid
  std::size_t end;
};

// Each boundary of the table of well-formed sequences, from both sides.
TEST(Utf8, DecodesTheFirstCharacterOrFindsTheByteThatBreaksIt) {
  const DecodeCase cases[] = {
      {"", Status::Truncated, 0, 0},
      {"a\xC3", Status::Valid, 'a', 1},
      {"\x7F", Status::Valid, 0x7F, 1},
      {"\x80", Status::Invalid, 0, 0},
      {"\xC1\xBF", Status::Invalid, 0, 0},  // overlong
      {"\xC2\x80", Status::Valid, 0x80, 2},
      {"\xDF\xBF", Status::Valid, 0x7FF, 2},
      {"\xC2", Status::Truncated, 0, 1},
      {"\xC2\xC0", Status::Invalid, 0, 1},
      {"\xE0\x9F\xBF", Status::Invalid, 0, 1},  // overlong
      {"\xE0\xA0\x80", Status::Valid, 0x800, 3},
      {"\xED\x9F\xBF", Status::Valid, 0xD7FF, 3},
      {"\xED\xA0\x80", Status::Invalid, 0, 1},  // surrogate
      {"\xEF\xBF\xBF", Status::Valid, 0xFFFF, 3},
      {"\xE2\x80", Status::Truncated, 0, 2},
      {"\xE2\x80\x7F", Status::Invalid, 0, 2},
      {"\xF0\x8F\xBF\xBF", Status::Invalid, 0, 1},  // overlong
      {"\xF0\x90\x80\x80", Status::Valid, 0x10000, 4},
      {"\xF4\x8F\xBF\xBF", Status::Valid, 0x10FFFF, 4},
      {"\xF4\x90\x80\x80", Status::Invalid, 0, 1},  // beyond U+10FFFF
      {"\xF5\x80\x80\x80", Status::Invalid, 0, 0},
      {"\xF0\x90\x80", Status::Truncated, 0, 3},
      {"\xF0\x90\x80\xC0", Status::Invalid, 0, 3},
  };
  for (const DecodeCase& c : cases) {
    const Utf8Char decoded = decode_utf8(c.bytes);
    const std::string label = testing::PrintToString(std::string(c.bytes));
    EXPECT_EQ(decoded.status, c.status) << label;
    EXPECT_EQ(decoded.end, c.end) << label;
    const bool whole = c.status == Status::Valid ? c.end == c.bytes.size() : c.bytes.empty();
    EXPECT_EQ(is_utf8(c.bytes), whole) << label;
    if (c.status == Status::Valid) {
      EXPECT_EQ(decoded.code_point, c.code_point) << label;
      std::string encoded;
      append_utf8(encoded, c.code_point);
      EXPECT_EQ(encoded, c.bytes.substr(0, c.end)) << label;
    }
  }
}

}  // namespace
}  // namespace kestrel
