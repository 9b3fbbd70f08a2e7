// The JSON reader: typed reading of the pattern records from the lexer's
// tokens, recursing only along the record types, whose nesting is fixed. A
// record is read from an object (keys in any order, unknown ones skipped) or
// from an array of its fields in order.
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kestrel/json.hpp"
#include "language/json_lexer.hpp"
#include "language/json_schema.hpp"
#include "language/json_writer.hpp"

namespace kestrel {

namespace json {

namespace {

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

class Reader : Lexer {
 public:
  using Lexer::Lexer;

  Result<Pattern> read_document() {
    Pattern pattern;
    if (!(read(pattern) && finish())) recover();
    if (auto message = failure_message()) return Error{std::move(*message)};
    if (const auto fault = find_structural_fault(pattern)) return Error{structural_message(*fault)};
    return pattern;
  }

 private:
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
  bool open_variant(std::span<const string_view> names, int& index) {
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
};

}  // namespace

}  // namespace json

Result<Pattern> pattern_from_json(std::string_view text) {
  return json::Reader(text).read_document();
}

}  // namespace kestrel
