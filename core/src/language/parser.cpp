// Pattern text parser.
//
// The language is not tokenised: the text is cut apart at a few fixed byte
// sequences (arrows at bracket depth 0, `]->`, commas, ` as `, operators) and
// every piece is trimmed of Unicode White_Space. Each cut searches forward
// from where the previous one ended, so parsing is linear in the text, and
// nothing recurses: bracket nesting is a counter, not a call depth.
//
// Any bytes are accepted. Every separator is ASCII and ASCII bytes never occur
// inside a multi-byte UTF-8 sequence, so cutting bytes is cutting characters;
// trimming removes only exact encodings of white-space characters.

#include "kestrel/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "kestrel/utf8.hpp"
#include "language/parser_pieces.hpp"

namespace kestrel {

namespace {

using std::string_view;
constexpr std::size_t npos = string_view::npos;

// Unicode White_Space.
bool is_white_space(char32_t c) noexcept {
  return (c >= '\t' && c <= '\r') || c == ' ' || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The length of the White_Space character encoded at the start of `text`, or
// 0 when there is none.
std::size_t leading_white_space_length(string_view text) noexcept {
  const Utf8Char decoded = decode_utf8(text);
  return decoded.status == Utf8Status::Valid && is_white_space(decoded.code_point) ? decoded.end
                                                                                   : 0;
}

// UTF-8 lead bytes and continuation bytes are distinct, so at most one
// length can end the text with a complete encoding.
std::size_t trailing_white_space_length(string_view text) noexcept {
  for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
    if (leading_white_space_length(text.substr(text.size() - length)) == length) return length;
  }
  return 0;
}

string_view trim_white_space_start(string_view text) noexcept {
  while (const std::size_t length = leading_white_space_length(text)) text.remove_prefix(length);
  return text;
}

string_view trim_white_space_end(string_view text) noexcept {
  while (const std::size_t length = trailing_white_space_length(text)) text.remove_suffix(length);
  return text;
}

Error quoting_error(string_view message, string_view text) {
  std::string full;
  full.reserve(message.size() + text.size() + 3);
  full.append(message).append(" `").append(text).append("`");
  return Error{std::move(full)};
}

// ---- Literals ----

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::size_t count_digits(string_view text, std::size_t from) noexcept {
  std::size_t end = from;
  while (end < text.size() && is_digit(text[end])) ++end;
  return end - from;
}

bool starts_with_sign(string_view text) noexcept {
  return text.starts_with('+') || text.starts_with('-');
}

// from_chars takes a leading `-` but not a leading `+`.
string_view without_plus(string_view text) noexcept {
  return text.starts_with('+') ? text.substr(1) : text;
}

// An optional sign and one or more ASCII digits, within the int64 range.
std::optional<std::int64_t> read_integer(string_view text) {
  const std::size_t sign = starts_with_sign(text) ? 1 : 0;
  if (text.size() == sign || count_digits(text, sign) != text.size() - sign) return std::nullopt;
  text = without_plus(text);
  std::int64_t value = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc{}) {
    return std::nullopt;  // out of range
  }
  return value;
}

// A float literal cut into its parts, once its grammar has been checked.
struct DecimalFloat {
  bool negative = false;
  string_view integer_digits;
  string_view fraction_digits;
  string_view exponent;  // optional sign and digits; empty when absent
};

// Optional sign, digits with a point (missing on one side at most), optional
// exponent. Checked here because from_chars also takes hex, `inf` and `nan`.
std::optional<DecimalFloat> scan_decimal_float(string_view text) {
  DecimalFloat number;
  std::size_t at = 0;
  if (starts_with_sign(text)) {
    number.negative = text[0] == '-';
    at = 1;
  }
  number.integer_digits = text.substr(at, count_digits(text, at));
  at += number.integer_digits.size();
  if (at == text.size() || text[at] != '.') return std::nullopt;
  ++at;
  number.fraction_digits = text.substr(at, count_digits(text, at));
  at += number.fraction_digits.size();
  if (number.integer_digits.empty() && number.fraction_digits.empty()) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    const std::size_t start = ++at;
    if (starts_with_sign(text.substr(at))) ++at;
    const std::size_t digits = count_digits(text, at);
    if (digits == 0) return std::nullopt;
    at += digits;
    number.exponent = text.substr(start, at - start);
  }
  if (at != text.size()) return std::nullopt;
  return number;
}

