// The JSON form of a pattern.
//
// Each record has one description, Record<T>::fields, that names its fields in
// order with their types; the writer and the reader both walk it, so they
// cannot disagree about keys, order or types.
//
// The reader makes one pass over the text and builds no document tree: tokens
// go straight into the records. Typed reading recurses only along the record
// types, whose nesting is fixed. Everything else (values of unknown keys, and
// the rest of the text after a shape error) goes through an iterative scanner.
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
#include "kestrel/json.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kestrel {

namespace {

using std::string_view;

// ---- Record descriptions ------------------------------------------------

template <class T>
struct Record;

template <>
struct Record<Pattern> {
  static constexpr string_view kName = "Pattern";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("steps", r.steps);
    field("consumption", r.consumption);
  }
};

template <>
struct Record<Step> {
  static constexpr string_view kName = "Step";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("atom", r.atom);
    field("transition_from_previous", r.transition_from_previous);
  }
};

template <>
struct Record<Atom> {
  static constexpr string_view kName = "Atom";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("event_type", r.event_type);
    field("predicates", r.predicates);
    field("reference_predicates", r.reference_predicates);
    field("captures", r.captures);
  }
};

template <>
struct Record<Predicate> {
  static constexpr string_view kName = "Predicate";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("attribute", r.attribute);
    field("operator", r.op);
    field("value", r.value);
  }
};

template <>
struct Record<ReferencePredicate> {
  static constexpr string_view kName = "ReferencePredicate";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("attribute", r.attribute);
    field("operator", r.op);
    field("binding", r.binding);
  }
};

template <>
struct Record<Capture> {
  static constexpr string_view kName = "Capture";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("name", r.name);
    field("attribute", r.attribute);
  }
};

template <>
struct Record<Transition> {
  static constexpr string_view kName = "Transition";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("max_elapsed", r.max_elapsed);
    field("absence", r.absence);
  }
};

template <class T>
concept IsRecord = requires { Record<T>::kName; };

template <class T>
constexpr bool kIsOptional = false;
template <class T>
constexpr bool kIsOptional<std::optional<T>> = true;

template <IsRecord T>
std::size_t field_count() {
  std::size_t count = 0;
  T record;
  Record<T>::fields(record, [&](string_view, auto&) { ++count; });
  return count;
}

// Unit-variant enumerations, named in declaration order.
template <class E>
struct Variants;

template <>
struct Variants<ComparisonOperator> {
  static constexpr std::array<string_view, 6> kNames = {"Eq", "NotEq", "Gt", "Gte", "Lt", "Lte"};
};

template <>
struct Variants<MatchConsumption> {
  static constexpr std::array<string_view, 2> kNames = {"FirstSuccessorPerStart",
                                                        "ExhaustivePerStart"};
};

template <class E>
concept IsVariantEnum = requires { Variants<E>::kNames; };

// In ValueKind order.
constexpr std::array<string_view, 5> kValueNames = {"String", "Int", "Float", "Bool", "Null"};

template <std::size_t N>
int variant_index(const std::array<string_view, N>& names, string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return -1;
}

// ---- Token writing --------------------------------------------------------

void append_quoted(std::string& out, string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Shortest round-trip digits; plain notation for decimal exponents -5..15.
void append_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0) {
    out += "0.0";
    return;
  }
  // Scientific form "d[.ddd]e±xx" gives the digits and the exponent apart.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e_at = scientific.find('e');
  const char first = scientific[0];
  const string_view rest = e_at > 1 ? scientific.substr(2, e_at - 2) : string_view();
  int exponent = 0;
  const char* exponent_digits = scientific.data() + e_at + 2;
  std::from_chars(exponent_digits, result.ptr, exponent);
  if (scientific[e_at + 1] == '-') exponent = -exponent;

  if (exponent < -5 || exponent > 15) {
    out += first;
    if (!rest.empty()) {
      out += '.';
      out += rest;
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    append_integer(out, exponent < 0 ? -exponent : exponent);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += first;
    out += rest;
    return;
  }
  const auto integer_digits = static_cast<std::size_t>(exponent);  // after the first
  out += first;
  if (rest.size() <= integer_digits) {
    out += rest;
    out.append(integer_digits - rest.size(), '0');
    out += ".0";
  } else {
    out += rest.substr(0, integer_digits);
    out += '.';
    out += rest.substr(integer_digits);
  }
}

