// Attribute values, their comparison, and name-to-value maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrel {

struct Null {
  friend bool operator==(Null, Null) noexcept { return true; }
};

// Alternatives in this order: String, Int, Float, Bool, Null.
// The variant's own == is "identical" (same alternative, equal contents, IEEE
// floats); the engine's looser equality is values_equal.
using Value = std::variant<std::string, std::int64_t, double, bool, Null>;

enum class ValueKind : std::uint8_t { String, Int, Float, Bool, Null };

inline ValueKind kind_of(const Value& value) noexcept {
  return static_cast<ValueKind>(value.index());
}

// A name-to-Value map with unique keys, kept in ascending byte order.
class ValueMap {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  ValueMap() = default;

  // Null when the key is absent. Never allocates.
  const Value* find(std::string_view key) const noexcept;

  // Inserts, or replaces the value of an existing key in place.
  void set(std::string key, Value value);

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  void reserve(std::size_t n) { entries_.reserve(n); }

  // Adds entries sorted by key, none of them present yet, in one merge.
  void merge_sorted(std::vector<Entry> entries);

  friend bool operator==(const ValueMap&, const ValueMap&) = default;

 private:
  std::vector<Entry> entries_;
};

using Attributes = ValueMap;
using Bindings = ValueMap;

enum class ComparisonOperator : std::uint8_t { Eq, NotEq, Gt, Gte, Lt, Lte };

// "==", "!=", ">", ">=", "<", "<=".
std::string_view operator_symbol(ComparisonOperator op) noexcept;

// Numbers compare across Int and Float; NaN equals nothing.
bool values_equal(const Value& left, const Value& right) noexcept;

// `left` is the event's value, `right` the literal or bound value.
bool matches(ComparisonOperator op, const Value& left, const Value& right) noexcept;

}  // namespace kestrel
