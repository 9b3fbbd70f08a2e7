// The engine against its judges on random correlated inputs: the compiled
// matcher against the oracle in both consumption modes, the near-miss search
// and its deepest-path search against the literal search, and the pairwise
// transition test and atom evaluation against their rules written out.
// KESTREL_DIFF_CASES sets the number of cases (for long local runs) and
// KESTREL_DIFF_SEED the first seed; a failure prints its seed and its case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/atoms/transition.hpp"
#include "engine/match/oracle.hpp"
#include "generator.hpp"
#include "kestrel/matcher.hpp"
#include "literal_search.hpp"

namespace kestrel {
namespace {

// Sanitized builds run several times slower; they get fewer cases.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kDefaultCases = 1500;
#else
constexpr std::uint64_t kDefaultCases = 6000;
#endif

std::uint64_t setting(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text ? std::strtoull(text, nullptr, 10) : fallback;
}

std::uint64_t case_count() { return setting("KESTREL_DIFF_CASES", kDefaultCases); }

// The guards on the generator speak of many cases, not of one reproduced.
bool many_cases() { return case_count() >= 100; }

// Runs `check` on every case and stops at the first that fails, printing it.
void for_each_case(const std::function<void(const GeneratedCase&)>& check) {
  const std::uint64_t first = setting("KESTREL_DIFF_SEED", 1);
  for (std::uint64_t seed = first; seed < first + case_count(); ++seed) {
    const GeneratedCase c = generate_case(seed);
    check(c);
    if (testing::Test::HasFailure()) {
      ADD_FAILURE() << "reproduce with KESTREL_DIFF_SEED=" << seed << " KESTREL_DIFF_CASES=1\n"
                    << describe(c);
      return;
    }
  }
}

std::vector<Match> agreed_matches(const GeneratedCase& c, MatchConsumption mode) {
  Pattern pattern = c.pattern;
  pattern.consumption = mode;
  std::vector<Match> compiled = compiled_matches(c.events, pattern);
  EXPECT_EQ(describe(compiled), describe(oracle_matches(c.events, pattern)))
      << (mode == MatchConsumption::ExhaustivePerStart ? "exhaustive" : "first successor");
  return compiled;
}

TEST(Differential, CompiledMatcherAgreesWithTheOracle) {
  std::size_t total = 0;
  for_each_case([&](const GeneratedCase& c) {
    const auto first = agreed_matches(c, MatchConsumption::FirstSuccessorPerStart);
    const auto all = agreed_matches(c, MatchConsumption::ExhaustivePerStart);
    total += first.size() + all.size();
    // Every first-successor match is one of the exhaustive combinations, one
    // per start at most; paths ascend within and across matches.
    const std::string exhaustive = "\n" + describe(all);
    std::set<std::size_t> starts;
    for (const Match& match : first) {
      const std::string line = "\n" + describe(match) + "\n";
      EXPECT_NE(exhaustive.find(line), std::string::npos) << line;
      EXPECT_TRUE(starts.insert(match.indices.front()).second);
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
      const auto& path = all[i].indices;
      if (i > 0) {
        EXPECT_LT(all[i - 1].indices, path);
      }
      EXPECT_EQ(path.size(), c.pattern.steps.size());
      EXPECT_EQ(std::adjacent_find(path.begin(), path.end(), std::greater_equal<>()), path.end());
      for (std::size_t index : path) EXPECT_EQ(c.events[index].partition, all[i].partition);
    }
  });
  // Guards the generator: agreement means little if nothing matches.
  if (many_cases()) {
    EXPECT_GT(total, case_count());
  }
}

void expect_near_miss_invariants(const GeneratedCase& c, const std::vector<NearMiss>& misses) {
  for (std::size_t i = 0; i < misses.size(); ++i) {
    const NearMiss& m = misses[i];
    if (i > 0) {
      EXPECT_LT(misses[i - 1].start_index, m.start_index);
    }
    ASSERT_GE(m.indices.size(), 1u);
    EXPECT_LT(m.indices.size(), c.pattern.steps.size());
    EXPECT_EQ(m.indices.front(), m.start_index);
    for (std::size_t j = 0; j < m.indices.size(); ++j) {
      if (j > 0) {
        EXPECT_LT(m.indices[j - 1], m.indices[j]);
      }
      EXPECT_EQ(c.events[m.indices[j]].partition, m.partition);
    }
    // The candidate of every reason but NoSuccessor follows the path in its
    // partition and has the next step's type.
    const std::size_t last = m.indices.back();
    std::optional<std::size_t> candidate;
    if (const auto* d = std::get_if<PredicateFailed>(&m.detail)) candidate = d->event_index;
    if (const auto* d = std::get_if<WindowExceeded>(&m.detail)) {
      candidate = d->candidate_index;
      EXPECT_GE(d->gap, d->max_elapsed);  // the gap saturates
    }
    if (const auto* d = std::get_if<AbsenceBlocked>(&m.detail)) {
      candidate = d->candidate_index;
      EXPECT_LT(last, d->blocking_index);
      EXPECT_LT(d->blocking_index, d->candidate_index);
    }
    if (candidate) {
      EXPECT_GT(*candidate, last);
      EXPECT_EQ(c.events[*candidate].partition, m.partition);
      EXPECT_EQ(c.events[*candidate].typ, m.next_event_type);
    }
  }
}

TEST(Differential, NearMissSearchAgreesWithTheLiteralSearch) {
  std::set<std::size_t> reasons;
  for_each_case([&](const GeneratedCase& c) {
    const auto misses = near_misses(c.events, c.pattern);
    ASSERT_EQ(describe(misses), describe(literal::near_misses(c.events, c.pattern)));
    expect_near_miss_invariants(c, misses);
    for (const NearMiss& m : misses) reasons.insert(m.detail.index());
    // deepest_path alone, from every start, at step 1 and at a later step.
    const std::size_t steps = c.pattern.steps.size();
    for (std::size_t s = 0, run_end = 0; s < c.events.size(); ++s) {
      if (s == run_end) run_end = partition_run_end(c.events, s);
      const auto start = c.pattern.steps[0].atom.evaluate(c.events[s], Bindings{});
      if (!start) continue;
      const Reach seeded{{s}, *start};
      for (const std::size_t step : {std::size_t{1}, 1 + (c.seed + s) % steps}) {
        ASSERT_EQ(describe(deepest_path(c.events, run_end, c.pattern, step, seeded)),
                  describe(literal::deepest_path(c.events, run_end, c.pattern, step, seeded)))
            << "start " << s << " step " << step;
      }
    }
  });
  if (many_cases()) {
    EXPECT_EQ(reasons.size(), std::variant_size_v<NearMissDetail>);
  }
}

// The record with every index mapped through `positions`.
NearMiss at_positions(NearMiss m, const std::vector<std::size_t>& positions) {
  m.start_index = positions[m.start_index];
  for (std::size_t& index : m.indices) index = positions[index];
  if (auto* d = std::get_if<PredicateFailed>(&m.detail)) d->event_index = positions[d->event_index];
  if (auto* d = std::get_if<WindowExceeded>(&m.detail)) {
    d->candidate_index = positions[d->candidate_index];
  }
  if (auto* d = std::get_if<AbsenceBlocked>(&m.detail)) {
    d->candidate_index = positions[d->candidate_index];
    d->blocking_index = positions[d->blocking_index];
  }
  return m;
}

TEST(Differential, TableNearMissesAreTheEventFormsAtTheRowsPositions) {
  for_each_case([&](const GeneratedCase& c) {
    const EventTable table = shuffled_table(c);
    std::vector<NearMiss> expected;
    for (NearMiss& m : near_misses(c.events, c.pattern)) {
      expected.push_back(at_positions(std::move(m), table.positions));
    }
    ASSERT_EQ(describe(near_misses(table, c.pattern)), describe(expected));
  });
}

// A bounded result holds limit + 1 matches, or all when there are no more;
// it keeps the order of the whole result and every match of the partitions
// before its last.
void expect_bounded(const std::vector<Match>& all, const std::vector<Match>& bounded,
                    std::size_t limit) {
  ASSERT_EQ(bounded.size(), std::min(limit + 1, all.size())) << "limit " << limit;
  if (bounded.empty()) return;
  const std::string& last = bounded.back().partition;
  std::size_t at = 0;
  for (const Match& match : bounded) {
    while (at < all.size() && describe(all[at]) != describe(match)) {
      ASSERT_LE(last, all[at].partition) << "limit " << limit << " skips " << describe(all[at]);
      ++at;
    }
    ASSERT_LT(at++, all.size()) << "limit " << limit << " out of order: " << describe(match);
  }
}

TEST(Differential, BoundedMatchingStopsPastTheLimit) {
  for_each_case([&](const GeneratedCase& c) {
    const EventTable table = shuffled_table(c);
    for (const auto mode :
         {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
      Pattern pattern = c.pattern;
      pattern.consumption = mode;
      const std::vector<Match> all = compiled_matches(table, pattern);
      for (const std::size_t limit :
           {std::size_t{0}, all.size() / 3, all.size() / 2 + 1,
            all.size() - std::min<std::size_t>(all.size(), 1), all.size(), all.size() + 1}) {
        expect_bounded(all, compiled_matches(table, pattern, limit), limit);
      }
    }
  });
}

// The pairwise transition rules written out, with exact window arithmetic.
bool expected_allows(std::span<const Event> events, std::size_t previous, std::size_t candidate,
                     const Transition& transition, const Bindings& bindings) {
  const std::int64_t from = events[previous].ts;
  const std::int64_t to = events[candidate].ts;
  if (to < from) return false;
  __extension__ using Wide = __int128;
  if (transition.max_elapsed && Wide{to} - Wide{from} > *transition.max_elapsed) return false;
  for (std::size_t between = previous + 1; between < candidate; ++between) {
    for (const Atom& atom : transition.absence) {
      if (atom.evaluate(events[between], bindings)) return false;
    }
  }
  return true;
}

// Evaluation keeps its input, agrees with accepts, and adds for each new name
// the value of its first capture (Null for a missing attribute).
void expect_evaluation_laws(const Atom& atom, const Event& event, const Bindings& input) {
  const Bindings copy = input;
  const std::optional<Bindings> result = atom.evaluate(event, input);
  ASSERT_TRUE(identical(input, copy));
  ASSERT_EQ(atom.accepts(event, input), result.has_value()) << describe(atom) << describe(event);
  if (!result) return;
  Bindings expected = input;
  for (const Capture& capture : atom.captures) {
    const Value* value = event.attrs.find(capture.attribute);
    if (!expected.find(capture.name)) expected.set(capture.name, value ? *value : Null{});
  }
  ASSERT_TRUE(identical(*result, expected))
      << describe(atom) << describe(event) << describe(*result);
  const auto less = [](const auto& a, const auto& b) { return a.first < b.first; };
  ASSERT_TRUE(std::is_sorted(result->begin(), result->end(), less));
}

TEST(Differential, TransitionsAndAtomsFollowTheirRules) {
  std::size_t allowed = 0, refused = 0, accepted = 0, rejected = 0;
  for_each_case([&](const GeneratedCase& c) {
    const Pattern& p = c.pattern;
    std::vector<const Atom*> atoms;
    for (const Step& step : p.steps) {
      atoms.push_back(&step.atom);
      if (!step.transition_from_previous) continue;
      for (const Atom& absent : step.transition_from_previous->absence) atoms.push_back(&absent);
    }
    // Each start's bindings against the next events of its run, as in matching.
    for (std::size_t s = 0, run_end = 0; s < c.events.size(); ++s) {
      if (s == run_end) run_end = partition_run_end(c.events, s);
      for (const Atom* atom : atoms) expect_evaluation_laws(*atom, c.events[s], {});
      const auto bindings = p.steps[0].atom.evaluate(c.events[s], {});
      if (!bindings) continue;
      for (std::size_t candidate = s + 1; candidate < std::min(run_end, s + 8); ++candidate) {
        for (const Atom* atom : atoms) {
          expect_evaluation_laws(*atom, c.events[candidate], *bindings);
          (atom->accepts(c.events[candidate], *bindings) ? accepted : rejected)++;
        }
        for (std::size_t k = 1; k < p.steps.size(); ++k) {
          const Transition& transition = *p.steps[k].transition_from_previous;
          const bool answer = transition_allows(c.events, s, candidate, transition, *bindings);
          ASSERT_EQ(answer, expected_allows(c.events, s, candidate, transition, *bindings))
              << "previous " << s << " candidate " << candidate << " step " << k;
          (answer ? allowed : refused)++;
        }
      }
    }
  });
  // The alphabets are small enough that both outcomes are common.
  if (!many_cases()) return;
  EXPECT_GT(std::min(allowed, refused), allowed / 20);
  EXPECT_GT(std::min(accepted, rejected), accepted / 20);
}

}  // namespace
}  // namespace kestrel