// ---- Writer ---------------------------------------------------------------

class Writer {
 public:
  explicit Writer(bool pretty) : pretty_(pretty) {}

  std::string take() && { return std::move(out_); }

  template <IsRecord T>
  void write(const T& record) {
    open('{');
    Record<T>::fields(record, [&](string_view name, const auto& member) {
      key(name);
      write(member);
    });
    close('}');
  }

  template <class T>
  void write(const std::vector<T>& list) {
    if (list.empty()) {
      out_ += "[]";
      return;
    }
    open('[');
    for (const T& item : list) {
      begin_member();
      write(item);
    }
    close(']');
  }

  template <class T>
  void write(const std::optional<T>& maybe) {
    if (maybe) {
      write(*maybe);
    } else {
      out_ += "null";
    }
  }

  template <IsVariantEnum E>
  void write(E variant) {
    append_quoted(out_, Variants<E>::kNames[static_cast<std::size_t>(variant)]);
  }

  void write(const std::string& text) { append_quoted(out_, text); }

  void write(std::int64_t number) { append_integer(out_, number); }

  void write(const Value& value) {
    const ValueKind kind = kind_of(value);
    if (kind == ValueKind::Null) {
      append_quoted(out_, kValueNames[static_cast<std::size_t>(kind)]);
      return;
    }
    open('{');
    key(kValueNames[static_cast<std::size_t>(kind)]);
    switch (kind) {
      case ValueKind::String: write(std::get<std::string>(value)); break;
      case ValueKind::Int: write(std::get<std::int64_t>(value)); break;
      case ValueKind::Float: append_float(out_, std::get<double>(value)); break;
      case ValueKind::Bool: out_ += std::get<bool>(value) ? "true" : "false"; break;
      case ValueKind::Null: break;
    }
    close('}');
  }

 private:
  void open(char bracket) {
    out_ += bracket;
    ++depth_;
    first_member_ = true;
  }

  void begin_member() {
    if (!first_member_) out_ += ',';
    first_member_ = false;
    if (pretty_) new_line();
  }

  void key(string_view name) {
    begin_member();
    append_quoted(out_, name);
    out_ += pretty_ ? ": " : ":";
  }

  // Every container closed here is a member of the one around it, which
  // therefore has a member already.
  void close(char bracket) {
    --depth_;
    if (pretty_) new_line();
    out_ += bracket;
    first_member_ = false;
  }

  void new_line() {
    out_ += '\n';
    out_.append(2 * depth_, ' ');
  }

  bool pretty_;
  std::size_t depth_ = 0;
  bool first_member_ = true;
  std::string out_;
};

// ---- Reader ---------------------------------------------------------------

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

char closing_of(char opening) { return opening == '[' ? ']' : '}'; }

bool is_digit(int byte) { return byte >= '0' && byte <= '9'; }

int hex_digit_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
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

double to_double(const Number& number) {
  if (!number.is_integer) return number.real;
  const auto magnitude = static_cast<double>(number.magnitude);
  return number.negative ? -magnitude : magnitude;
}

std::string describe(const Number& number) {
  std::string text;
  if (number.is_integer) {
    text = "integer `";
    if (number.negative && number.magnitude != 0) text += '-';
    append_integer(text, number.magnitude);
  } else {
    text = "floating point `";
    append_float(text, number.real);
  }
  text += '`';
  return text;
}

template <std::size_t N>
std::string unknown_variant(string_view name, const std::array<string_view, N>& names) {
  std::string message = "unknown variant `";
  message += name;
  message += "`, expected ";
  if constexpr (N == 2) {
    message += "`";
    message += names[0];
    message += "` or `";
    message += names[1];
    message += "`";
    return message;
  }
  message += "one of ";
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) message += ", ";
    message += '`';
    message += names[i];
    message += '`';
  }
  return message;
}

