#include "kestrel/explain.hpp"
#include "deepest_path.hpp"
#include "transition.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>

#include "kestrel/matcher.hpp"

namespace kestrel {

// Renders every field; floats by their bits, so NaN and -0.0 compare too.
std::string describe(const Value& value) {
  std::ostringstream out;
  std::visit([&](const auto& v) {
    using T = std::decay_t<decltype(v)>;
    if constexpr (std::is_same_v<T, std::string>) out << '"' << v << '"';
    if constexpr (std::is_same_v<T, std::int64_t>) out << "i" << v;
    if constexpr (std::is_same_v<T, double>) out << "f" << v << "#" << std::hex << std::bit_cast<std::uint64_t>(v);
    if constexpr (std::is_same_v<T, bool>) out << (v ? "true" : "false");
    if constexpr (std::is_same_v<T, Null>) out << "null";
  }, value);
  return out.str();
}

std::string describe(const std::optional<Value>& value) { return value ? describe(*value) : "absent"; }

std::string describe(const Bindings& bindings) {
  std::string out = "{";
  for (const auto& [name, value] : bindings) out += name + ":" + describe(value) + " ";
  return out + "}";
}

std::string describe(const PredicateFailure& failure) {
  std::ostringstream out;
  out << failure_type_text(failure) << "(";
  if (const auto* p = std::get_if<PredicateMismatch>(&failure)) {
    out << p->attribute << operator_symbol(p->op) << describe(p->expected) << " got " << describe(p->actual);
  } else if (const auto* r = std::get_if<ReferenceMismatch>(&failure)) {
    out << r->attribute << operator_symbol(r->op) << "$" << r->binding << "=" << describe(r->bound)
        << " got " << describe(r->actual);
  } else {
    const auto& c = std::get<CaptureConflict>(failure);
    out << c.name << "<-" << c.attribute << " bound " << describe(c.bound) << " got " << describe(c.actual);
  }
  return out.str() + ")";
}

std::string describe(const NearMissDetail& detail) {
  std::ostringstream out;
  out << reason_text(detail) << "(";
  if (const auto* p = std::get_if<PredicateFailed>(&detail)) {
    out << p->event_index << ";";
    for (const auto& failure : p->failures) out << " " << describe(failure);
  } else if (const auto* a = std::get_if<AbsenceBlocked>(&detail)) {
    out << a->candidate_index << " by " << a->blocking_index << " " << a->blocking_event_type << " "
        << a->candidate_satisfies;
  } else if (const auto* w = std::get_if<WindowExceeded>(&detail)) {
    out << w->candidate_index << " gap " << w->gap << " max " << w->max_elapsed;
  }
  return out.str() + ")";
}

std::string describe(const NearMiss& m) {
  std::ostringstream out;
  out << m.partition << " start " << m.start_index << " path [";
  for (std::size_t i : m.indices) out << i << " ";
  out << "] reached " << m.reached_steps << " next " << m.next_step << " " << m.next_event_type << " "
      << describe(m.detail) << " " << describe(m.captures);
  return out.str();
}

std::string describe(const std::vector<NearMiss>& misses) {
  std::string out;
  for (const auto& m : misses) out += describe(m) + "\n";
  return out;
}

void PrintTo(const NearMiss& m, std::ostream* os) { *os << describe(m); }
void PrintTo(const Reach& r, std::ostream* os) {
  *os << "[";
  for (std::size_t i : r.path) *os << i << " ";
  *os << "] " << describe(r.bindings);
}

namespace {

// The search exactly as written: every viable path of every start. Its
// recursion is as deep as the pattern, which stays tiny here.
namespace literal {

Reach deepest_path(std::span<const Event> events, std::size_t end, const Pattern& pattern, std::size_t step,
                   Reach reach) {
  if (step == pattern.steps.size()) return reach;
  const std::size_t last = reach.path.back();
  const Transition& transition = *pattern.steps[step].transition_from_previous;
  std::optional<Reach> best;
  for (std::size_t c = last + 1; c < end; ++c) {
    if (!transition_allows(events, last, c, transition, reach.bindings)) continue;
    auto bindings = pattern.steps[step].atom.evaluate(events[c], reach.bindings);
    if (!bindings) continue;
    Reach extended{reach.path, *bindings};
    extended.path.push_back(c);
    Reach result = literal::deepest_path(events, end, pattern, step + 1, std::move(extended));
    if (!best || result.path.size() > best->path.size() ||
        (result.path.size() == best->path.size() && result.path < best->path)) {
      best = std::move(result);
    }
  }
  return best ? *best : reach;
}

bool same_content(const Value& a, const Value& b) {
  if (a.index() != b.index()) return false;
  if (const auto* x = std::get_if<std::string>(&a)) return *x == std::get<std::string>(b);
  if (const auto* x = std::get_if<std::int64_t>(&a)) return *x == std::get<std::int64_t>(b);
  if (const auto* x = std::get_if<double>(&a)) return *x == std::get<double>(b);
  if (const auto* x = std::get_if<bool>(&a)) return *x == std::get<bool>(b);
  return true;
}

std::optional<Value> lookup(const ValueMap& map, const std::string& key) {
  const Value* v = map.find(key);
  return v ? std::optional<Value>(*v) : std::nullopt;
}

std::vector<PredicateFailure> failures(const Atom& atom, const Event& e, const Bindings& b) {
  std::vector<PredicateFailure> out;
  for (const auto& p : atom.predicates) {
    auto actual = lookup(e.attrs, p.attribute);
    if (!actual || !matches(p.op, *actual, p.value)) out.push_back(PredicateMismatch{p.attribute, p.op, p.value, actual});
  }
  for (const auto& r : atom.reference_predicates) {
    auto actual = lookup(e.attrs, r.attribute);
    auto bound = lookup(b, r.binding);
    if (!actual || !bound || !matches(r.op, *actual, *bound)) {
      out.push_back(ReferenceMismatch{r.attribute, r.op, r.binding, bound, actual});
    }
  }
  if (!b.empty()) {
    for (const auto& c : atom.captures) {
      auto bound = lookup(b, c.name);
      if (!bound) continue;
      Value would = lookup(e.attrs, c.attribute).value_or(Null{});
      if (!same_content(*bound, would)) out.push_back(CaptureConflict{c.name, c.attribute, *bound, would});
    }
  }
  return out;
}

std::vector<NearMiss> near_misses(std::span<const Event> events, const Pattern& pattern) {
  std::vector<NearMiss> out;
  for (std::size_t begin = 0, end = 0; begin < events.size(); begin = end) {
    end = begin;
    while (end < events.size() && events[end].partition == events[begin].partition) ++end;
    for (std::size_t s = begin; s < end; ++s) {
      auto start = pattern.steps[0].atom.evaluate(events[s], Bindings{});
      if (!start) continue;
      Reach r = literal::deepest_path(events, end, pattern, 1, Reach{{s}, *start});
      if (r.path.size() == pattern.steps.size()) continue;
      const std::size_t k = r.path.size();
      const Step& n = pattern.steps[k];
      const Transition& t = *n.transition_from_previous;
      const std::size_t last = r.path.back();
      const Bindings& b = r.bindings;
      std::optional<WindowExceeded> window;
      std::optional<AbsenceBlocked> absence;
      std::optional<NearMissDetail> detail;
      for (std::size_t c = last + 1; c < end && !detail; ++c) {
        if (events[c].typ != n.atom.event_type) continue;
        const __int128 gap = static_cast<__int128>(events[c].ts) - events[last].ts;
        if (t.max_elapsed && gap > *t.max_elapsed) {
          const __int128 top = std::numeric_limits<std::int64_t>::max();
          const __int128 bottom = std::numeric_limits<std::int64_t>::min();
          const auto saturated = static_cast<std::int64_t>(std::clamp(gap, bottom, top));
          if (!window) window = WindowExceeded{c, saturated, *t.max_elapsed};
          continue;
        }
        if (c > last + 1 && !t.absence.empty()) {
          std::optional<std::size_t> blocking;
          for (std::size_t e = last + 1; e < c && !blocking; ++e) {
            for (const Atom& a : t.absence) {
              if (a.evaluate(events[e], b)) {
                blocking = e;
                break;
              }
            }
          }
          if (blocking) {
            if (!absence) {
              absence = AbsenceBlocked{c, *blocking, events[*blocking].typ, n.atom.evaluate(events[c], b).has_value()};
            }
            continue;
          }
        }
        detail = PredicateFailed{failures(n.atom, events[c], b), c};
      }
      if (!detail) {
        if (absence) {
          detail = *absence;
        } else if (window) {
          detail = *window;
        } else {
          detail = NoSuccessor{};
        }
      }
      out.push_back(NearMiss{events[s].partition, s, r.path, k, k, n.atom.event_type, *detail, b});
    }
  }
  return out;
}

}  // namespace literal

using Attr = std::pair<std::string, Value>;

Event ev(std::string partition, std::int64_t ts, std::string typ, std::vector<Attr> attrs = {}) {
  Event e{std::move(partition), ts, std::move(typ), {}};
  for (auto& [k, v] : attrs) e = std::move(e).with_attr(k, v);
  return e;
}

Atom atom(std::string typ) { return Atom(std::move(typ)); }
Predicate pred(std::string a, ComparisonOperator op, Value v) { return Predicate{std::move(a), op, std::move(v)}; }
ReferencePredicate ref(std::string a, ComparisonOperator op, std::string b) {
  return ReferencePredicate{std::move(a), op, std::move(b)};
}
Capture cap(std::string name, std::string attr) { return Capture{std::move(name), std::move(attr)}; }

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

NearMiss miss(std::size_t start, std::vector<std::size_t> path, std::string next, NearMissDetail detail,
              Bindings captures = {}, std::string partition = "p") {
  const std::size_t k = path.size();
  return NearMiss{std::move(partition), start, std::move(path), k, k, std::move(next), std::move(detail),
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
  const Pattern p = pattern(atom("A").with_capture(cap("u", "user")).with_capture(cap("n", "amount")),
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
  EXPECT_EQ(describe(near_misses(c.events, c.pattern)), describe(literal::near_misses(c.events, c.pattern)));
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
       {ev("p", 0, "A"), ev("p", 1, "A"), ev("p", 2, "B"), ev("p", 3, "X"), ev("p", 4, "A"), ev("p", 5, "X"),
        ev("p", 6, "C")},
       pattern(atom("A"), {{atom("C"), absent(atom("X"))}}),
       {miss(0, {0}, "C", AbsenceBlocked{6, 3, "X", true}), miss(1, {1}, "C", AbsenceBlocked{6, 3, "X", true}),
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
       {ev("p", 0, "A", {{"a", std::int64_t{1}}}), ev("p", 1, "B", {{"a", std::int64_t{1}}, {"b", std::int64_t{2}}})},
       pattern(atom("A").with_capture(cap("u", "a")),
               {{atom("B").with_capture(cap("z", "a")).with_capture(cap("z", "b")), Transition{}}}),
       {miss(0, {0}, "B", PredicateFailed{{}, 1}, bindings({{"u", std::int64_t{1}}}))}},
      {"EqualDepthGoesToSmallerIndicesAndTheirBindings",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"v", std::int64_t{1}}}), ev("p", 2, "B", {{"v", std::int64_t{2}}}),
        ev("p", 3, "C", {{"v", std::int64_t{3}}})},
       pattern(atom("A"), {{atom("B").with_capture(cap("v", "v")), Transition{}},
                           {atom("C").with_reference_predicate(ref("v", Eq, "v")), Transition{}}}),
       {miss(0, {0, 1}, "C",
             PredicateFailed{{ReferenceMismatch{"v", Eq, "v", std::int64_t{1}, std::int64_t{3}}}, 3},
             bindings({{"v", std::int64_t{1}}}))}},
      {"LongerPathBeatsSmallerIndices",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"v", std::int64_t{1}}}), ev("p", 2, "B", {{"v", std::int64_t{2}}}),
        ev("p", 3, "C", {{"v", std::int64_t{2}}})},
       pattern(atom("A"), {{atom("B").with_capture(cap("v", "v")), Transition{}},
                           {atom("C").with_reference_predicate(ref("v", Eq, "v")), Transition{}},
                           {atom("D"), Transition{}}}),
       {miss(0, {0, 2, 3}, "D", NoSuccessor{}, bindings({{"v", std::int64_t{2}}}))}},
      {"NullAttributeIsPresentMissingIsAbsent",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"a", Null{}}}), ev("p", 2, "A"), ev("p", 3, "C"), ev("p", 4, "B")},
       pattern(atom("A"), {{atom("B").with_predicate(pred("a", Eq, std::int64_t{1})), Transition{}}}),
       {miss(0, {0}, "B", PredicateFailed{{PredicateMismatch{"a", Eq, std::int64_t{1}, Null{}}}, 1}),
        miss(2, {2}, "B", PredicateFailed{{PredicateMismatch{"a", Eq, std::int64_t{1}, std::nullopt}}, 4}),
       }},
      {"UnboundReferenceHasNoBoundValue",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"a", std::int64_t{1}}})},
       pattern(atom("A"), {{atom("B").with_reference_predicate(ref("a", Eq, "u")), Transition{}}}),
       {miss(0, {0}, "B", PredicateFailed{{ReferenceMismatch{"a", Eq, "u", std::nullopt, std::int64_t{1}}}, 1})}},
      {"MissingCapturedUnderNullIsNoConflict",
       {ev("p", 0, "A"), ev("p", 1, "B", {{"k", std::int64_t{0}}})},
       pattern(atom("A").with_capture(cap("u", "a")),
               {{atom("B").with_capture(cap("u", "a")).with_predicate(pred("k", Eq, std::int64_t{1})), Transition{}}}),
       {miss(0, {0}, "B", PredicateFailed{{PredicateMismatch{"k", Eq, std::int64_t{1}, std::int64_t{0}}}, 1},
             bindings({{"u", Null{}}}))}},
      {"NestedStartsAreJudgedAlone",
       {ev("p", 0, "A", {{"id", std::int64_t{1}}}), ev("p", 1, "A", {{"id", std::int64_t{2}}}),
        ev("p", 2, "B", {{"id", std::int64_t{1}}}), ev("p", 3, "C")},
       pattern(atom("A").with_capture(cap("id", "id")),
               {{atom("B").with_reference_predicate(ref("id", Eq, "id")), Transition{}}, {atom("C"), Transition{}}}),
       {miss(1, {1}, "B", PredicateFailed{{ReferenceMismatch{"id", Eq, "id", std::int64_t{2}, std::int64_t{1}}}, 2},
             bindings({{"id", std::int64_t{2}}}))}},
      {"CompletesEvenWhereTheFirstSuccessorIsBlocked",
       {ev("p", 0, "A"), ev("p", 1, "B"), ev("p", 2, "X"), ev("p", 3, "B"), ev("p", 4, "C")},
       pattern(atom("A"), {{atom("B"), Transition{}}, {atom("C"), absent(atom("X"))}}),
       {}},
      {"CapturesOnlyReportedStayWithTheirStart",
       {ev("p", 0, "A", {{"id", std::int64_t{1}}}), ev("p", 1, "A", {{"id", std::int64_t{2}}}),
        ev("p", 2, "B", {{"id", std::int64_t{3}}}), ev("p", 3, "C")},
       pattern(atom("A").with_capture(cap("id", "id")),
               {{atom("B").with_capture(cap("seen", "id")), Transition{}}, {atom("D"), Transition{}}}),
       {miss(0, {0, 2}, "D", NoSuccessor{}, bindings({{"id", std::int64_t{1}}, {"seen", std::int64_t{3}}})),
        miss(1, {1, 2}, "D", NoSuccessor{}, bindings({{"id", std::int64_t{2}}, {"seen", std::int64_t{3}}}))}},
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
      ev("p", 0, "A", {{"a", 0.0}}), ev("p", 1, "A", {{"a", -0.0}}), ev("p", 2, "A", {{"a", nan}}),
      ev("p", 3, "B", {{"a", nan}}),
  };
  const Pattern p = pattern(atom("A").with_capture(cap("u", "a")), {{atom("B").with_capture(cap("u", "a")), Transition{}}});
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
  EXPECT_EQ(deepest_path(events, 2, p, 1, Reach{{0}, {}}), (Reach{{0, 1}, bindings({{"x", std::int64_t{4}}})}));
  EXPECT_EQ(deepest_path(events, 1, p, 1, Reach{{0}, {}}), (Reach{{0}, {}}));
}