// Whether the number's magnitude is at least one. It only has to tell
// overflow from underflow, so the exponent saturates far outside the double
// range rather than overflowing.
bool magnitude_at_least_one(const DecimalFloat& number) noexcept {
  constexpr std::int64_t kSaturation = 1'000'000'000'000;
  string_view digits = number.exponent;
  const bool negative_exponent = digits.starts_with('-');
  if (starts_with_sign(digits)) digits.remove_prefix(1);
  std::int64_t exponent = 0;
  for (const char digit : digits) {
    exponent = std::min(exponent * 10 + (digit - '0'), kSaturation);
  }
  if (negative_exponent) exponent = -exponent;
  // The power of ten of the leading nonzero digit, before the exponent.
  std::int64_t leading_power = 0;
  if (const std::size_t first = number.integer_digits.find_first_not_of('0'); first != npos) {
    leading_power = static_cast<std::int64_t>(number.integer_digits.size() - first - 1);
  } else if (const std::size_t first_fraction = number.fraction_digits.find_first_not_of('0');
             first_fraction != npos) {
    leading_power = -static_cast<std::int64_t>(first_fraction + 1);
  } else {
    return false;  // zero
  }
  return leading_power + exponent >= 0;
}

double float_value(string_view text, const DecimalFloat& number) {
  text = without_plus(text);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves `value` alone; the nearest double is infinity or zero.
    const double magnitude =
        magnitude_at_least_one(number) ? std::numeric_limits<double>::infinity() : 0.0;
    return number.negative ? -magnitude : magnitude;
  }
  if (error != std::errc{} || end != text.data() + text.size()) {
    throw InternalError("from_chars rejected a checked float literal");
  }
  return value;
}

// `text` is trimmed, not empty and does not begin with `$`. The literal is
// assigned to `value` in place: returned as a Result<Value>, the Value is moved
// through temporaries that gcc 12 with sanitizers takes for uninitialized
// (-Wmaybe-uninitialized).
std::optional<Error> read_literal(string_view text, Value& value) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    value = std::string(text.substr(1, text.size() - 2));
  } else if (text == "true" || text == "false") {
    value = text == "true";
  } else if (text == "null") {
    value = Null{};
  } else if (text.find('.') != npos) {
    const auto number = scan_decimal_float(text);
    if (!number) return quoting_error("invalid float literal", text);
    value = float_value(text, *number);
  } else if (const auto integer = read_integer(text)) {
    value = *integer;
  } else {
    return quoting_error("invalid literal", text);
  }
  return std::nullopt;
}

// ---- Clauses and constraints ----

// Calls `read` on each comma-separated piece of `list`, trimmed, skipping
// empty pieces, until one returns an error.
template <class Read>
std::optional<Error> for_each_piece(string_view list, Read read) {
  for (;;) {
    const std::size_t comma = list.find(',');
    if (const string_view piece = trim_white_space(list.substr(0, comma)); !piece.empty()) {
      if (auto error = read(piece)) return error;
    }
    if (comma == npos) return std::nullopt;
    list.remove_prefix(comma + 1);
  }
}

// Two-character operators first, so that `>=` is not read as `>`.
constexpr std::pair<string_view, ComparisonOperator> kOperators[] = {
    {"==", ComparisonOperator::Eq},  {"!=", ComparisonOperator::NotEq},
    {">=", ComparisonOperator::Gte}, {"<=", ComparisonOperator::Lte},
    {">", ComparisonOperator::Gt},   {"<", ComparisonOperator::Lt},
};

constexpr string_view kAs = " as ";

std::optional<Error> read_capture(string_view clause, std::size_t as, Atom& atom) {
  const string_view target = trim_white_space(clause.substr(as + kAs.size()));
  if (!target.starts_with('$')) return Error{"capture binding must start with `$`"};
  const string_view name = target.substr(1);  // kept as written, leading spaces too
  if (name.empty()) return Error{"capture binding name is empty"};
  atom.captures.push_back(
      Capture{std::string(name), std::string(trim_white_space(clause.substr(0, as)))});
  return std::nullopt;
}

std::optional<Error> read_comparison(string_view clause, Atom& atom) {
  for (const auto& [symbol, op] : kOperators) {
    const std::size_t at = clause.find(symbol);
    if (at == npos) continue;
    const string_view attribute = trim_white_space(clause.substr(0, at));
    const string_view value = trim_white_space(clause.substr(at + symbol.size()));
    if (attribute.empty() || value.empty()) {
      return Error{"comparison must have an attribute and value"};
    }
    if (value.starts_with('$')) {
      atom.reference_predicates.push_back(ReferencePredicate{
          std::string(attribute), op, std::string(trim_white_space(value.substr(1)))});
      return std::nullopt;
    }
    Predicate predicate{std::string(attribute), op, Null{}};
    if (auto error = read_literal(value, predicate.value)) return error;
    atom.predicates.push_back(std::move(predicate));
    return std::nullopt;
  }
  return quoting_error("unsupported atom predicate", clause);
}

