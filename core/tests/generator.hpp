// Random, reproducible inputs for the matchers and the near-miss search.
// The data are correlated the way real streams are: several partitions, each
// with many users whose events interleave, and patterns that capture the user
// at the start and refer back to it in later steps and in absence atoms. User
// values are drawn from keys that the engine's equality treats subtly (Int and
// Float that compare equal, 0.0 and -0.0, NaN, Bool against Int, Null, texts
// that are prefixes of one another), so that any index keyed by bound values
// meets every collision it must honour and every one it must not invent.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "describe.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

struct GeneratedCase {
  std::uint64_t seed = 0;
  std::vector<Event> events;
  Pattern pattern;
};

inline std::string describe(const GeneratedCase& c) {
  std::string out =
      "seed " + std::to_string(c.seed) + "\npattern " + describe(c.pattern) + "\nevents";
  for (std::size_t i = 0; i < c.events.size(); ++i)
    out += "\n  " + std::to_string(i) + ": " + describe(c.events[i]);
  return out;
}

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) { case_.seed = seed; }

  GeneratedCase generate() && {
    const int partitions = 1 + below(4);
    const int extreme = chance(12) ? below(partitions) : -1;
    // Names that are prefixes of one another, in canonical order.
    for (int p = 0; p < partitions; ++p) add_partition(std::string(p, 'p'), p == extreme);
    add_pattern();
    return std::move(case_);
  }

 private:
  using Op = ComparisonOperator;

  static constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  static constexpr std::int64_t k53 = std::int64_t{1} << 53;

  // The keys users are drawn from, in families of values that sit close
  // together: equal across kinds, of different kinds but alike, texts that
  // are prefixes of one another. 2^53 + 1 rounds to the Float 2^53.
  const std::vector<std::vector<Value>> families_{
      {std::int64_t{1}, 1.0, true},
      {std::int64_t{0}, 0.0, -0.0, false, Null{}},
      {std::nan(""), std::nan("")},
      {k53, k53 + 1, static_cast<double>(k53)},
      {std::string(""), std::string("a"), std::string("ab")}};

  Value key() { return pick(pick(families_)); }

  void add_partition(const std::string& name, bool extreme) {
    // Users of one or two families, so that near-equal keys meet often.
    const std::vector<Value>& family = pick(families_);
    const std::vector<Value>& other = pick(families_);
    std::vector<Value> users;
    for (int n = 2 + below(5); n > 0; --n) users.push_back(pick(chance(70) ? family : other));
    // Extreme stamps live in a partition of their own, sometimes spanning
    // the whole range.
    std::int64_t ts = extreme ? kMin : below(3);
    for (int n = 4 + below(21); n > 0; --n) {
      Event event{name, ts, pick<std::string>({"A", "A", "A", "B", "B", "B", "C", "X", "X"}), {}};
      if (!chance(10)) event.attrs.set("user", chance(90) ? pick(users) : key());
      if (chance(70)) event.attrs.set("v", small_value());
      // Some events carry many attributes, as wide records do.
      for (int filler = chance(10) ? 9 : 0; filler > 0; --filler)
        event.attrs.set("f" + std::to_string(filler), small_value());
      case_.events.push_back(std::move(event));
      const std::int64_t gap = pick<std::int64_t>({0, 0, 0, 1, 1, 2, 3, 5});
      if (extreme && chance(15) && ts < kMax - 3) ts = kMax - 3;
      ts = ts > kMax - gap ? kMax : ts + gap;
    }
  }

  void add_pattern() {
    Pattern& pattern = case_.pattern;
    Atom first(chance(80) ? "A" : "B");
    if (chance(75)) first.captures.push_back({"u", "user"});
    if (chance(25)) first.predicates.push_back({"v", op(), small_value()});
    if (chance(5)) first.reference_predicates.push_back({"user", Op::Eq, "u"});
    pattern.steps.push_back({std::move(first), std::nullopt});
    const int steps = chance(8) ? 0 : pick<int>({1, 1, 1, 2, 2, 3, 4});
    for (int i = 0; i < steps; ++i) pattern.steps.push_back({step_atom(), transition()});
  }

  Atom step_atom() {
    Atom atom(pick<std::string>({"A", "B", "B", "C"}));
    if (chance(55)) atom.reference_predicates.push_back({"user", Op::Eq, "u"});
    if (chance(10))
      atom.reference_predicates.push_back({pick<std::string>({"user", "v"}), op(), name()});
    if (chance(20)) atom.predicates.push_back({"v", op(), small_value()});
    if (chance(20)) atom.captures.push_back({"w", "v"});
    if (chance(5)) atom.captures.push_back({"w", "user"});
    if (chance(15)) atom.captures.push_back({"u", "user"});
    return atom;
  }

  Transition transition() {
    Transition transition;
    if (chance(40)) transition.max_elapsed = pick<std::int64_t>({-1, 0, 1, 2, 3, 5, 10, kMax});
    for (int n = chance(60) ? 1 + below(2) : 0; n > 0; --n) {
      Atom atom(chance(70) ? "X" : pick<std::string>({"A", "B", "C"}));
      switch (below(7)) {
        case 0:
        case 1:
        case 2: atom.reference_predicates.push_back({"user", Op::Eq, "u"}); break;
        case 3:
          atom.predicates.push_back({pick<std::string>({"user", "v"}), op(), small_value()});
          break;
        case 4:
          atom.reference_predicates.push_back({pick<std::string>({"user", "v"}), op(), name()});
          break;
        case 5: atom.captures.push_back({"u", "user"}); break;
        default: break;  // blocks the whole step
      }
      transition.absence.push_back(std::move(atom));
    }
    return transition;
  }

  Value small_value() { return chance(70) ? Value(std::int64_t{below(3)}) : key(); }
  // Equality is what real patterns mostly ask.
  Op op() { return chance(50) ? Op::Eq : static_cast<Op>(below(6)); }
  // "w" is bound only by some steps, so references to it are sometimes unbound.
  std::string name() { return chance(70) ? "u" : "w"; }

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < percent; }
  template <class T>
  T pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(below(static_cast<int>(items.size())))];
  }

  std::mt19937_64 rng_;
  GeneratedCase case_;
};

inline GeneratedCase generate_case(std::uint64_t seed) { return Generator(seed).generate(); }

// The case's events as a table with every attribute any event holds, more
// than the pattern reads, and positions shuffled as if sorted from an input
// in another order.
inline EventTable shuffled_table(const GeneratedCase& c) {
  std::set<std::string> names;
  for (const Event& event : c.events) {
    for (const auto& [name, value] : event.attrs) names.insert(name);
  }
  const std::vector<std::string> columns(names.rbegin(), names.rend());
  EventTable table = EventTable::from_events(c.events, columns);
  std::shuffle(table.positions.begin(), table.positions.end(), std::mt19937_64(c.seed));
  return table;
}

}  // namespace kestrel
