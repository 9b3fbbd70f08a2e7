#include "kestrel/explain.hpp"
#include "describe.hpp"
#include "engine/explain/deepest_path.hpp"
#include "literal_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrel {
namespace {

using Attr = std::pair<std::string, Value>;

Event ev(std::string partition, std::int64_t ts, std::string typ, std::vector<Attr> attrs = {}) {
  Event e{std::move(partition), ts, std::move(typ), {}};
  for (auto& [k, v] : attrs) e = std::move(e).with_attr(k, v);
  return e;
}

Atom atom(std::string typ) { return Atom(std::move(typ)); }
Predicate pred(std::string a, ComparisonOperator op, Value v) {
  return Predicate{std::move(a), op, std::move(v)};
}
ReferencePredicate ref(std::string a, ComparisonOperator op, std::string b) {
  return ReferencePredicate{std::move(a), op, std::move(b)};
}
Capture cap(std::string name, std::string attr) {
  return Capture{std::move(name), std::move(attr)};
}

Transition window(std::int64_t max) { return Transition{max, {}}; }
Transition absent(Atom a, std::optional<std::int64_t> max = std::nullopt) {
  return Transition{max, {std::move(a)}};
}

Pattern pattern(Atom first, std::vector<std::pair<Atom, Transition>> rest = {}) {
  Pattern p;
  p.steps.push_back(Step{std::move(first), std::nullopt});
  for (auto& [a, t] : rest) p.steps.push_back(Step{std::move(a), std::move(t)});
  return p;
}

Bindings bindings(std::vector<Attr> entries) {
  Bindings b;
  for (auto& [k, v] : entries) b.set(k, v);
  return b;
}

NearMiss miss(std::size_t start, std::vector<std::size_t> path, std::string next,
              NearMissDetail detail, Bindings captures = {}, std::string partition = "p") {
  const std::size_t k = path.size();
  return NearMiss{
      std::move(partition), start, std::move(path), k, k, std::move(next), std::move(detail),
      std::move(captures)};
}

constexpr auto Eq = ComparisonOperator::Eq;
constexpr auto NotEq = ComparisonOperator::NotEq;
constexpr auto Gt = ComparisonOperator::Gt;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(ExplainRecords, ReasonAndFailureTexts) {
  EXPECT_EQ(reason_text(PredicateFailed{}), "predicate_failed");
  EXPECT_EQ(reason_text(AbsenceBlocked{}), "absence_blocked");
  EXPECT_EQ(reason_text(WindowExceeded{}), "window_exceeded");
  EXPECT_EQ(reason_text(NoSuccessor{}), "no_successor");
  EXPECT_EQ(NearMissDetail(NoSuccessor{}).index(), 3u);
  EXPECT_EQ(failure_type_text(PredicateMismatch{}), "predicate");
  EXPECT_EQ(failure_type_text(ReferenceMismatch{}), "reference");
  EXPECT_EQ(failure_type_text(CaptureConflict{}), "capture");
}

TEST(NearMisses, PredicateFailedListsEveryFailingClauseInOrder) {
  const std::vector<Event> events{
      ev("p", 0, "A", {{"user", "ann"}, {"amount", std::int64_t{50}}}),
      ev("p", 1, "B", {{"user", "bob"}, {"amount", std::int64_t{50}}, {"status", "ok"}}),
  };
  const Pattern p =
      pattern(atom("A").with_capture(cap("u", "user")).with_capture(cap("n", "amount")),
              {{atom("B")
                    .with_predicate(pred("amount", Gt, std::int64_t{100}))
                    .with_predicate(pred("status", Eq, "ok"))
                    .with_predicate(pred("region", Eq, "eu"))
                    .with_reference_predicate(ref("user", Eq, "u"))
                    .with_reference_predicate(ref("user", NotEq, "zz"))
                    .with_capture(cap("u", "user"))
                    .with_capture(cap("n", "nothing"))
                    .with_capture(cap("fresh", "user")),
                Transition{}}});
  const std::vector<PredicateFailure> failures{
      PredicateMismatch{"amount", Gt, std::int64_t{100}, std::int64_t{50}},
      PredicateMismatch{"region", Eq, "eu", std::nullopt},
      ReferenceMismatch{"user", Eq, "u", "ann", "bob"},
      ReferenceMismatch{"user", NotEq, "zz", std::nullopt, "bob"},
      CaptureConflict{"u", "user", "ann", "bob"},
      CaptureConflict{"n", "nothing", std::int64_t{50}, Null{}},
  };
  const Bindings captured = bindings({{"u", "ann"}, {"n", std::int64_t{50}}});
  EXPECT_EQ(near_misses(events, p),
            std::vector{miss(0, {0}, "B", PredicateFailed{failures, 1}, captured)});
}

struct ReasonCase {
  std::string name;
  std::vector<Event> events;
  Pattern pattern;
  std::vector<NearMiss> expected;
};

class Reasons : public testing::TestWithParam<ReasonCase> {};

TEST_P(Reasons, MatchExpectedRecords) {
  const auto& c = GetParam();
  EXPECT_EQ(near_misses(c.events, c.pattern), c.expected);
  EXPECT_EQ(describe(near_misses(c.events, c.pattern)),
            describe(literal::near_misses(c.events, c.pattern)));
}

const Atom kFailingB = atom("B").with_predicate(pred("ok", Eq, true));
const std::vector<PredicateFailure> kFailsOk{PredicateMismatch{"ok", Eq, true, std::nullopt}};

std::vector<ReasonCase> reason_cases() {
  return {
      {"AbsenceBlockedCandidateSatisfies",
       {ev("p", 0, "A"), ev("p", 1, "X"), ev("p", 2, "B")},
       pattern(atom("A"), {{atom("B"), absent(atom("X"))}}),
       {miss(0, {0}, "B", AbsenceBlocked{2, 1, "X", true})}},
      {"AbsenceBlockedCandidateFails",
       {ev("p", 0, "A"), ev("p", 1, "X"), ev("p", 2, "B")},
       pattern(atom("A"), {{kFailingB, absent(atom("X"))}}),
       {miss(0, {0}, "B", AbsenceBlocked{2, 1, "X", false})}},
      {"StartsSharingBindingsEachSeeTheirOwnBlocker",
       {ev("p", 0, "A"), ev("p", 1, "A"), ev("p", 2, "B"), ev("p", 3, "X"), ev("p", 4, "A"),
        ev("p", 5, "X"), ev("p", 6, "C")},
       pattern(atom("A"), {{atom("C"), absent(atom("X"))}}),
       {miss(0, {0}, "C", AbsenceBlocked{6, 3, "X", true}),
        miss(1, {1}, "C", AbsenceBlocked{6, 3, "X", true}),
        miss(4, {4}, "C", AbsenceBlocked{6, 5, "X", true})}},
      {"BlockerIsTheFirstForbiddenEvent",
       {ev("p", 0, "A"), ev("p", 1, "C"), ev("p", 2, "Y"), ev("p", 3, "X"), ev("p", 4, "B")},
       pattern(atom("A"), {{atom("B"), Transition{std::nullopt, {atom("X"), atom("Y")}}}}),
       {miss(0, {0}, "B", AbsenceBlocked{4, 2, "Y", true})}},
      {"WindowExceeded",
       {ev("p", 100, "A"), ev("p", 111, "B")},
       pattern(atom("A"), {{atom("B"), window(10)}}),
       {miss(0, {0}, "B", WindowExceeded{1, 11, 10})}},
      {"GapEqualToWindowIsInside",
       {ev("p", 100, "A"), ev("p", 110, "B")},
       pattern(atom("A"), {{kFailingB, window(10)}}),
       {miss(0, {0}, "B", PredicateFailed{kFailsOk, 1})}},
      {"NoWindowNothingIsOutside",
       {ev("p", kMin, "A"), ev("p", kMax, "B")},
       pattern(atom("A"), {{kFailingB, Transition{}}}),
       {miss(0, {0}, "B", PredicateFailed{kFailsOk, 1})}},
      {"GapIsExactAndSaturated",
       {ev("p", kMin, "A"), ev("p", 1, "B")},
       pattern(atom("A"), {{atom("B"), window(5)}}),
       {miss(0, {0}, "B", WindowExceeded{1, kMax, 5})}},
      {"NegativeWindowRefusesEqualTimestamps",
       {ev("p", 7, "A"), ev("p", 7, "B")},
       pattern(atom("A"), {{atom("B"), window(-1)}}),
       {miss(0, {0}, "B", WindowExceeded{1, 0, -1})}},
      {"NoLaterEventOfTheType",
       {ev("p", 0, "B"), ev("p", 1, "A"), ev("p", 2, "C")},
       pattern(atom("A"), {{atom("B"), window(100)}}),
       {miss(1, {1}, "B", NoSuccessor{})}},
      {"LastEventOfTheRunAndOtherPartitionIgnored",
       {ev("p", 0, "A"), ev("q", 1, "B")},
       pattern(atom("A"), {{atom("B"), Transition{}}}),
       {miss(0, {0}, "B", NoSuccessor{})}},
      {"CandidateRightAfterIsNeverBlocked",
       {ev("p", 0, "A"), ev("p", 1, "B"), ev("p", 2, "B")},
       pattern(atom("A"), {{kFailingB, absent(atom("B"))}}),
       {miss(0, {0}, "B", PredicateFailed{kFailsOk, 1})}},
      {"UnblockedInWindowCandidateOutranksLaterOnes",
       {ev("p", 0, "A"), ev("p", 1, "B"), ev("p", 2, "X"), ev("p", 3, "B"), ev("p", 50, "B")},
       pattern(atom("A"), {{kFailingB, absent(atom("X"), 10)}}),
       {miss(0, {0}, "B", PredicateFailed{kFailsOk, 1})}},
      {"BlockedOutranksLaterOutOfWindow",
       {ev("p", 0, "A"), ev("p", 1, "X"), ev("p", 2, "B"), ev("p", 50, "B")},
       pattern(atom("A"), {{atom("B"), absent(atom("X"), 10)}}),
       {miss(0, {0}, "B", AbsenceBlocked{2, 1, "X", true})}},
      {"EmptyFailureListFromTwoCapturesOfOneName",
       {ev("p", 0, "A", {{"a", std::int64_t{1}}}),
        ev("p", 1, "B", {{"a", std::int64_t{1}}, {"b", std::int64_t{2}}})},
       pattern(atom("A").with_capture(cap("u", "a")),
               {{atom("B").with_capture(cap("z", "a")).with_capture(cap("z", "b")), Transition{}}}),
       {miss(0, {0}, "B", PredicateFailed{{}, 1}, bindings({{"u", std::int64_t{1}}}))}},
      {"EqualDepthGoesToSmallerIndicesAndTheirBindings",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"v", std::int64_t{1}}}),
        ev("p", 2, "B", {{"v", std::int64_t{2}}}), ev("p", 3, "C", {{"v", std::int64_t{3}}})},
       pattern(atom("A"), {{atom("B").with_capture(cap("v", "v")), Transition{}},
                           {atom("C").with_reference_predicate(ref("v", Eq, "v")), Transition{}}}),
       {miss(
           0, {0, 1}, "C",
           PredicateFailed{{ReferenceMismatch{"v", Eq, "v", std::int64_t{1}, std::int64_t{3}}}, 3},
           bindings({{"v", std::int64_t{1}}}))}},
      {"LongerPathBeatsSmallerIndices",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"v", std::int64_t{1}}}),
        ev("p", 2, "B", {{"v", std::int64_t{2}}}), ev("p", 3, "C", {{"v", std::int64_t{2}}})},
       pattern(atom("A"), {{atom("B").with_capture(cap("v", "v")), Transition{}},
                           {atom("C").with_reference_predicate(ref("v", Eq, "v")), Transition{}},
                           {atom("D"), Transition{}}}),
       {miss(0, {0, 2, 3}, "D", NoSuccessor{}, bindings({{"v", std::int64_t{2}}}))}},
      {"NullAttributeIsPresentMissingIsAbsent",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"a", Null{}}}), ev("p", 2, "A"), ev("p", 3, "C"),
        ev("p", 4, "B")},
       pattern(atom("A"),
               {{atom("B").with_predicate(pred("a", Eq, std::int64_t{1})), Transition{}}}),
       {
           miss(0, {0}, "B",
                PredicateFailed{{PredicateMismatch{"a", Eq, std::int64_t{1}, Null{}}}, 1}),
           miss(2, {2}, "B",
                PredicateFailed{{PredicateMismatch{"a", Eq, std::int64_t{1}, std::nullopt}}, 4}),
       }},
      {"UnboundReferenceHasNoBoundValue",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"a", std::int64_t{1}}})},
       pattern(atom("A"), {{atom("B").with_reference_predicate(ref("a", Eq, "u")), Transition{}}}),
       {miss(
           0, {0}, "B",
           PredicateFailed{{ReferenceMismatch{"a", Eq, "u", std::nullopt, std::int64_t{1}}}, 1})}},
      {"MissingCapturedUnderNullIsNoConflict",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"k", std::int64_t{0}}})},
       pattern(
           atom("A").with_capture(cap("u", "a")),
           {{atom("B").with_capture(cap("u", "a")).with_predicate(pred("k", Eq, std::int64_t{1})),
             Transition{}}}),
       {miss(0, {0}, "B",
             PredicateFailed{{PredicateMismatch{"k", Eq, std::int64_t{1}, std::int64_t{0}}}, 1},
             bindings({{"u", Null{}}}))}},
      {"NestedStartsAreJudgedAlone",
       {ev("p", 0, "A", {{"id", std::int64_t{1}}}), ev("p", 1, "A", {{"id", std::int64_t{2}}}),
        ev("p", 2, "B", {{"id", std::int64_t{1}}}), ev("p", 3, "C")},
       pattern(atom("A").with_capture(cap("id", "id")),
               {{atom("B").with_reference_predicate(ref("id", Eq, "id")), Transition{}},
                {atom("C"), Transition{}}}),
       {miss(1, {1}, "B",
             PredicateFailed{{ReferenceMismatch{"id", Eq, "id", std::int64_t{2}, std::int64_t{1}}},
                             2},
             bindings({{"id", std::int64_t{2}}}))}},
      {"CompletesEvenWhereTheFirstSuccessorIsBlocked",
       {ev("p", 0, "A"), ev("p", 1, "B"), ev("p", 2, "X"), ev("p", 3, "B"), ev("p", 4, "C")},
       pattern(atom("A"), {{atom("B"), Transition{}}, {atom("C"), absent(atom("X"))}}),
       {}},
      {"CapturesOnlyReportedStayWithTheirStart",
       {ev("p", 0, "A", {{"id", std::int64_t{1}}}), ev("p", 1, "A", {{"id", std::int64_t{2}}}),
        ev("p", 2, "B", {{"id", std::int64_t{3}}}), ev("p", 3, "C")},
       pattern(
           atom("A").with_capture(cap("id", "id")),
           {{atom("B").with_capture(cap("seen", "id")), Transition{}}, {atom("D"), Transition{}}}),
       {miss(0, {0, 2}, "D", NoSuccessor{},
             bindings({{"id", std::int64_t{1}}, {"seen", std::int64_t{3}}})),
        miss(1, {1, 2}, "D", NoSuccessor{},
             bindings({{"id", std::int64_t{2}}, {"seen", std::int64_t{3}}}))}},
      {"FirstStepReferencePredicatesRejectEveryEvent",
       {ev("p", 0, "A", {{"a", std::int64_t{1}}}), ev("p", 1, "C")},
       pattern(atom("A").with_reference_predicate(ref("a", Eq, "a")), {{atom("B"), Transition{}}}),
       {}},
      {"OneStepPatternYieldsNothing", {ev("p", 0, "A")}, pattern(atom("A")), {}},
      {"EmptyEventsYieldNothing", {}, pattern(atom("A"), {{atom("B"), Transition{}}}), {}},
      {"RecordsFollowStartsAcrossPartitions",
       {ev("a", 0, "A"), ev("a", 1, "B"), ev("a", 2, "A"), ev("b", 0, "C"), ev("b", 1, "A")},
       pattern(atom("A"), {{atom("B"), Transition{}}}),
       {miss(2, {2}, "B", NoSuccessor{}, {}, "a"), miss(4, {4}, "B", NoSuccessor{}, {}, "b")}},
  };
}