std::optional<Error> read_clause(string_view clause, Atom& atom) {
  if (const std::size_t as = clause.find(kAs); as != npos) return read_capture(clause, as, atom);
  return read_comparison(clause, atom);
}

// A piece shorter than two characters can begin with neither `<=` nor `no `,
// so it falls through to the last message as well.
std::optional<Error> read_constraint(string_view constraint, Transition& transition) {
  if (constraint.starts_with("<=")) {
    const string_view number = trim_white_space(constraint.substr(2));
    const auto window = read_integer(number);
    if (!window) return quoting_error("invalid timestamp literal", number);
    transition.max_elapsed = *window;
    return std::nullopt;
  }
  if (constraint.starts_with("no ")) {
    auto atom = parse_atom(constraint.substr(3));
    if (!atom) return Error{atom.error()};
    transition.absence.push_back(std::move(atom).value());
    return std::nullopt;
  }
  return quoting_error("unsupported transition constraint", constraint);
}

// Reads the arrow that `rest` begins with (`->`, or `-[` up to the first
// `]->`) and leaves `rest` just after it.
Result<Transition> read_transition(string_view& rest) {
  Transition transition;
  if (rest.starts_with("->")) {
    rest.remove_prefix(2);
    return transition;
  }
  const string_view body = rest.substr(2);
  const std::size_t close = body.find("]->");
  if (close == npos) return Error{"transition constraint is missing closing `]->`"};
  rest = body.substr(close + 3);
  const auto error = for_each_piece(body.substr(0, close), [&](string_view constraint) {
    return read_constraint(constraint, transition);
  });
  if (error) return *error;
  return transition;
}

// ---- Splitting the pattern ----

// Where the first arrow at bracket depth 0 begins, or npos. Brackets count
// everywhere, also inside quoted strings, and the depth may go negative.
std::size_t find_top_level_arrow(string_view text) noexcept {
  std::ptrdiff_t depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '[': ++depth; break;
      case ']': --depth; break;
      case '-':
        if (depth == 0 && i + 1 < text.size() && (text[i + 1] == '>' || text[i + 1] == '[')) {
          return i;
        }
        break;
    }
  }
  return npos;
}

// One atom's text, and the text from the arrow after it on (empty at the end).
struct AtomText {
  string_view atom;
  string_view rest;
};

AtomText split_atom(string_view text) noexcept {
  const std::size_t arrow = find_top_level_arrow(text);
  if (arrow == npos) return {trim_white_space_end(text), {}};
  return {trim_white_space_end(text.substr(0, arrow)), text.substr(arrow)};
}

}  // namespace

string_view trim_white_space(string_view text) {
  return trim_white_space_end(trim_white_space_start(text));
}

string_view take_until_transition(string_view text) { return split_atom(text).atom; }

Result<Atom> parse_atom(string_view text) {
  text = trim_white_space(text);
  if (text.empty()) return Error{"atom is empty"};
  const std::size_t open = text.find('[');
  if (open == npos) return Atom(std::string(text));
  const std::size_t close = text.rfind(']');
  if (close == npos) return Error{"atom predicate list is missing closing `]`"};
  if (close != text.size() - 1) return Error{"unexpected text after atom predicate list"};
  const string_view event_type = trim_white_space(text.substr(0, open));
  if (event_type.empty()) return Error{"atom event type is empty"};
  Atom atom(std::string{event_type});
  const auto error = for_each_piece(text.substr(open + 1, close - open - 1),
                                    [&](string_view clause) { return read_clause(clause, atom); });
  if (error) return *error;
  return atom;
}

Result<Pattern> parse_pattern(string_view text) {
  text = trim_white_space(text);
  if (text.empty()) return Error{"pattern is empty"};
  AtomText current = split_atom(text);
  auto first = parse_atom(current.atom);
  if (!first) return Error{first.error()};
  Pattern pattern;
  pattern.steps.push_back(Step{std::move(first).value(), std::nullopt});
  while (!current.rest.empty()) {
    auto transition = read_transition(current.rest);
    if (!transition) return Error{transition.error()};
    current = split_atom(trim_white_space_start(current.rest));
    if (current.atom.empty()) return Error{"transition is missing a following atom"};
    auto atom = parse_atom(current.atom);
    if (!atom) return Error{atom.error()};
    pattern.steps.push_back(Step{std::move(atom).value(), std::move(transition).value()});
  }
  return pattern;
}

}  // namespace kestrel
