// The pattern syntax tree, its structural rules, and the evaluation of one
// atom against one event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/event.hpp"
#include "kestrel/value.hpp"

namespace kestrel {

enum class MatchConsumption : std::uint8_t { FirstSuccessorPerStart, ExhaustivePerStart };

struct Predicate {
  std::string attribute;
  ComparisonOperator op = ComparisonOperator::Eq;
  Value value;

  friend bool operator==(const Predicate&, const Predicate&) = default;
};

struct ReferencePredicate {
  std::string attribute;
  ComparisonOperator op = ComparisonOperator::Eq;
  std::string binding;

  friend bool operator==(const ReferencePredicate&, const ReferencePredicate&) = default;
};

struct Capture {
  std::string name;
  std::string attribute;

  friend bool operator==(const Capture&, const Capture&) = default;
};

struct Atom {
  std::string event_type;
  std::vector<Predicate> predicates;
  std::vector<ReferencePredicate> reference_predicates;
  std::vector<Capture> captures;

  Atom() = default;
  explicit Atom(std::string type) : event_type(std::move(type)) {}

  Atom with_predicate(Predicate predicate) &&;
  Atom with_reference_predicate(ReferencePredicate predicate) &&;
  Atom with_capture(Capture capture) &&;

  // The bindings extended by this atom's captures, or nothing when the event
  // does not satisfy the atom. Copies the bindings only once every test but
  // the captures has passed.
  std::optional<Bindings> evaluate(const Event& event, const Bindings& bindings) const;

  // Whether evaluate would succeed, without allocating.
  bool accepts(const Event& event, const Bindings& bindings) const noexcept;

  friend bool operator==(const Atom&, const Atom&) = default;
};

struct Transition {
  std::optional<std::int64_t> max_elapsed;
  std::vector<Atom> absence;

  Transition with_absence(Atom atom) &&;

  friend bool operator==(const Transition&, const Transition&) = default;
};

struct Step {
  Atom atom;
  std::optional<Transition> transition_from_previous;

  friend bool operator==(const Step&, const Step&) = default;
};

struct Pattern {
  std::vector<Step> steps;
  MatchConsumption consumption = MatchConsumption::FirstSuccessorPerStart;

  friend bool operator==(const Pattern&, const Pattern&) = default;
};

// The three structural rules, in the order they are checked.
enum class StructuralFault : std::uint8_t {
  NoSteps,
  FirstStepHasTransition,
  LaterStepLacksTransition
};

std::optional<StructuralFault> find_structural_fault(const Pattern& pattern) noexcept;

// For the matchers and the near-miss search, whose callers guarantee the
// rules: throws InternalError naming the first broken one.
void check_structure(const Pattern& pattern);

}  // namespace kestrel