INSTANTIATE_TEST_SUITE_P(NearMisses, Reasons, testing::ValuesIn(reason_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(NearMisses, FloatBindingsKeepTheirBits) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Event> events{
      ev("p", 0, "A", {{"a", 0.0}}),
      ev("p", 1, "A", {{"a", -0.0}}),
      ev("p", 2, "A", {{"a", nan}}),
      ev("p", 3, "B", {{"a", nan}}),
  };
  const Pattern p = pattern(atom("A").with_capture(cap("u", "a")),
                            {{atom("B").with_capture(cap("u", "a")), Transition{}}});
  const auto misses = near_misses(events, p);
  ASSERT_EQ(misses.size(), 3u);
  EXPECT_FALSE(std::signbit(std::get<double>(*misses[0].captures.find("u"))));
  EXPECT_TRUE(std::signbit(std::get<double>(*misses[1].captures.find("u"))));
  // NaN is identical to nothing, itself included.
  const auto& failed = std::get<PredicateFailed>(misses[2].detail);
  ASSERT_EQ(failed.failures.size(), 1u);
  EXPECT_TRUE(std::isnan(std::get<double>(std::get<CaptureConflict>(failed.failures[0]).bound)));
  EXPECT_EQ(describe(misses), describe(literal::near_misses(events, p)));
}

TEST(NearMisses, StructuralFaultsAreInternalErrors) {
  const std::vector<Event> events{ev("p", 0, "A")};
  Pattern first_with_transition = pattern(atom("A"));
  first_with_transition.steps[0].transition_from_previous = Transition{};
  Pattern later_without = pattern(atom("A"), {{atom("B"), Transition{}}});
  later_without.steps[1].transition_from_previous.reset();
  const std::vector<std::pair<Pattern, std::string>> cases{
      {Pattern{}, "patterns must contain at least one step"},
      {first_with_transition, "the first pattern step cannot have a transition"},
      {later_without, "every step after the first must have a transition"},
  };
  for (const auto& [p, message] : cases) {
    for (const auto& input : {events, std::vector<Event>{}}) {
      try {
        near_misses(input, p);
        ADD_FAILURE() << message;
      } catch (const InternalError& e) {
        EXPECT_EQ(e.what(), message);
      }
    }
  }
}

TEST(DeepestPath, GuardsItsPreconditions) {
  const std::vector<Event> events{ev("p", 0, "A"), ev("p", 1, "B")};
  Pattern p = pattern(atom("A"), {{atom("B"), Transition{}}});
  EXPECT_THROW(deepest_path(events, 2, p, 1, Reach{}), InternalError);
  try {
    deepest_path(events, 2, p, 1, Reach{});
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "path is non-empty");
  }
  p.steps[1].transition_from_previous.reset();
  try {
    deepest_path(events, 2, p, 1, Reach{{0}, {}});
    ADD_FAILURE();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "transition exists after first step");
  }
  EXPECT_EQ(deepest_path(events, 2, p, 2, Reach{{0}, {}}), (Reach{{0}, {}}));
}

