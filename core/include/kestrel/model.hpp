// Values, events, the pattern syntax tree and the evaluation of one atom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrel {

// A broken engine invariant: a programming error, never a user error.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The message of an operation that failed on user input.
struct Error {
  std::string message;
};

// Either a value or the one message that ended the operation.
template <class T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  const T& value() const& { return std::get<0>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const std::string& error() const { return std::get<1>(state_).message; }

 private:
  std::variant<T, Error> state_;
};

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

  friend bool operator==(const ValueMap&, const ValueMap&) = default;

 private:
  std::vector<Entry> entries_;
};

using Attributes = ValueMap;
using Bindings = ValueMap;

struct Event {
  std::string partition;
  std::int64_t ts = 0;
  std::string typ;
  Attributes attrs;

  Event with_attr(std::string key, Value value) &&;
};

enum class ComparisonOperator : std::uint8_t { Eq, NotEq, Gt, Gte, Lt, Lte };

// "==", "!=", ">", ">=", "<", "<=".
std::string_view operator_symbol(ComparisonOperator op) noexcept;

// Numbers compare across Int and Float; NaN equals nothing.
bool values_equal(const Value& left, const Value& right) noexcept;

// `left` is the event's value, `right` the literal or bound value.
bool matches(ComparisonOperator op, const Value& left, const Value& right) noexcept;

// Stable permutation that puts events in canonical order: partition
// (byte-wise), then ts, then input order.
std::vector<std::size_t> canonical_order(std::span<const Event> events);

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
enum class StructuralFault : std::uint8_t { NoSteps, FirstStepHasTransition, LaterStepLacksTransition };

std::optional<StructuralFault> find_structural_fault(const Pattern& pattern) noexcept;

// For the matchers and the near-miss search, whose callers guarantee the
// rules: throws InternalError naming the first broken one.
void check_structure(const Pattern& pattern);

// Thrown by a long engine call that its Interrupt stopped.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Lets the caller stop a long engine call. The call polls it in its inner
// loops; every kInterval polls it asks `stop_requested`, and unwinds with
// Interrupted when the answer is yes. A default Interrupt never stops.
class Interrupt {
 public:
  static constexpr std::uint32_t kInterval = 4096;

  Interrupt() = default;
  explicit Interrupt(std::function<bool()> stop_requested)
      : stop_requested_(std::move(stop_requested)) {}

  void poll() {
    if (--countdown_ == 0) ask();
  }

 private:
  void ask();

  std::function<bool()> stop_requested_;
  std::uint32_t countdown_ = kInterval;
};

struct Match {
  std::string partition;
  std::vector<std::size_t> indices;
  std::int64_t start = 0;
  std::int64_t end = 0;
  Bindings captures;

  friend bool operator==(const Match&, const Match&) = default;
};

}  // namespace kestrel