// A pattern far longer than the stack could hold as recursion.
TEST(NearMisses, VeryLongPatternsAndPathsNeedNoRecursion) {
  constexpr std::size_t kSteps = 100000;
  constexpr std::size_t kEvents = 600;
  std::vector<std::pair<Atom, Transition>> rest(kSteps - 1, {atom("A"), Transition{}});
  const Pattern p = pattern(atom("A"), rest);
  std::vector<Event> events;
  for (std::size_t i = 0; i < kEvents; ++i) events.push_back(ev("p", static_cast<std::int64_t>(i), "A"));
  const auto misses = near_misses(events, p);
  ASSERT_EQ(misses.size(), kEvents);
  for (std::size_t s = 0; s < kEvents; ++s) {
    EXPECT_EQ(misses[s].reached_steps, kEvents - s);
    EXPECT_EQ(misses[s].indices.back(), kEvents - 1);
    EXPECT_EQ(misses[s].detail, NearMissDetail(NoSuccessor{}));
  }
  EXPECT_EQ(deepest_path(events, kEvents, p, 1, Reach{{0}, {}}).path.size(), kEvents);
}

// Random small inputs: the polynomial search must agree with the literal one
// on every field of every record, and the records must keep their invariants.
class RandomInput {
 public:
  explicit RandomInput(std::uint64_t seed) : rng_(seed) {}

