#include "kestrel/model.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

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

bool ordered(ComparisonOperator op, auto left, auto right) noexcept {
  switch (op) {
    case ComparisonOperator::Gt: return left > right;
    case ComparisonOperator::Gte: return left >= right;
    case ComparisonOperator::Lt: return left < right;
    case ComparisonOperator::Lte: return left <= right;
    default: return false;
  }
}

const Value kNull = Null{};

const Value& attribute_or_null(const Event& event, std::string_view attribute) noexcept {
  const Value* value = event.attrs.find(attribute);
  return value ? *value : kNull;
}

bool passes_comparisons(const Atom& atom, const Event& event, const Bindings& bindings) noexcept {
  if (event.typ != atom.event_type) return false;
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) return false;
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const Value* actual = event.attrs.find(reference.attribute);
    const Value* bound = bindings.find(reference.binding);
    if (!actual || !bound || !matches(reference.op, *actual, *bound)) return false;
  }
  return true;
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

Event Event::with_attr(std::string key, Value value) && {
  attrs.set(std::move(key), std::move(value));
  return std::move(*this);
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

namespace {

// Each event's partition as its rank among the distinct partitions in byte
// order, so that sorting compares integers and never touches event text.
std::vector<std::size_t> partition_ranks(std::span<const Event> events) {
  std::unordered_map<std::string_view, std::size_t> first_seen;
  std::vector<std::string_view> names;
  std::vector<std::size_t> ids(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::string_view name = events[i].partition;
    if (i > 0 && name == events[i - 1].partition) {  // runs are the common case
      ids[i] = ids[i - 1];
      continue;
    }
    const auto [entry, added] = first_seen.try_emplace(name, names.size());
    if (added) names.push_back(name);
    ids[i] = entry->second;
  }
  std::vector<std::size_t> by_name(names.size());
  std::iota(by_name.begin(), by_name.end(), std::size_t{0});
  std::sort(by_name.begin(), by_name.end(),
            [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
  std::vector<std::size_t> rank(names.size());
  for (std::size_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;
  for (std::size_t& id : ids) id = rank[id];
  return ids;
}

struct SortKey {
  std::size_t partition;
  std::int64_t ts;
  std::size_t index;  // the tie-break that makes an unstable sort stable

  friend bool operator<(const SortKey& a, const SortKey& b) {
    if (a.partition != b.partition) return a.partition < b.partition;
    if (a.ts != b.ts) return a.ts < b.ts;
    return a.index < b.index;
  }
};

}  // namespace

void Interrupt::ask() {
  countdown_ = kInterval;
  if (stop_requested_ && stop_requested_()) throw Interrupted();
}

std::vector<std::size_t> canonical_order(std::span<const Event> events) {
  const std::vector<std::size_t> ranks = partition_ranks(events);
  std::vector<SortKey> keys(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) keys[i] = {ranks[i], events[i].ts, i};
  std::sort(keys.begin(), keys.end());
  std::vector<std::size_t> order(events.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].index;
  return order;
}

Atom Atom::with_predicate(Predicate predicate) && {
  predicates.push_back(std::move(predicate));
  return std::move(*this);
}

Atom Atom::with_reference_predicate(ReferencePredicate predicate) && {
  reference_predicates.push_back(std::move(predicate));
  return std::move(*this);
}

Atom Atom::with_capture(Capture capture) && {
  captures.push_back(std::move(capture));
  return std::move(*this);
}

std::optional<Bindings> Atom::evaluate(const Event& event, const Bindings& bindings) const {
  if (!passes_comparisons(*this, event, bindings)) return std::nullopt;
  Bindings extended = bindings;
  for (const Capture& capture : captures) {
    const Value& value = attribute_or_null(event, capture.attribute);
    if (const Value* bound = extended.find(capture.name)) {
      if (!(*bound == value)) return std::nullopt;
    } else {
      extended.set(capture.name, value);
    }
  }
  return extended;
}

bool Atom::accepts(const Event& event, const Bindings& bindings) const noexcept {
  if (!passes_comparisons(*this, event, bindings)) return false;
  for (std::size_t i = 0; i < captures.size(); ++i) {
    const Value& value = attribute_or_null(event, captures[i].attribute);
    const Value* bound = bindings.find(captures[i].name);
    // Without input binding, the first earlier capture of the name bound it.
    for (std::size_t j = 0; !bound && j < i; ++j) {
      if (captures[j].name == captures[i].name) {
        bound = &attribute_or_null(event, captures[j].attribute);
      }
    }
    if (bound && !(*bound == value)) return false;
  }
  return true;
}

Transition Transition::with_absence(Atom atom) && {
  absence.push_back(std::move(atom));
  return std::move(*this);
}

std::optional<StructuralFault> find_structural_fault(const Pattern& pattern) noexcept {
  if (pattern.steps.empty()) return StructuralFault::NoSteps;
  if (pattern.steps.front().transition_from_previous) return StructuralFault::FirstStepHasTransition;
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    if (!pattern.steps[i].transition_from_previous) return StructuralFault::LaterStepLacksTransition;
  }
  return std::nullopt;
}

void check_structure(const Pattern& pattern) {
  const std::optional<StructuralFault> fault = find_structural_fault(pattern);
  if (!fault) return;
  switch (*fault) {
    case StructuralFault::NoSteps:
      throw InternalError("patterns must contain at least one step");
    case StructuralFault::FirstStepHasTransition:
      throw InternalError("the first pattern step cannot have a transition");
    case StructuralFault::LaterStepLacksTransition:
      throw InternalError("every step after the first must have a transition");
  }
}

}  // namespace kestrel