std::string structural_message(StructuralFault fault) {
  switch (fault) {
    case StructuralFault::NoSteps: return "pattern must contain at least one step";
    case StructuralFault::FirstStepHasTransition:
      return "the first pattern step cannot have a transition";
    case StructuralFault::LaterStepLacksTransition:
      return "every step after the first must have a transition";
  }
  throw InternalError("unknown structural fault");
}

template <IsRecord T>
std::string struct_name() {
  return "struct " + std::string(Record<T>::kName);
}

class Reader {
 public:
  explicit Reader(string_view text) : text_(text) {}

  Result<Pattern> read_document() {
    Pattern pattern;
    if (!(read(pattern) && finish()) && !failure_->syntax) recover();
    if (failure_) return Error{failure_->message + position(failure_->at)};
    if (const auto fault = find_structural_fault(pattern)) return Error{structural_message(*fault)};
    return pattern;
  }

 private:
  struct Failure {
    std::string message;
    std::size_t at;  // byte offset, or the text's size for its end
    bool syntax;
    Point resume;  // where a shape error leaves the text
  };

  // ---- Failures

  bool syntax_error_at(std::size_t at, std::string message) {
    failure_ = Failure{std::move(message), at, true, Point::Value};
    return false;
  }

  bool syntax_error(std::string message) { return syntax_error_at(pos_, std::move(message)); }

  bool shape_error(std::string message, std::size_t at, Point resume) {
    failure_ = Failure{std::move(message), at, false, resume};
    return false;
  }

  bool shape_error_after_token(std::string message) {
    return shape_error(std::move(message), pos_ - 1, Point::Next);
  }

  // A shape error stands only if the rest of the text is well-formed.
  void recover() {
    Failure shape = std::move(*failure_);
    failure_.reset();
    if (scan(shape.resume, 0) && finish()) failure_ = std::move(shape);
  }

  std::string position(std::size_t at) const {
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

  // ---- Tokens

  // The next byte after whitespace, without consuming it, or kEnd.
  int peek() {
    while (pos_ < text_.size()) {
      const char ch = text_[pos_];
      if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') {
        return static_cast<unsigned char>(ch);
      }
      ++pos_;
    }
    return kEnd;
  }

  bool finish() { return peek() == kEnd || syntax_error("trailing characters"); }

  // `word` starts at pos_, whose first byte is known to match.
  bool read_literal(string_view word) {
    ++pos_;
    for (char expected : word.substr(1)) {
      if (pos_ == text_.size()) return syntax_error("EOF while parsing a value");
      if (text_[pos_] != expected) return syntax_error("expected ident");
      ++pos_;
    }
    return true;
  }