  std::vector<Event> events() {
    std::vector<Event> out;
    const std::size_t partitions = pick(1, 3);
    for (std::size_t p = 0; p < partitions; ++p) {
      const bool extreme = pick(0, 9) == 0;
      std::int64_t ts = extreme ? kMin : static_cast<std::int64_t>(pick(0, 3));
      const std::size_t n = pick(0, 14);
      for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) ts += static_cast<std::int64_t>(pick(0, 3));
        // Partitions spanning the whole range test exact, saturated gaps.
        if (extreme && i + 1 == n) ts = kMax;
        Event e = ev(std::string(1, static_cast<char>('a' + p)), ts, type());
        for (const char* attr : {"a", "b"}) {
          if (pick(0, 3) != 0) e = std::move(e).with_attr(attr, value());
        }
        out.push_back(std::move(e));
      }
    }
    return out;
  }

  // Half the patterns have few clauses, so that their paths run deep.
  Pattern pattern() {
    lenient_ = pick(0, 1) == 0;
    Pattern p;
    const std::size_t steps = pick(0, 9) == 0 ? 1 : pick(2, 4);
    for (std::size_t i = 0; i < steps; ++i) {
      std::optional<Transition> transition;
      if (i > 0) {
        transition = Transition{};
        if (pick(0, 2) == 0) transition->max_elapsed = std::array<std::int64_t, 6>{-1, 0, 2, 5, 10, kMax}[pick(lenient_ ? 3 : 0, 5)];
        for (std::size_t a = clauses(3); a > 0; --a) transition->absence.push_back(random_atom(true));
      }
      Atom a = random_atom(false);
      if (i == 0) {
        // Reference predicates on the first step reject every event; keep a few.
        if (pick(0, 9) != 0) a.reference_predicates.clear();
        if (pick(0, 3) != 0) a.event_type = "A";
      }
      p.steps.push_back(Step{std::move(a), transition});
    }
    return p;
  }

 private:
  std::size_t pick(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(rng_);
  }
  std::string type() { return pick(0, 4) == 0 ? "X" : std::string(1, "ABC"[pick(0, lenient_ ? 1 : 2)]); }
  std::string name() { return std::string(1, "uvw"[pick(0, 2)]); }
  std::string attribute() { return std::string(1, "abc"[pick(0, 2)]); }
  ComparisonOperator op() { return static_cast<ComparisonOperator>(pick(0, 5)); }
  // Mostly small integers, so that clauses hold often enough for deep paths.
  Value value() {
    const std::array<Value, 8> rare{1.0, -0.0, 0.0, std::numeric_limits<double>::quiet_NaN(), "x", "y", true, Null{}};
    if (pick(0, 3) != 0) return static_cast<std::int64_t>(pick(0, 1));
    return rare[pick(0, rare.size() - 1)];
  }
  // Each further clause (at most two) comes with a chance of one in `odds`.
  std::size_t clauses(std::size_t odds) {
    std::size_t n = 0;
    while (n < 2 && pick(1, odds) == 1) ++n;
    return n;
  }

  Atom random_atom(bool forbidden) {
    const std::size_t odds = lenient_ ? 8 : 2;
    Atom a(forbidden && pick(0, 3) != 0 ? "X" : type());
    for (std::size_t n = clauses(odds); n > 0; --n) a = std::move(a).with_predicate(pred(attribute(), op(), value()));
    for (std::size_t n = clauses(odds * 2); n > 0; --n) a = std::move(a).with_reference_predicate(ref(attribute(), op(), name()));
    for (std::size_t n = clauses(odds); n > 0; --n) a = std::move(a).with_capture(cap(name(), attribute()));
    return a;
  }

  std::mt19937_64 rng_;
  bool lenient_ = false;
};

