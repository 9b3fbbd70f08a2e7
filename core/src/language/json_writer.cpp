// The JSON writer: walks the record schema and writes each record as an
// object with its keys in field order, in the compact layout (no whitespace
// between tokens) or the indented one (two spaces per level, one member per
// line). Unit variants are written as their names, values as single-key
// objects naming their kind.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/json.hpp"
#include "language/json_schema.hpp"
#include "language/json_writer.hpp"

namespace kestrel {

namespace json {

using std::string_view;

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

namespace {

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

}  // namespace

}  // namespace json

std::string pattern_to_json(const Pattern& pattern) {
  json::Writer writer(false);
  writer.write(pattern);
  return std::move(writer).take();
}

std::string pattern_to_json_pretty(const Pattern& pattern) {
  json::Writer writer(true);
  writer.write(pattern);
  return std::move(writer).take();
}

}  // namespace kestrel
