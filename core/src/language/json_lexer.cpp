// The JSON lexer; see json_lexer.hpp for its design.
#include "language/json_lexer.hpp"

#include <charconv>
#include <limits>

#include "kestrel/utf8.hpp"

namespace kestrel::json {

namespace {

char closing_of(char opening) { return opening == '[' ? ']' : '}'; }

int hex_digit_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

bool is_digit(int byte) { return byte >= '0' && byte <= '9'; }

std::optional<std::string> Lexer::failure_message() const {
  if (!failure_) return std::nullopt;
  return failure_->message + position(failure_->at);
}

bool Lexer::syntax_error_at(std::size_t at, std::string message) {
  failure_ = Failure{std::move(message), at, true, Point::Value};
  return false;
}

bool Lexer::syntax_error(std::string message) { return syntax_error_at(pos_, std::move(message)); }

bool Lexer::shape_error(std::string message, std::size_t at, Point resume) {
  failure_ = Failure{std::move(message), at, false, resume};
  return false;
}

bool Lexer::shape_error_after_token(std::string message) {
  return shape_error(std::move(message), pos_ - 1, Point::Next);
}

void Lexer::recover() {
  if (failure_->syntax) return;
  Failure shape = std::move(*failure_);
  failure_.reset();
  if (scan(shape.resume, 0) && finish()) failure_ = std::move(shape);
}

std::string Lexer::position(std::size_t at) const {
  const bool at_end = at >= text_.size();
  const string_view before = text_.substr(0, at_end ? text_.size() : at);
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const std::size_t column = before.size() - line_start + (at_end ? 0 : 1);
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

int Lexer::peek() {
  while (pos_ < text_.size()) {
    const char ch = text_[pos_];
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') {
      return static_cast<unsigned char>(ch);
    }
    ++pos_;
  }
  return kEnd;
}

bool Lexer::finish() { return peek() == kEnd || syntax_error("trailing characters"); }

bool Lexer::read_literal(string_view word) {
  ++pos_;
  for (char expected : word.substr(1)) {
    if (pos_ == text_.size()) return syntax_error("EOF while parsing a value");
    if (text_[pos_] != expected) return syntax_error("expected ident");
    ++pos_;
  }
  return true;
}

bool Lexer::read_string(std::string* out) {
  ++pos_;
  for (;;) {
    const std::size_t run = pos_;
    while (pos_ < text_.size()) {
      const auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') break;
      ++pos_;
    }
    if (out) out->append(text_.substr(run, pos_ - run));
    if (pos_ == text_.size()) return syntax_error("EOF while parsing a string");
    const auto byte = static_cast<unsigned char>(text_[pos_]);
    if (byte == '"') {
      ++pos_;
      return true;
    }
    if (byte == '\\') {
      if (!read_escape(out)) return false;
    } else if (byte < 0x20) {
      return syntax_error("control character (\\u0000-\\u001F) found while parsing a string");
    } else if (!read_utf8_sequence(out)) {
      return false;
    }
  }
}

bool Lexer::read_utf8_sequence(std::string* out) {
  const Utf8Char decoded = decode_utf8(text_.substr(pos_));
  const std::size_t at = pos_ + decoded.end;
  switch (decoded.status) {
    case Utf8Status::Invalid: return syntax_error_at(at, "invalid unicode code point");
    case Utf8Status::Truncated: return syntax_error_at(at, "EOF while parsing a string");
    case Utf8Status::Valid: break;
  }
  if (out) out->append(text_.substr(pos_, decoded.end));
  pos_ = at;
  return true;
}

bool Lexer::read_escape(std::string* out) {
  ++pos_;
  if (pos_ == text_.size()) return syntax_error("EOF while parsing a string");
  char decoded = 0;
  switch (text_[pos_]) {
    case '"': decoded = '"'; break;
    case '\\': decoded = '\\'; break;
    case '/': decoded = '/'; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u': ++pos_; return read_unicode_escape(out);
    default: return syntax_error("invalid escape");
  }
  ++pos_;
  if (out) *out += decoded;
  return true;
}

bool Lexer::read_unicode_escape(std::string* out) {
  std::uint32_t unit = 0;
  if (!read_hex4(unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    return syntax_error_at(pos_ - 1, "lone leading surrogate in hex escape");
  }
  std::uint32_t code_point = unit;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    for (char expected : {'\\', 'u'}) {
      if (pos_ == text_.size()) return syntax_error("EOF while parsing a string");
      if (text_[pos_] != expected) return syntax_error("unexpected end of hex escape");
      ++pos_;
    }
    std::uint32_t trail = 0;
    if (!read_hex4(trail)) return false;
    if (trail < 0xDC00 || trail > 0xDFFF) {
      return syntax_error_at(pos_ - 1, "lone leading surrogate in hex escape");
    }
    code_point = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
  }
  if (out) append_utf8(*out, code_point);
  return true;
}

bool Lexer::read_hex4(std::uint32_t& unit) {
  for (int i = 0; i < 4; ++i) {
    if (pos_ == text_.size()) return syntax_error("EOF while parsing a string");
    const int digit = hex_digit_value(text_[pos_]);
    if (digit < 0) return syntax_error("invalid escape");
    unit = unit << 4 | static_cast<std::uint32_t>(digit);
    ++pos_;
  }
  return true;
}

bool Lexer::read_number(Number& number) {
  const std::size_t start = pos_;
  number = Number{};
  number.negative = text_[pos_] == '-';
  if (number.negative) ++pos_;
  if (pos_ == text_.size()) return syntax_error("EOF while parsing a value");
  bool fits = true;
  if (text_[pos_] == '0') {
    ++pos_;
    if (pos_ < text_.size() && is_digit(text_[pos_])) return syntax_error("invalid number");
  } else if (is_digit(text_[pos_])) {
    while (pos_ < text_.size() && is_digit(text_[pos_])) {
      const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
      if (number.magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        fits = false;
      }
      number.magnitude = number.magnitude * 10 + digit;
      ++pos_;
    }
  } else {
    return syntax_error("invalid number");
  }
  bool is_integer = true;
  if (pos_ < text_.size() && text_[pos_] == '.') {
    is_integer = false;
    ++pos_;
    if (!read_digits()) return false;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    is_integer = false;
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!read_digits()) return false;
  }
  constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
  if (is_integer && fits && !(number.negative && number.magnitude > kMostNegative)) {
    number.is_integer = true;
    return true;
  }
  const string_view text = text_.substr(start, pos_ - start);
  const auto result = std::from_chars(text.data(), text.data() + text.size(), number.real);
  if (result.ec == std::errc::result_out_of_range) {
    if (at_least_one(text)) return syntax_error_at(pos_ - 1, "number out of range");
    number.real = number.negative ? -0.0 : 0.0;
  }
  return true;
}

bool Lexer::read_digits() {
  if (pos_ == text_.size()) return syntax_error("EOF while parsing a value");
  if (!is_digit(text_[pos_])) return syntax_error("invalid number");
  while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  return true;
}

bool Lexer::at_least_one(string_view text) {
  std::int64_t lead_exponent = 0;  // decimal exponent of the first nonzero digit
  std::size_t i = text[0] == '-' ? 1 : 0;
  const std::size_t integer_start = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  const std::size_t integer_end = i;
  std::size_t first_nonzero = integer_start;
  while (first_nonzero < integer_end && text[first_nonzero] == '0') ++first_nonzero;
  if (first_nonzero < integer_end) {
    lead_exponent = static_cast<std::int64_t>(integer_end - first_nonzero) - 1;
  } else if (i < text.size() && text[i] == '.') {
    ++i;
    std::int64_t place = -1;
    while (i < text.size() && text[i] == '0') {
      ++i;
      --place;
    }
    lead_exponent = place;
  }
  const std::size_t e_at = text.find_first_of("eE");
  if (e_at == string_view::npos) return lead_exponent >= 0;
  std::size_t j = e_at + 1;
  const bool negative_exponent = text[j] == '-';
  if (text[j] == '-' || text[j] == '+') ++j;
  std::int64_t exponent = 0;
  constexpr std::int64_t kSaturation = 1'000'000'000;
  for (; j < text.size() && exponent < kSaturation; ++j) {
    exponent = exponent * 10 + (text[j] - '0');
  }
  return lead_exponent + (negative_exponent ? -exponent : exponent) >= 0;
}

bool Lexer::open(char bracket) {
  if (open_.size() == kMaxDepth) return syntax_error("recursion limit exceeded");
  open_ += bracket;
  ++pos_;
  return true;
}

Member Lexer::close_innermost() {
  ++pos_;
  open_.pop_back();
  return Member::Closed;
}

Member Lexer::eof_in_container(char closing) {
  syntax_error(closing == ']' ? "EOF while parsing a list" : "EOF while parsing an object");
  return Member::Failed;
}

Member Lexer::first_member(char closing) {
  const int next = peek();
  if (next == closing) return close_innermost();
  if (next == kEnd) return eof_in_container(closing);
  return Member::More;
}

Member Lexer::next_member(char closing) {
  const int next = peek();
  if (next == closing) return close_innermost();
  if (next == kEnd) return eof_in_container(closing);
  if (next != ',') {
    syntax_error(closing == ']' ? "expected `,` or `]`" : "expected `,` or `}`");
    return Member::Failed;
  }
  ++pos_;
  const int after_comma = peek();
  if (after_comma == closing) {
    syntax_error("trailing comma");
    return Member::Failed;
  }
  if (after_comma == kEnd) {
    syntax_error("EOF while parsing a value");
    return Member::Failed;
  }
  return Member::More;
}

bool Lexer::read_key(std::string* key) {
  const int next = peek();
  if (next == '"') {
    if (key) key->clear();
    return read_string(key);
  }
  if (next == kEnd) return syntax_error("EOF while parsing an object");
  return syntax_error("key must be a string");
}

bool Lexer::read_colon() {
  const int next = peek();
  if (next == ':') {
    ++pos_;
    return true;
  }
  if (next == kEnd) return syntax_error("EOF while parsing an object");
  return syntax_error("expected `:`");
}

bool Lexer::scan(Point point, std::size_t floor) {
  for (;;) {
    switch (point) {
      case Point::Value:
        if (!scan_value(point)) return false;
        break;
      case Point::Key:
        if (!read_key(nullptr)) return false;
        point = Point::Colon;
        break;
      case Point::Colon:
        if (!read_colon()) return false;
        point = Point::Value;
        break;
      case Point::Next: {
        if (open_.size() == floor) return true;
        const char opening = open_.back();
        const Member member = next_member(closing_of(opening));
        if (member == Member::Failed) return false;
        if (member == Member::More) point = opening == '[' ? Point::Value : Point::Key;
        break;
      }
    }
  }
}

bool Lexer::skip_value() { return scan(Point::Value, open_.size()); }

bool Lexer::scan_value(Point& point) {
  point = Point::Next;
  Number number;
  switch (const int next = peek()) {
    case '[':
    case '{': {
      const char opening = static_cast<char>(next);
      if (!open(opening)) return false;
      const Member member = first_member(closing_of(opening));
      if (member == Member::Failed) return false;
      if (member == Member::More) point = opening == '[' ? Point::Value : Point::Key;
      return true;
    }
    case '"': return read_string(nullptr);
    case 't': return read_literal("true");
    case 'f': return read_literal("false");
    case 'n': return read_literal("null");
    case kEnd: return syntax_error("EOF while parsing a value");
    default:
      if (next == '-' || is_digit(next)) return read_number(number);
      return syntax_error("expected value");
  }
}

}  // namespace kestrel::json