std::size_t partition_end(std::span<const Event> events, std::size_t begin) {
  std::size_t end = begin;
  while (end < events.size() && events[end].partition == events[begin].partition) ++end;
  return end;
}

void expect_invariants(std::span<const Event> events, const Pattern& p, const std::vector<NearMiss>& misses) {
  for (std::size_t i = 0; i < misses.size(); ++i) {
    const NearMiss& m = misses[i];
    if (i > 0) EXPECT_LT(misses[i - 1].start_index, m.start_index);
    ASSERT_GE(m.indices.size(), 1u);
    EXPECT_LT(m.indices.size(), p.steps.size());
    EXPECT_EQ(m.indices.front(), m.start_index);
    for (std::size_t j = 0; j < m.indices.size(); ++j) {
      if (j > 0) EXPECT_LT(m.indices[j - 1], m.indices[j]);
      EXPECT_EQ(events[m.indices[j]].partition, m.partition);
    }
    // The candidate of every reason but NoSuccessor follows the path in its
    // partition and has the next step's type.
    const std::size_t last = m.indices.back();
    std::optional<std::size_t> candidate;
    if (const auto* d = std::get_if<PredicateFailed>(&m.detail)) candidate = d->event_index;
    if (const auto* d = std::get_if<WindowExceeded>(&m.detail)) {
      candidate = d->candidate_index;
      EXPECT_GE(d->gap, d->max_elapsed);
    }
    if (const auto* d = std::get_if<AbsenceBlocked>(&m.detail)) {
      candidate = d->candidate_index;
      EXPECT_LT(last, d->blocking_index);
      EXPECT_LT(d->blocking_index, d->candidate_index);
    }
    if (candidate) {
      EXPECT_GT(*candidate, last);
      EXPECT_EQ(events[*candidate].partition, m.partition);
      EXPECT_EQ(events[*candidate].typ, m.next_event_type);
    }
  }
}

TEST(NearMissesProperty, AgreesWithTheLiteralSearch) {
  for (std::uint64_t seed = 0; seed < 4000; ++seed) {
    RandomInput random(seed);
    const Pattern p = random.pattern();
    const std::vector<Event> events = random.events();
    const auto fast = near_misses(events, p);
    ASSERT_EQ(describe(fast), describe(literal::near_misses(events, p))) << "seed " << seed;
    expect_invariants(events, p, fast);
    // deepest_path alone, from every start, at step 1 and at a later step.
    std::size_t run_end = 0;
    for (std::size_t s = 0; s < events.size(); ++s) {
      if (s == run_end) run_end = partition_end(events, s);
      auto start = p.steps[0].atom.evaluate(events[s], Bindings{});
      if (!start) continue;
      const Reach seeded{{s}, *start};
      for (const std::size_t step : {std::size_t{1}, 1 + (seed + s) % p.steps.size()}) {
        ASSERT_EQ(testing::PrintToString(deepest_path(events, run_end, p, step, seeded)),
                  testing::PrintToString(literal::deepest_path(events, run_end, p, step, seeded)))
            << "seed " << seed << " start " << s << " step " << step;
      }
    }
  }
}

}  // namespace
}  // namespace kestrel