  // The string whose opening quote is at pos_; its decoded bytes are appended
  // to `out` unless it is null.
  bool read_string(std::string* out) {
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

  // One multi-byte UTF-8 sequence starting at pos_.
  bool read_utf8_sequence(std::string* out) {
    const auto lead = static_cast<unsigned char>(text_[pos_]);
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
      return syntax_error("invalid unicode code point");
    }
    for (std::size_t i = 1; i < length; ++i) {
      const std::size_t at = pos_ + i;
      if (at == text_.size()) return syntax_error_at(at, "EOF while parsing a string");
      const auto byte = static_cast<unsigned char>(text_[at]);
      if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
        return syntax_error_at(at, "invalid unicode code point");
      }
    }
    if (out) out->append(text_.substr(pos_, length));
    pos_ += length;
    return true;
  }

  // The escape whose backslash is at pos_.
  bool read_escape(std::string* out) {
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

  // The four hex digits after `\u` (and a second escape after a leading
  // surrogate).
  bool read_unicode_escape(std::string* out) {
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

  bool read_hex4(std::uint32_t& unit) {
    for (int i = 0; i < 4; ++i) {
      if (pos_ == text_.size()) return syntax_error("EOF while parsing a string");
      const int digit = hex_digit_value(text_[pos_]);
      if (digit < 0) return syntax_error("invalid escape");
      unit = unit << 4 | static_cast<std::uint32_t>(digit);
      ++pos_;
    }
    return true;
  }

  // The number starting at pos_ (a '-' or a digit). Integers that do not fit
  // 64 bits are read as doubles; doubles too small to represent read as zero.
  bool read_number(Number& number) {
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

  // At least one digit, for a fraction or an exponent.
  bool read_digits() {
    if (pos_ == text_.size()) return syntax_error("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return syntax_error("invalid number");
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    return true;
  }

  // Whether the magnitude of a well-formed number with a nonzero digit is at
  // least one, so that out of range means too large rather than too small.
  static bool at_least_one(string_view text) {
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

  // ---- Containers

  // The bracket at pos_.
  bool open(char bracket) {
    if (open_.size() == kMaxDepth) return syntax_error("recursion limit exceeded");
    open_ += bracket;
    ++pos_;
    return true;
  }

  Member close_innermost() {
    ++pos_;
    open_.pop_back();
    return Member::Closed;
  }

  Member eof_in_container(char closing) {
    syntax_error(closing == ']' ? "EOF while parsing a list" : "EOF while parsing an object");
    return Member::Failed;
  }

  // Just after the opening bracket.
  Member first_member(char closing) {
    const int next = peek();
    if (next == closing) return close_innermost();
    if (next == kEnd) return eof_in_container(closing);
    return Member::More;
  }

  // Just after a member.
  Member next_member(char closing) {
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

  bool read_key(std::string* key) {
    const int next = peek();
    if (next == '"') {
      if (key) key->clear();
      return read_string(key);
    }
    if (next == kEnd) return syntax_error("EOF while parsing an object");
    return syntax_error("key must be a string");
  }

  bool read_colon() {
    const int next = peek();
    if (next == ':') {
      ++pos_;
      return true;
    }
    if (next == kEnd) return syntax_error("EOF while parsing an object");
    return syntax_error("expected `:`");
  }

  // ---- Scanner

  // Checks well-formed JSON from `point` until a value is complete with
  // `floor` brackets open.
  bool scan(Point point, std::size_t floor) {
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

  bool skip_value() { return scan(Point::Value, open_.size()); }

  // One scalar, or the opening of a container; `point` says what follows.
  bool scan_value(Point& point) {
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

  // ---- Typed reading

  // The value at pos_ is not what `expected` names: reads it to describe it.
  bool unexpected(string_view expected) {
    std::string found;
    Number number;
    switch (const int next = peek()) {
      case '"': {
        std::string text;
        if (!read_string(&text)) return false;
        found = "string ";
        append_quoted(found, text);
        break;
      }
      case 't':
        if (!read_literal("true")) return false;
        found = "boolean `true`";
        break;
      case 'f':
        if (!read_literal("false")) return false;
        found = "boolean `false`";
        break;
      case 'n':
        if (!read_literal("null")) return false;
        found = "null";
        break;
      case '[':
      case '{':
        return shape_error(std::string("invalid type: ") + (next == '[' ? "sequence" : "map") +
                               ", expected " + std::string(expected),
                           pos_, Point::Value);
      case kEnd: return syntax_error("EOF while parsing a value");
      default:
        if (next != '-' && !is_digit(next)) return syntax_error("expected value");
        if (!read_number(number)) return false;
        found = describe(number);
    }
    return shape_error_after_token("invalid type: " + found + ", expected " +
                                   std::string(expected));
  }

  template <IsRecord T>
  bool read(T& record) {
    const int next = peek();
    if (next == '{') return read_fields(record);
    if (next == '[') return read_elements(record);
    return unexpected(struct_name<T>());
  }

  // A record as an object; keys in any order, unknown ones skipped.
  template <IsRecord T>
  bool read_fields(T& record) {
    if (!open('{')) return false;
    std::uint32_t seen = 0;
    std::string key;
    Member member = first_member('}');
    while (member == Member::More) {
      if (!read_key(&key)) return false;
      int field = -1;
      int index = 0;
      Record<T>::fields(record, [&](string_view name, auto&) {
        if (name == key) field = index;
        ++index;
      });
      if (field >= 0 && (seen >> field & 1)) {
        return shape_error("duplicate field `" + key + "`", pos_ - 1, Point::Colon);
      }
      if (!read_colon()) return false;
      if (field < 0) {
        if (!skip_value()) return false;
      } else {
        seen |= std::uint32_t{1} << field;
        if (!read_field(record, field)) return false;
      }
      member = next_member('}');
    }
    if (member == Member::Failed) return false;
    return check_missing_fields(record, seen);
  }

  template <IsRecord T>
  bool read_field(T& record, int field) {
    bool ok = true;
    int index = 0;
    Record<T>::fields(record, [&](string_view, auto& member) {
      if (index++ == field) ok = read(member);
    });
    return ok;
  }

  // Just after the closing brace; optional fields may be absent.
  template <IsRecord T>
  bool check_missing_fields(T& record, std::uint32_t seen) {
    std::optional<string_view> missing;
    int index = 0;
    Record<T>::fields(record, [&](string_view name, auto& member) {
      const bool present = seen >> index++ & 1;
      if (!missing && !present && !kIsOptional<std::remove_cvref_t<decltype(member)>>) {
        missing = name;
      }
    });
    if (!missing) return true;
    return shape_error_after_token("missing field `" + std::string(*missing) + "`");
  }

  // A record as an array of its fields in order, optional ones included.
  template <IsRecord T>
  bool read_elements(T& record) {
    if (!open('[')) return false;
    const std::size_t expected = field_count<T>();
    std::size_t found = 0;
    bool ok = true;
    Member member = first_member(']');
    Record<T>::fields(record, [&](string_view, auto& field) {
      if (!ok || member != Member::More) return;
      ok = read(field);
      if (ok && ++found < expected) member = next_member(']');
    });
    if (!ok || member == Member::Failed) return false;
    if (member == Member::Closed) {
      return shape_error_after_token("invalid length " + std::to_string(found) + ", expected " +
                                     struct_name<T>() + " with " + std::to_string(expected) +
                                     " elements");
    }
    return close_elements();
  }

  // After the last field of a record given as an array.
  bool close_elements() {
    const int next = peek();
    if (next == ']') {
      close_innermost();
      return true;
    }
    if (next == kEnd) return syntax_error("EOF while parsing a list");
    if (next != ',') return syntax_error("expected `,` or `]`");
    ++pos_;
    const int extra = peek();
    if (extra == ']') return syntax_error("trailing comma");
    if (extra == kEnd) return syntax_error("EOF while parsing a value");
    return shape_error("trailing characters", pos_, Point::Value);
  }

  template <class T>
  bool read(std::vector<T>& list) {
    if (peek() != '[') return unexpected("a sequence");
    if (!open('[')) return false;
    Member member = first_member(']');
    while (member == Member::More) {
      list.emplace_back();
      if (!read(list.back())) return false;
      member = next_member(']');
    }
    return member == Member::Closed;
  }

  template <class T>
  bool read(std::optional<T>& maybe) {
    if (peek() == 'n') {
      maybe.reset();
      return read_literal("null");
    }
    return read(maybe.emplace());
  }

  bool read(std::string& text) {
    if (peek() != '"') return unexpected("a string");
    text.clear();
    return read_string(&text);
  }

  bool read(std::int64_t& integer) {
    const int next = peek();
    if (next != '-' && !is_digit(next)) return unexpected("i64");
    Number number;
    if (!read_number(number)) return false;
    if (!number.is_integer) {
      return shape_error_after_token("invalid type: " + describe(number) + ", expected i64");
    }
    if (!number.negative) {
      if (number.magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return shape_error_after_token("invalid value: " + describe(number) + ", expected i64");
      }
      integer = static_cast<std::int64_t>(number.magnitude);
    } else {
      // Two's complement negation; the magnitude is at most 2^63.
      integer = static_cast<std::int64_t>(~number.magnitude + 1);
    }
    return true;
  }

  bool read_float(double& real) {
    const int next = peek();
    if (next != '-' && !is_digit(next)) return unexpected("f64");
    Number number;
    if (!read_number(number)) return false;
    real = to_double(number);
    return true;
  }

  bool read_bool(bool& flag) {
    const int next = peek();
    if (next == 't' || next == 'f') {
      flag = next == 't';
      return read_literal(flag ? "true" : "false");
    }
    return unexpected("a boolean");
  }

  bool read_unit() {
    if (peek() == 'n') return read_literal("null");
    return unexpected("unit");
  }

  template <IsVariantEnum E>
  bool read(E& variant) {
    constexpr auto& names = Variants<E>::kNames;
    const int next = peek();
    int index = -1;
    if (next == '"') {
      std::string name;
      if (!read_string(&name)) return false;
      index = variant_index(names, name);
      if (index < 0) return shape_error_after_token(unknown_variant(name, names));
    } else if (next == '{') {
      if (!open_variant(names, index) || !read_unit() || !close_variant()) return false;
    } else {
      return not_a_variant();
    }
    variant = static_cast<E>(index);
    return true;
  }

  bool read(Value& value) {
    const int next = peek();
    if (next == '"') {
      std::string name;
      if (!read_string(&name)) return false;
      const int index = variant_index(kValueNames, name);
      if (index < 0) return shape_error_after_token(unknown_variant(name, kValueNames));
      if (static_cast<ValueKind>(index) != ValueKind::Null) {
        return shape_error_after_token("invalid type: unit variant, expected newtype variant");
      }
      value = Null{};
      return true;
    }
    if (next != '{') return not_a_variant();
    int index = -1;
    return open_variant(kValueNames, index) && read_payload(static_cast<ValueKind>(index), value) &&
           close_variant();
  }

  bool read_payload(ValueKind kind, Value& value) {
    switch (kind) {
      case ValueKind::String: return read(value.emplace<std::string>());
      case ValueKind::Int: return read(value.emplace<std::int64_t>());
      case ValueKind::Float: return read_float(value.emplace<double>());
      case ValueKind::Bool: return read_bool(value.emplace<bool>());
      case ValueKind::Null: value = Null{}; return read_unit();
    }
    return false;
  }

  bool not_a_variant() {
    if (peek() == kEnd) return syntax_error("EOF while parsing a value");
    return shape_error("expected value", pos_, Point::Value);
  }

  // `{"Name":` of a variant in object form, leaving the payload next.
  template <std::size_t N>
  bool open_variant(const std::array<string_view, N>& names, int& index) {
    if (!open('{')) return false;
    const Member member = first_member('}');
    if (member == Member::Failed) return false;
    if (member == Member::Closed) return shape_error_after_token("expected value");
    std::string name;
    if (!read_key(&name)) return false;
    index = variant_index(names, name);
    if (index < 0) return shape_error(unknown_variant(name, names), pos_ - 1, Point::Colon);
    return read_colon();
  }

  // After the payload: a variant object has exactly one key.
  bool close_variant() {
    const int next = peek();
    if (next == '}') {
      close_innermost();
      return true;
    }
    if (next == kEnd) return syntax_error("EOF while parsing an object");
    return shape_error("expected value", pos_, Point::Next);
  }

  string_view text_;
  std::size_t pos_ = 0;
  std::string open_;  // the open brackets, innermost last
  std::optional<Failure> failure_;
};

}  // namespace

std::string pattern_to_json(const Pattern& pattern) {
  Writer writer(false);
  writer.write(pattern);
  return std::move(writer).take();
}

std::string pattern_to_json_pretty(const Pattern& pattern) {
  Writer writer(true);
  writer.write(pattern);
  return std::move(writer).take();
}

Result<Pattern> pattern_from_json(std::string_view text) { return Reader(text).read_document(); }

}  // namespace kestrel
