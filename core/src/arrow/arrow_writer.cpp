// The result tables' batch builder. nanoarrow does the layouts; this file
// only decides types and turns nanoarrow's error codes into one failure.
#include "arrow/arrow_writer.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "language/json_writer.hpp"

namespace kestrel::arrow {

namespace {

struct BuildFailure {
  int code;
};

class OwnedSchema {
 public:
  OwnedSchema() { ArrowSchemaInit(&schema_); }
  OwnedSchema(const OwnedSchema&) = delete;
  OwnedSchema& operator=(const OwnedSchema&) = delete;
  ~OwnedSchema() {
    if (schema_.release != nullptr) ArrowSchemaRelease(&schema_);
  }
  ArrowSchema& get() noexcept { return schema_; }

 private:
  ArrowSchema schema_{};
};

class OwnedArray {
 public:
  OwnedArray() { array_.release = nullptr; }
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  ~OwnedArray() {
    if (array_.release != nullptr) ArrowArrayRelease(&array_);
  }
  ArrowArray& get() noexcept { return array_; }

 private:
  ArrowArray array_;
};

ArrowTimeUnit unit_of(const std::string& unit) {
  if (unit == "s") return NANOARROW_TIME_UNIT_SECOND;
  if (unit == "ms") return NANOARROW_TIME_UNIT_MILLI;
  if (unit == "us") return NANOARROW_TIME_UNIT_MICRO;
  if (unit == "ns") return NANOARROW_TIME_UNIT_NANO;
  throw InternalError("unknown time unit " + unit);
}

bool exact_as_double(std::int64_t value) {
  const double number = static_cast<double>(value);
  // 2^63 itself is out of range for int64, so it cannot round-trip.
  return number < 9223372036854775808.0 && static_cast<std::int64_t>(number) == value;
}

// Whether a float of `values` equals one of the integers: as float64 the two
// would read as one value.
bool collide(std::span<const Value* const> values, const std::set<double>& ints_as_doubles) {
  for (const Value* value : values) {
    const auto* number = value == nullptr ? nullptr : std::get_if<double>(value);
    // NaN is ordered before nothing, so a set would find it "equal" to anything.
    if (number != nullptr && !std::isnan(*number) && ints_as_doubles.contains(*number)) return true;
  }
  return false;
}

// A value of a column of mixed kinds as JSON text, so that 1, 1.0, "1" and
// true stay four values; NaN and the infinities as Python's json.dumps
// writes them.
std::string value_json(const Value& value) {
  std::string text;
  switch (kind_of(value)) {
    case ValueKind::String: json::append_quoted(text, std::get<std::string>(value)); break;
    case ValueKind::Int: json::append_integer(text, std::get<std::int64_t>(value)); break;
    case ValueKind::Bool: text = std::get<bool>(value) ? "true" : "false"; break;
    case ValueKind::Null: text = "null"; break;
    case ValueKind::Float: {
      const double number = std::get<double>(value);
      if (std::isnan(number)) return "NaN";
      if (std::isinf(number)) return number < 0 ? "-Infinity" : "Infinity";
      json::append_float(text, number);
      break;
    }
  }
  return text;
}

}  // namespace

void check(int code) {
  if (code != NANOARROW_OK) throw BuildFailure{code};
}

Result<bool> write_stream(const std::vector<Column>& columns, std::size_t rows,
                          ArrowArrayStream& out, Interrupt interrupt) {
  try {
    OwnedSchema schema;
    check(ArrowSchemaSetTypeStruct(&schema.get(), static_cast<std::int64_t>(columns.size())));
    for (std::size_t c = 0; c < columns.size(); ++c) {
      ArrowSchema& child = *schema.get().children[c];
      check(ArrowSchemaSetName(&child, columns[c].name.c_str()));
      columns[c].set_type(child);
    }
    OwnedArray array;
    ArrowError error;
    check(ArrowArrayInitFromSchema(&array.get(), &schema.get(), &error));
    check(ArrowArrayStartAppending(&array.get()));
    for (std::size_t c = 0; c < columns.size(); ++c) {
      columns[c].fill(*array.get().children[c], interrupt);
    }
    array.get().length = static_cast<std::int64_t>(rows);
    check(ArrowArrayFinishBuildingDefault(&array.get(), &error));
    check(ArrowBasicArrayStreamInit(&out, &schema.get(), rows == 0 ? 0 : 1));
    if (rows > 0) ArrowBasicArrayStreamSetArray(&out, 0, &array.get());
    return true;
  } catch (const BuildFailure& failure) {
    return Error{std::string("could not build the results table: ") + std::strerror(failure.code)};
  }
}

void set_format(ArrowSchema& schema, const char* format) {
  check(ArrowSchemaSetFormat(&schema, format));
}

void set_list_of(ArrowSchema& schema, const char* item_format) {
  check(ArrowSchemaSetType(&schema, NANOARROW_TYPE_LIST));
  set_format(*schema.children[0], item_format);
}

void set_time(ArrowSchema& schema, const TimeColumn& time) {
  if (time.kind == TimeColumn::Kind::Integer) return set_format(schema, "l");
  check(ArrowSchemaSetTypeDateTime(&schema, NANOARROW_TYPE_TIMESTAMP, unit_of(time.unit),
                                   time.timezone.empty() ? nullptr : time.timezone.c_str()));
}

void set_duration(ArrowSchema& schema, const TimeColumn& time) {
  if (time.kind == TimeColumn::Kind::Integer) return set_format(schema, "l");
  check(ArrowSchemaSetTypeDateTime(&schema, NANOARROW_TYPE_DURATION, unit_of(time.unit), nullptr));
}

void append_int(ArrowArray& array, std::int64_t value) {
  check(ArrowArrayAppendInt(&array, value));
}

void append_double(ArrowArray& array, double value) {
  check(ArrowArrayAppendDouble(&array, value));
}

void append_text(ArrowArray& array, std::string_view text) {
  check(ArrowArrayAppendString(
      &array, ArrowStringView{text.data(), static_cast<std::int64_t>(text.size())}));
}

void append_null(ArrowArray& array) { check(ArrowArrayAppendNull(&array, 1)); }

void finish_list_element(ArrowArray& list) { check(ArrowArrayFinishElement(&list)); }

std::int64_t time_divisor(const TimeColumn& time) {
  if (time.kind == TimeColumn::Kind::Integer) return 1;
  switch (unit_of(time.unit)) {
    case NANOARROW_TIME_UNIT_SECOND: return 1'000'000'000;
    case NANOARROW_TIME_UNIT_MILLI: return 1'000'000;
    case NANOARROW_TIME_UNIT_MICRO: return 1'000;
    case NANOARROW_TIME_UNIT_NANO: break;
  }
  return 1;
}

ValueColumn::ValueColumn(std::span<const Value* const> values) {
  std::set<ValueKind> kinds;
  bool inexact = false;
  std::set<double> ints_as_doubles;
  for (const Value* value : values) {
    if (value == nullptr || kind_of(*value) == ValueKind::Null) continue;
    kinds.insert(kind_of(*value));
    if (const auto* integer = std::get_if<std::int64_t>(value)) {
      inexact = inexact || !exact_as_double(*integer);
      ints_as_doubles.insert(static_cast<double>(*integer));
    }
  }
  const auto only = [&](ValueKind kind) { return kinds == std::set<ValueKind>{kind}; };
  if (kinds.empty() || only(ValueKind::String)) {
    kind_ = Kind::Text;
  } else if (only(ValueKind::Bool)) {
    kind_ = Kind::Bool;
  } else if (only(ValueKind::Int)) {
    kind_ = Kind::Int;
  } else if (only(ValueKind::Float) ||
             (kinds == std::set<ValueKind>{ValueKind::Int, ValueKind::Float} && !inexact &&
              !collide(values, ints_as_doubles))) {
    kind_ = Kind::Float;
  } else {
    kind_ = Kind::Json;
  }
}

const char* ValueColumn::format() const noexcept {
  switch (kind_) {
    case Kind::Int: return "l";
    case Kind::Float: return "g";
    case Kind::Bool: return "b";
    case Kind::Text:
    case Kind::Json: break;
  }
  return "u";
}

void ValueColumn::append(ArrowArray& array, const Value* value) const {
  if (value == nullptr || kind_of(*value) == ValueKind::Null) return append_null(array);
  switch (kind_) {
    case Kind::Int: return append_int(array, std::get<std::int64_t>(*value));
    case Kind::Float:
      if (const auto* integer = std::get_if<std::int64_t>(value)) {
        return append_double(array, static_cast<double>(*integer));
      }
      return append_double(array, std::get<double>(*value));
    case Kind::Bool: return append_int(array, std::get<bool>(*value) ? 1 : 0);
    case Kind::Text: return append_text(array, std::get<std::string>(*value));
    case Kind::Json: return append_text(array, value_json(*value));
  }
}

void append_cell(ArrowArray& array, const Cell& cell, const TextPool& texts) {
  switch (cell.kind) {
    case CellKind::Missing:
    case CellKind::Null: return append_null(array);
    case CellKind::String: return append_text(array, texts.text(cell.text));
    case CellKind::Int: return append_int(array, cell.integer);
    case CellKind::Float: return append_double(array, cell.number);
    case CellKind::Bool: return append_int(array, cell.flag ? 1 : 0);
  }
}

}  // namespace kestrel::arrow
