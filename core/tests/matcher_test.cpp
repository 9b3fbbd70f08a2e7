#include "kestrel/matcher.hpp"
#include "describe.hpp"
#include "engine/atoms/transition.hpp"
#include "engine/match/oracle.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace kestrel {
namespace {

constexpr auto kFirst = MatchConsumption::FirstSuccessorPerStart;
constexpr auto kAll = MatchConsumption::ExhaustivePerStart;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

using Paths = std::vector<std::vector<std::size_t>>;

// An event; `user` is set as attribute "user" unless empty.
struct E {
  std::string typ;
  std::int64_t ts = 0;
  std::string user{};
  std::string partition = "p";
};

std::vector<Event> events_of(std::initializer_list<E> rows) {
  std::vector<Event> events;
  for (const E& row : rows) {
    Event event{row.partition, row.ts, row.typ, {}};
    if (!row.user.empty()) event = std::move(event).with_attr("user", row.user);
    events.push_back(std::move(event));
  }
  return events;
}

Atom capturing_user(std::string type) { return Atom(std::move(type)).with_capture({"u", "user"}); }

Atom same_user(std::string type, std::string binding = "u") {
  return Atom(std::move(type))
      .with_reference_predicate({"user", ComparisonOperator::Eq, std::move(binding)});
}

Atom user_is(std::string type, std::string user) {
  return Atom(std::move(type)).with_predicate({"user", ComparisonOperator::Eq, std::move(user)});
}

Transition link(std::optional<std::int64_t> window = std::nullopt, std::vector<Atom> absence = {}) {
  return Transition{window, std::move(absence)};
}

Pattern pattern_of(Atom first, std::vector<std::pair<Transition, Atom>> rest = {}) {
  Pattern pattern;
  pattern.steps.push_back({std::move(first), std::nullopt});
  for (auto& [transition, atom] : rest) pattern.steps.push_back({std::move(atom), transition});
  return pattern;
}

Pattern with_mode(Pattern pattern, MatchConsumption mode) {
  pattern.consumption = mode;
  return pattern;
}

Paths paths_of(const std::vector<Match>& matches) {
  Paths paths;
  for (const Match& match : matches) paths.push_back(match.indices);
  return paths;
}

// Runs both matchers, which must agree field by field and in order.
std::vector<Match> both_matchers(const std::vector<Event>& events, const Pattern& pattern) {
  std::vector<Match> compiled = compiled_matches(events, pattern);
  EXPECT_EQ(describe(compiled), describe(oracle_matches(events, pattern)));
  return compiled;
}

// ---------------------------------------------------------------------------

struct Scenario {
  std::string name;
  std::vector<Event> events;
  Pattern pattern;
  Paths first_successor;
  Paths exhaustive;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class MatchScenario : public testing::TestWithParam<Scenario> {};

TEST_P(MatchScenario, BothMatchersFindExactlyTheseMatches) {
  const Scenario& s = GetParam();
  EXPECT_EQ(paths_of(both_matchers(s.events, with_mode(s.pattern, kFirst))), s.first_successor);
  EXPECT_EQ(paths_of(both_matchers(s.events, with_mode(s.pattern, kAll))), s.exhaustive);
}

const Atom kA("A"), kB("B"), kD("D"), kX("X");

INSTANTIATE_TEST_SUITE_P(
    Scenarios, MatchScenario,
    testing::Values(
        Scenario{"WorkedExample",
                 events_of({{"A", 0}, {"A", 5}, {"B", 8}, {"X", 9}, {"B", 12}, {"B", 20}}),
                 pattern_of(kA, {{link(10, {kX}), kB}}),
                 {{0, 2}, {1, 2}},
                 {{0, 2}, {1, 2}}},
        Scenario{"WorkedExampleWithoutBlocker",
                 events_of({{"A", 0}, {"A", 5}, {"B", 8}, {"Y", 9}, {"B", 12}, {"B", 20}}),
                 pattern_of(kA, {{link(10, {kX}), kB}}),
                 {{0, 2}, {1, 2}},
                 {{0, 2}, {1, 2}, {1, 4}}},
        Scenario{"NoEvents", {}, pattern_of(kA), {}, {}},
        Scenario{"NothingMatches",
                 events_of({{"C", 0}, {"B", 1}}),
                 pattern_of(kA, {{link(), kB}}),
                 {},
                 {}},
        Scenario{"OneStep",
                 events_of({{"A", 0}, {"B", 1}, {"A", 2}}),
                 pattern_of(kA),
                 {{0}, {2}},
                 {{0}, {2}}},
        Scenario{"FirstStepReferenceNeverMatches",
                 events_of({{"A", 0, "u1"}, {"B", 1, "u1"}}),
                 pattern_of(same_user("A"), {{link(), kB}}),
                 {},
                 {}},
        Scenario{"StartsShareASuccessor",
                 events_of({{"A", 0}, {"A", 1}, {"B", 2}}),
                 pattern_of(kA, {{link(), kB}}),
                 {{0, 2}, {1, 2}},
                 {{0, 2}, {1, 2}}},
        Scenario{"OnlyFirstSuccessorUnlessExhaustive",
                 events_of({{"A", 0}, {"B", 1}, {"B", 2}}),
                 pattern_of(kA, {{link(), kB}}),
                 {{0, 1}},
                 {{0, 1}, {0, 2}}},
        Scenario{"EventNeverFillsTwoStepsOfOneMatch",
                 events_of({{"A", 0}, {"A", 1}, {"A", 2}}),
                 pattern_of(kA, {{link(), kA}}),
                 {{0, 1}, {1, 2}},
                 {{0, 1}, {0, 2}, {1, 2}}},
        Scenario{"NoBacktracking",
                 events_of({{"A", 0}, {"B", 1}, {"B", 10}, {"D", 12}}),
                 pattern_of(kA, {{link(), kB}, {link(5), kD}}),
                 {},
                 {{0, 2, 3}}},
        Scenario{"SuccessorSatisfiesTheWholeAtom",
                 events_of({{"A", 0, "u1"}, {"B", 1, "u2"}, {"B", 2, "u1"}}),
                 pattern_of(capturing_user("A"), {{link(), same_user("B")}}),
                 {{0, 2}},
                 {{0, 2}}},
        Scenario{"LaterStartBlocksEarlierOne",
                 events_of({{"A", 0}, {"A", 1}, {"B", 2}}),
                 pattern_of(kA, {{link(std::nullopt, {kA}), kB}}),
                 {{1, 2}},
                 {{1, 2}}},
        Scenario{"WindowIncludesItsBound",
                 events_of({{"A", 100}, {"B", 110}}),
                 pattern_of(kA, {{link(10), kB}}),
                 {{0, 1}},
                 {{0, 1}}},
        Scenario{"WindowExcludesPastItsBound",
                 events_of({{"A", 100}, {"B", 111}}),
                 pattern_of(kA, {{link(10), kB}}),
                 {},
                 {}},
        Scenario{"WindowIsPerTransition",
                 events_of({{"A", 0}, {"B", 8}, {"D", 16}}),
                 pattern_of(kA, {{link(10), kB}, {link(10), kD}}),
                 {{0, 1, 2}},
                 {{0, 1, 2}}},
        Scenario{"ZeroWindowNeedsEqualTimestamps",
                 events_of({{"A", 5}, {"B", 5}, {"B", 6}}),
                 pattern_of(kA, {{link(0), kB}}),
                 {{0, 1}},
                 {{0, 1}}},
        Scenario{"NegativeWindowAdmitsNothing",
                 events_of({{"A", 5}, {"B", 5}}),
                 pattern_of(kA, {{link(-1), kB}}),
                 {},
                 {}},
        Scenario{"AbsenceInBetweenBlocks",
                 events_of({{"A", 0}, {"X", 1}, {"B", 2}}),
                 pattern_of(kA, {{link(std::nullopt, {kX}), kB}}),
                 {},
                 {}},
        Scenario{"AbsenceAfterTheSuccessorBlocksLaterOnes",
                 events_of({{"A", 0}, {"B", 1}, {"X", 2}, {"B", 3}}),
                 pattern_of(kA, {{link(std::nullopt, {kX}), kB}}),
                 {{0, 1}},
                 {{0, 1}}},
        Scenario{"BlockerBeforeEverySuccessor",
                 events_of({{"A", 0}, {"X", 1}, {"B", 2}, {"B", 3}}),
                 pattern_of(kA, {{link(std::nullopt, {kX}), kB}}),
                 {},
                 {}},
        Scenario{"BetweenIsByPositionNotTimestamp",
                 events_of({{"A", 0}, {"X", 5}, {"B", 5}}),
                 pattern_of(kA, {{link(std::nullopt, {kX}), kB}}),
                 {},
                 {}},
        Scenario{"SuccessorThatIsAlsoForbiddenBlocksLaterOnes",
                 events_of({{"A", 0}, {"B", 1, "bad"}, {"B", 2}}),
                 pattern_of(kA, {{link(std::nullopt, {user_is("B", "bad")}), kB}}),
                 {{0, 1}},
                 {{0, 1}}},
        Scenario{"MatchesOrderedByPathNotCompletion",
                 events_of({{"A", 0, "u1"}, {"A", 1, "u2"}, {"B", 2, "u2"}, {"B", 3, "u1"}}),
                 pattern_of(capturing_user("A"), {{link(), same_user("B")}}),
                 {{0, 3}, {1, 2}},
                 {{0, 3}, {1, 2}}},
        Scenario{"ThreadsNeverCrossPartitions",
                 events_of({{"A", 0, "", "p1"}, {"B", 1, "", "p2"}}),
                 pattern_of(kA, {{link(), kB}}),
                 {},
                 {}},
        Scenario{
            "PartitionsInRunOrder",
            events_of({{"A", 0, "", "a"}, {"B", 1, "", "a"}, {"A", 0, "", "b"}, {"B", 1, "", "b"}}),
            pattern_of(kA, {{link(), kB}}),
            {{0, 1}, {2, 3}},
            {{0, 1}, {2, 3}}},
        Scenario{"AbsenceTiedToCaptureIgnoresOthers",
                 events_of({{"A", 0, "u1"}, {"X", 1, "u2"}, {"B", 2}}),
                 pattern_of(capturing_user("A"), {{link(std::nullopt, {same_user("X")}), kB}}),
                 {{0, 2}},
                 {{0, 2}}},
        Scenario{"AbsenceTiedToCaptureBlocks",
                 events_of({{"A", 0, "u1"}, {"X", 1, "u1"}, {"B", 2}}),
                 pattern_of(capturing_user("A"), {{link(std::nullopt, {same_user("X")}), kB}}),
                 {},
                 {}},
        Scenario{"AbsenceOnUnboundNameNeverBlocks",
                 events_of({{"A", 0, "u1"}, {"X", 1, "u1"}, {"B", 2}}),
                 pattern_of(kA, {{link(std::nullopt, {same_user("X", "v")}), kB}}),
                 {{0, 2}},
                 {{0, 2}}},
        Scenario{"RecaptureMustBeIdentical",
                 events_of({{"A", 0, "u1"}, {"B", 1, "u2"}, {"B", 2, "u1"}}),
                 pattern_of(capturing_user("A"), {{link(), capturing_user("B")}}),
                 {{0, 2}},
                 {{0, 2}}},
        Scenario{"MissingAttributeCapturesNull",
                 events_of({{"A", 0}, {"B", 1, "u1"}, {"B", 2}}),
                 pattern_of(capturing_user("A"), {{link(), capturing_user("B")}}),
                 {{0, 2}},
                 {{0, 2}}}),
    [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

TEST(Matchers, FillEveryFieldOfAMatch) {
  const auto events = events_of({{"A", -3, "u1", "a"}, {"B", 4, "u2", "a"}, {"A", 7, "", "b"}});
  // Captured in reverse name order: the captures still list names ascending.
  const Pattern pattern = pattern_of(Atom("A").with_capture({"zed", "user"}),
                                     {{link(), Atom("B").with_capture({"alpha", "user"})}});
  Bindings captures;
  captures.set("alpha", std::string("u2"));
  captures.set("zed", std::string("u1"));
  const std::vector<Match> expected{{"a", {0, 1}, -3, 4, captures}};
  EXPECT_EQ(both_matchers(events, pattern), expected);

  Bindings from_user, from_nothing;
  from_user.set("zed", std::string("u1"));
  from_nothing.set("zed", Null{});
  const std::vector<Match> starts{{"a", {0}, -3, -3, from_user}, {"b", {2}, 7, 7, from_nothing}};
  EXPECT_EQ(both_matchers(events, pattern_of(Atom("A").with_capture({"zed", "user"}))), starts);
}

// Types, partitions and values that differ in a single byte, at every
// position of texts of every length up to 40, must stay apart.
TEST(Matchers, TellApartTextsDifferingInOneByte) {
  for (std::size_t length = 1; length <= 40; ++length) {
    const std::string text(length, 'a');
    for (std::size_t position = 0; position < length; ++position) {
      std::string other = text;
      other[position] = 'b';
      SCOPED_TRACE(other);
      const Pattern pattern =
          pattern_of(Atom(text).with_capture({"u", "user"}), {{link(), same_user(text)}});
      const auto events = events_of({{text, 0, text, text},
                                     {other, 1, text, text},
                                     {text, 2, other, text},
                                     {text, 3, text, text},
                                     {text, 4, text, other}});
      EXPECT_EQ(paths_of(both_matchers(events, pattern)), (Paths{{0, 3}}));
    }
  }
}

struct ExtremeWindow {
  std::int64_t from;
  std::int64_t to;
  std::int64_t window;
  bool inside;
};

class WindowAtExtremes : public testing::TestWithParam<ExtremeWindow> {};

// A wrapping 64-bit difference would put these gaps inside or outside the
// window the wrong way round.
TEST_P(WindowAtExtremes, UsesTheExactDifference) {
  const auto [from, to, window, inside] = GetParam();
  const auto events = events_of({{"A", from}, {"B", to}});
  const Paths expected = inside ? Paths{{0, 1}} : Paths{};
  for (MatchConsumption mode : {kFirst, kAll}) {
    const Pattern pattern = with_mode(pattern_of(kA, {{link(window), kB}}), mode);
    EXPECT_EQ(paths_of(both_matchers(events, pattern)), expected);
  }
  EXPECT_EQ(transition_allows(events, 0, 1, link(window), {}), inside);
}

INSTANTIATE_TEST_SUITE_P(
    Matchers, WindowAtExtremes,
    testing::Values(ExtremeWindow{kMin, kMax, 10, false}, ExtremeWindow{kMin, kMax, kMax, false},
                    ExtremeWindow{-1, kMax, kMax, false}, ExtremeWindow{kMin, 0, kMax, false},
                    ExtremeWindow{kMin, -1, kMax, true}, ExtremeWindow{0, kMax, kMax, true},
                    ExtremeWindow{kMax - 10, kMax, 10, true},
                    ExtremeWindow{kMax - 11, kMax, 10, false},
                    ExtremeWindow{kMin, kMin + 10, 10, true}, ExtremeWindow{kMin, kMin, 0, true},
                    ExtremeWindow{kMin, kMax, -1, false}));

struct Malformed {
  std::string name;
  Pattern pattern;
  std::string message;
};

class MalformedPattern : public testing::TestWithParam<Malformed> {};

void expect_internal_error(const std::function<void()>& run, const std::string& message) {
  try {
    run();
    ADD_FAILURE() << "no InternalError";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.what(), message);
  }
}

TEST_P(MalformedPattern, IsAnInternalError) {
  const auto& [name, pattern, message] = GetParam();
  const auto events = events_of({{"A", 0}, {"B", 1}});
  expect_internal_error([&] { compiled_matches(events, pattern); }, message);
  expect_internal_error([&] { oracle_matches(events, pattern); }, message);
}

Pattern two_step(std::optional<Transition> first, std::optional<Transition> second) {
  return Pattern{{{kA, std::move(first)}, {kB, std::move(second)}}, kFirst};
}

INSTANTIATE_TEST_SUITE_P(
    Matchers, MalformedPattern,
    testing::Values(Malformed{"NoSteps", Pattern{}, "patterns must contain at least one step"},
                    Malformed{"FirstStepTransition", two_step(link(), link()),
                              "the first pattern step cannot have a transition"},
                    Malformed{"LaterStepWithoutTransition", two_step(std::nullopt, std::nullopt),
                              "every step after the first must have a transition"},
                    Malformed{"FirstFaultWins", two_step(link(), std::nullopt),
                              "the first pattern step cannot have a transition"}),
    [](const testing::TestParamInfo<Malformed>& info) { return info.param.name; });

// ---------------------------------------------------------------------------

struct PairCase {
  std::string name;
  std::vector<Event> events;
  std::size_t previous;
  std::size_t candidate;
  Transition transition;
  Bindings bindings;
  bool allowed;
};

void PrintTo(const PairCase& c, std::ostream* out) { *out << c.name; }

class TransitionAllows : public testing::TestWithParam<PairCase> {};

TEST_P(TransitionAllows, Decides) {
  const PairCase& c = GetParam();
  EXPECT_EQ(transition_allows(c.events, c.previous, c.candidate, c.transition, c.bindings),
            c.allowed);
}

Bindings user_bound(std::string user) {
  Bindings bindings;
  bindings.set("u", std::move(user));
  return bindings;
}

const auto kHundredThen = events_of({{"A", 100}, {"B", 110}, {"B", 111}});
const Atom kFailedX =
    Atom("X").with_predicate({"status", ComparisonOperator::Eq, std::string("failed")});

std::vector<Event> status_between(std::string status) {
  return {Event{"p", 0, "A", {}}, Event{"p", 1, "X", {}}.with_attr("status", std::move(status)),
          Event{"p", 2, "B", {}}};
}

INSTANTIATE_TEST_SUITE_P(
    Matchers, TransitionAllows,
    testing::Values(
        PairCase{"WindowBound", kHundredThen, 0, 1, link(10), {}, true},
        PairCase{"PastWindow", kHundredThen, 0, 2, link(10), {}, false},
        PairCase{"NoWindow", kHundredThen, 0, 2, link(), {}, true},
        PairCase{"ZeroWindowSameTs", events_of({{"A", 3}, {"B", 3}}), 0, 1, link(0), {}, true},
        PairCase{"ZeroWindowLater", events_of({{"A", 3}, {"B", 4}}), 0, 1, link(0), {}, false},
        PairCase{"NegativeWindow", events_of({{"A", 3}, {"B", 3}}), 0, 1, link(-1), {}, false},
        PairCase{"EarlierCandidate", events_of({{"A", 3}, {"B", 2}}), 0, 1, link(), {}, false},
        PairCase{"AdjacentIgnoresAbsence",
                 events_of({{"A", 0}, {"X", 1}}),
                 0,
                 1,
                 link(std::nullopt, {kX}),
                 {},
                 true},
        PairCase{"AdjacentKeepsWindow",
                 events_of({{"A", 0}, {"X", 11}}),
                 0,
                 1,
                 link(10, {kX}),
                 {},
                 false},
        PairCase{"AbsenceBetween",
                 events_of({{"A", 0}, {"X", 1}, {"B", 2}}),
                 0,
                 2,
                 link(std::nullopt, {kX}),
                 {},
                 false},
        PairCase{"AbsenceAfter",
                 events_of({{"A", 0}, {"B", 1}, {"X", 2}}),
                 0,
                 1,
                 link(std::nullopt, {kX}),
                 {},
                 true},
        PairCase{"SecondAbsenceAtomBlocks",
                 events_of({{"A", 0}, {"X", 1}, {"B", 2}}),
                 0,
                 2,
                 link(std::nullopt, {kD, kX}),
                 {},
                 false},
        PairCase{"PredicateNarrowsAbsence",
                 status_between("ok"),
                 0,
                 2,
                 link(std::nullopt, {kFailedX}),
                 {},
                 true},
        PairCase{"PredicateAbsenceBlocks",
                 status_between("failed"),
                 0,
                 2,
                 link(std::nullopt, {kFailedX}),
                 {},
                 false},
        PairCase{"ReferenceAbsenceOtherValue", events_of({{"A", 0}, {"X", 1, "u2"}, {"B", 2}}), 0,
                 2, link(std::nullopt, {same_user("X")}), user_bound("u1"), true},
        PairCase{"ReferenceAbsenceSameValue", events_of({{"A", 0}, {"X", 1, "u1"}, {"B", 2}}), 0, 2,
                 link(std::nullopt, {same_user("X")}), user_bound("u1"), false},
        PairCase{"ReferenceAbsenceUnbound",
                 events_of({{"A", 0}, {"X", 1, "u1"}, {"B", 2}}),
                 0,
                 2,
                 link(std::nullopt, {same_user("X")}),
                 {},
                 true}),
    [](const testing::TestParamInfo<PairCase>& info) { return info.param.name; });

TEST(TransitionAllows, RefusesPairsOutOfOrder) {
  const auto events = events_of({{"A", 0}, {"B", 1}});
  EXPECT_THROW(transition_allows(events, 1, 1, link(), {}), InternalError);
  EXPECT_THROW(transition_allows(events, 1, 0, link(), {}), InternalError);
  EXPECT_THROW(transition_allows(events, 0, 2, link(), {}), InternalError);
}

// ---------------------------------------------------------------------------

// Fifty types also take the matcher past its small type tables.
TEST(Matchers, FollowAPatternOfAHundredThousandSteps) {
  constexpr std::size_t kSteps = 100'000;
  Pattern pattern = pattern_of(Atom("S"));
  std::vector<Event> events{Event{"p", 0, "S", {}}};
  std::vector<std::size_t> path{0};
  for (std::size_t i = 1; i < kSteps; ++i) {
    const std::string type = "t" + std::to_string(i % 50);
    pattern.steps.push_back({Atom(type).with_capture({"u", "user"}), link(1, {kX})});
    events.push_back(Event{"p", static_cast<std::int64_t>(i), type, {}});
    path.push_back(i);
  }
  for (const auto& matches : {compiled_matches(events, pattern), oracle_matches(events, pattern)}) {
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].indices, path);
    EXPECT_EQ(matches[0].end, static_cast<std::int64_t>(kSteps - 1));
  }
}

}  // namespace
}  // namespace kestrel
