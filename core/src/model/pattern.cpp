// Pattern construction, its structural rules, and atom evaluation.

#include "kestrel/pattern.hpp"

#include <algorithm>
#include <vector>

#include "kestrel/error.hpp"

namespace kestrel {

namespace {

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

namespace {

// A few captures are checked pairwise. Many are grouped by name first, so
// that an atom capturing a thousand names costs n log n, not n^2; grouping
// changes the order of the checks, never their outcome.
constexpr std::size_t kPairwiseCaptures = 16;

// Capture positions grouped by name, in atom order within a name.
std::vector<std::size_t> captures_by_name(const std::vector<Capture>& captures) {
  std::vector<std::size_t> order(captures.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Ties broken by position keep atom order within a name.
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int by_name = captures[a].name.compare(captures[b].name);
    return by_name != 0 ? by_name < 0 : a < b;
  });
  return order;
}

// Calls `bind(name, value)` for each name the captures bind afresh, in
// ascending name order, and returns false at the first capture whose value
// is not identical to the name's bound or first captured value.
template <class Bind>
bool check_captures(const std::vector<Capture>& captures, const Event& event,
                    const Bindings& bindings, Bind bind) {
  const std::vector<std::size_t> order = captures_by_name(captures);
  for (std::size_t at = 0; at < order.size();) {
    const Capture& first = captures[order[at]];
    const Value* bound = bindings.find(first.name);
    const Value& reference = bound ? *bound : attribute_or_null(event, first.attribute);
    std::size_t next = at;
    for (; next < order.size() && captures[order[next]].name == first.name; ++next) {
      if (!(attribute_or_null(event, captures[order[next]].attribute) == reference)) return false;
    }
    if (!bound) bind(first.name, reference);
    at = next;
  }
  return true;
}

}  // namespace

std::optional<Bindings> Atom::evaluate(const Event& event, const Bindings& bindings) const {
  if (!passes_comparisons(*this, event, bindings)) return std::nullopt;
  if (captures.size() > kPairwiseCaptures) {
    std::vector<Bindings::Entry> fresh;
    const auto bind = [&](const std::string& name, const Value& value) {
      fresh.emplace_back(name, value);
    };
    if (!check_captures(captures, event, bindings, bind)) return std::nullopt;
    Bindings extended = bindings;
    extended.merge_sorted(std::move(fresh));
    return extended;
  }
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
  if (captures.size() > kPairwiseCaptures) {
    return check_captures(captures, event, bindings, [](const std::string&, const Value&) {});
  }
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
  if (pattern.steps.front().transition_from_previous)
    return StructuralFault::FirstStepHasTransition;
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    if (!pattern.steps[i].transition_from_previous)
      return StructuralFault::LaterStepLacksTransition;
  }
  return std::nullopt;
}

void check_structure(const Pattern& pattern) {
  const std::optional<StructuralFault> fault = find_structural_fault(pattern);
  if (!fault) return;
  switch (*fault) {
    case StructuralFault::NoSteps: throw InternalError("patterns must contain at least one step");
    case StructuralFault::FirstStepHasTransition:
      throw InternalError("the first pattern step cannot have a transition");
    case StructuralFault::LaterStepLacksTransition:
      throw InternalError("every step after the first must have a transition");
  }
}

}  // namespace kestrel
