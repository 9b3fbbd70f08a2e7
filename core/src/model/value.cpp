// Value comparison and name-to-value maps.

#include "kestrel/value.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>

#include "model/ordered.hpp"

namespace kestrel {

namespace {

bool key_less(const ValueMap::Entry& entry, std::string_view key) noexcept {
  return std::string_view(entry.first) < key;
}

// Int converts to the nearest double (ties to even), as the C++ conversion does.
std::optional<double> as_number(const Value& value) noexcept {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
  if (const auto* f = std::get_if<double>(&value)) return *f;
  return std::nullopt;
}

}  // namespace

const Value* ValueMap::find(std::string_view key) const noexcept {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key, key_less);
  if (it == entries_.end() || it->first != key) return nullptr;
  return &it->second;
}

void ValueMap::set(std::string key, Value value) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), std::string_view(key), key_less);
  if (it != entries_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    entries_.emplace(it, std::move(key), std::move(value));
  }
}

void ValueMap::merge_sorted(std::vector<Entry> entries) {
  std::vector<Entry> merged;
  merged.reserve(entries_.size() + entries.size());
  std::merge(std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()),
             std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()),
             std::back_inserter(merged),
             [](const Entry& x, const Entry& y) { return x.first < y.first; });
  entries_ = std::move(merged);
}

std::string_view operator_symbol(ComparisonOperator op) noexcept {
  switch (op) {
    case ComparisonOperator::Eq: return "==";
    case ComparisonOperator::NotEq: return "!=";
    case ComparisonOperator::Gt: return ">";
    case ComparisonOperator::Gte: return ">=";
    case ComparisonOperator::Lt: return "<";
    case ComparisonOperator::Lte: return "<=";
  }
  return "?";
}

bool values_equal(const Value& left, const Value& right) noexcept {
  if (left.index() == right.index()) return left == right;
  const auto l = as_number(left);
  const auto r = as_number(right);
  return l && r && *l == *r;
}

bool matches(ComparisonOperator op, const Value& left, const Value& right) noexcept {
  switch (op) {
    case ComparisonOperator::Eq: return values_equal(left, right);
    case ComparisonOperator::NotEq: return !values_equal(left, right);
    default: break;
  }
  const auto* li = std::get_if<std::int64_t>(&left);
  const auto* ri = std::get_if<std::int64_t>(&right);
  if (li && ri) return ordered(op, *li, *ri);
  const auto l = as_number(left);
  const auto r = as_number(right);
  // Comparisons with NaN are false, as IEEE has them.
  return l && r && ordered(op, *l, *r);
}

}  // namespace kestrel