TEST(DeepestPath, CompletePathCarriesItsFinalBindings) {
  const std::vector<Event> events{ev("p", 0, "A"), ev("p", 1, "B", {{"x", std::int64_t{4}}})};
  const Pattern p = pattern(atom("A"), {{atom("B").with_capture(cap("x", "x")), Transition{}}});
  EXPECT_EQ(deepest_path(events, 2, p, 1, Reach{{0}, {}}),
            (Reach{{0, 1}, bindings({{"x", std::int64_t{4}}})}));
  EXPECT_EQ(deepest_path(events, 1, p, 1, Reach{{0}, {}}), (Reach{{0}, {}}));
}

// Seed values the events never hold: a text the table lacks equals no
// event's text, a NaN nothing, and each is carried to the result as given.
TEST(DeepestPath, SeedValuesTheEventsNeverHold) {
  const std::vector<Event> events{ev("p", 0, "A"),
                                  ev("p", 1, "B", {{"u", std::string("x")}, {"f", 1.0}})};
  const Bindings seed = bindings({{"u", std::string("zzz")}, {"nan", std::nan("")}});
  const std::vector<std::pair<Atom, std::size_t>> cases{
      {atom("B").with_reference_predicate(ref("u", Eq, "u")), 1},
      {atom("B").with_reference_predicate(ref("u", NotEq, "u")), 2},
      {atom("B").with_capture(cap("u", "u")), 1},
      {atom("B").with_reference_predicate(ref("f", Eq, "nan")), 1},
      {atom("B").with_reference_predicate(ref("f", NotEq, "nan")).with_capture(cap("v", "u")), 2},
  };
  for (const auto& [next, reached] : cases) {
    const Pattern p = pattern(atom("A"), {{next, Transition{}}});
    const Reach found = deepest_path(events, 2, p, 1, Reach{{0}, seed});
    EXPECT_EQ(found.path.size(), reached) << describe(next);
    EXPECT_EQ(describe(found), describe(literal::deepest_path(events, 2, p, 1, Reach{{0}, seed})))
        << describe(next);
  }
}

// A pattern far longer than the stack could hold as recursion.
TEST(NearMisses, VeryLongPatternsAndPathsNeedNoRecursion) {
  constexpr std::size_t kSteps = 100000;
  constexpr std::size_t kEvents = 600;
  std::vector<std::pair<Atom, Transition>> rest(kSteps - 1, {atom("A"), Transition{}});
  const Pattern p = pattern(atom("A"), rest);
  std::vector<Event> events;
  for (std::size_t i = 0; i < kEvents; ++i)
    events.push_back(ev("p", static_cast<std::int64_t>(i), "A"));
  const auto misses = near_misses(events, p);
  ASSERT_EQ(misses.size(), kEvents);
  for (std::size_t s = 0; s < kEvents; ++s) {
    EXPECT_EQ(misses[s].reached_steps, kEvents - s);
    EXPECT_EQ(misses[s].indices.back(), kEvents - 1);
    EXPECT_EQ(misses[s].detail, NearMissDetail(NoSuccessor{}));
  }
  EXPECT_EQ(deepest_path(events, kEvents, p, 1, Reach{{0}, {}}).path.size(), kEvents);
}

}  // namespace
}  // namespace kestrel
