// The canonical-order check and the pairwise transition test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/atoms/transition.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/model.hpp"

namespace kestrel {
namespace {

using Op = ComparisonOperator;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Exact arithmetic to judge windows against.
__extension__ using Wide = __int128;

Value S(std::string text) { return Value(std::move(text)); }

Event event(std::int64_t ts, std::string typ,
            std::initializer_list<std::pair<const char*, Value>> attrs = {}) {
  Event out{"p", ts, std::move(typ), {}};
  for (const auto& [key, value] : attrs) out = std::move(out).with_attr(key, value);
  return out;
}

Transition window(std::optional<std::int64_t> max_elapsed) { return Transition{max_elapsed, {}}; }

Transition absence(std::initializer_list<Atom> atoms) {
  Transition transition;
  for (const Atom& atom : atoms) transition = std::move(transition).with_absence(atom);
  return transition;
}

// ---------------------------------------------------------------- order check

struct OrderRow {
  const char* name;
  std::vector<std::pair<std::string, std::int64_t>> events;
  bool sorted;
};

TEST(OrderCheck, Cases) {
  const OrderRow rows[] = {
      {"empty", {}, true},
      {"one event", {{"a", 5}}, true},
      {"equal ts", {{"a", 5}, {"a", 5}}, true},
      {"rising ts", {{"a", 4}, {"a", 5}}, true},
      {"falling ts", {{"a", 5}, {"a", 4}}, false},
      {"signed ts", {{"a", kMin}, {"a", -1}, {"a", 0}, {"a", kMax}}, true},
      {"max before min", {{"a", kMax}, {"a", kMin}}, false},
      {"partition returns", {{"a", 1}, {"b", 1}, {"a", 1}}, false},
      {"partitions descending", {{"b", 1}, {"b", 2}, {"a", 1}, {"a", 2}}, false},
      {"upper case first", {{"B", 1}, {"a", 1}}, true},
      {"upper case last", {{"a", 1}, {"B", 1}}, false},
      {"prefix first", {{"a", 1}, {"aa", 1}}, true},
      {"prefix last", {{"aa", 1}, {"a", 1}}, false},
      {"empty partition first", {{"", 9}, {"a", 1}}, true},
      {"ts may fall across partitions", {{"a", 5}, {"b", 1}}, true},
      {"bytes compare unsigned", {{"\x7f", 1}, {"\x80", 1}, {"\xc3\xa9", 1}}, true},
      {"bytes compare unsigned, reversed", {{"\xc3\xa9", 1}, {"z", 1}}, false},
      {"late fault", {{"a", 1}, {"a", 2}, {"b", 1}, {"b", 3}, {"b", 2}}, false},
  };
  for (const OrderRow& row : rows) {
    std::vector<Event> events;
    for (const auto& [partition, ts] : row.events) events.push_back({partition, ts, "T", {}});
    EXPECT_EQ(is_sorted_by_partition_time_index(events), row.sorted) << row.name;
  }
  // Equal timestamps are in order either way round, whatever the events hold.
  const std::vector<Event> one_way = {event(3, "A"), event(3, "B")};
  const std::vector<Event> other_way = {event(3, "B"), event(3, "A")};
  EXPECT_TRUE(is_sorted_by_partition_time_index(one_way));
  EXPECT_TRUE(is_sorted_by_partition_time_index(other_way));
}

TEST(OrderCheck, AcceptsExactlyWhatTheCanonicalSortLeavesAlone) {
  std::mt19937_64 rng(11);
  const char* partitions[] = {"", "a", "aa", "B", "\x80"};
  const std::int64_t stamps[] = {kMin, -1, 0, 1, kMax};
  int sorted_inputs = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<Event> events(rng() % 6);
    for (Event& e : events)
      e = {partitions[rng() % std::size(partitions)], stamps[rng() % std::size(stamps)], "T", {}};
    const std::vector<std::size_t> order = canonical_order(events);
    bool identity = true;
    for (std::size_t i = 0; i < order.size(); ++i) identity = identity && order[i] == i;
    ASSERT_EQ(is_sorted_by_partition_time_index(events), identity) << "round " << round;
    sorted_inputs += identity;

    std::vector<Event> sorted;
    for (std::size_t i : order) sorted.push_back(events[i]);
    ASSERT_TRUE(is_sorted_by_partition_time_index(sorted)) << "round " << round;
  }
  EXPECT_GT(sorted_inputs, 200);
}

// ---------------------------------------------------------------- windows

struct WindowRow {
  std::int64_t previous;
  std::int64_t candidate;
  std::optional<std::int64_t> max_elapsed;
  bool allowed;
};

TEST(Window, Cases) {
  const WindowRow rows[] = {
      {100, 110, 10, true},
      {100, 111, 10, false},
      {100, 110, std::nullopt, true},
      {100, 111, std::nullopt, true},
      {100, 100, 0, true},
      {100, 101, 0, false},
      {100, 100, -1, false},
      {100, 200, -1, false},
      {100, 100, kMin, false},
      {-5, 5, 10, true},
      {-5, 5, 9, false},
      {0, kMax, kMax, true},
      {kMin, -1, kMax, true},   // gap 2^63 - 1
      {kMin, 0, kMax, false},   // gap 2^63
      {-1, kMax, kMax, false},  // gap 2^63
      {kMin, kMin, 0, true},
      {kMax, kMax, 0, true},
      // The gap is 2^64 - 1; a wrapping difference would make it -1.
      {kMin, kMax, 10, false},
      {kMin, kMax, kMax, false},
      {kMin, kMax, std::nullopt, true},
  };
  for (const WindowRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.previous) + " -> " + std::to_string(row.candidate) +
                 " within " + (row.max_elapsed ? std::to_string(*row.max_elapsed) : "none"));
    EXPECT_EQ(within_window(row.max_elapsed, row.previous, row.candidate), row.allowed);
    const std::vector<Event> adjacent = {event(row.previous, "A"), event(row.candidate, "B")};
    EXPECT_EQ(transition_allows(adjacent, 0, 1, window(row.max_elapsed), {}), row.allowed);
    // Only the two events' timestamps count, not those in between.
    const std::vector<Event> apart = {event(row.previous, "A"), event(kMin, "Y"), event(kMax, "Y"),
                                      event(row.candidate, "B")};
    EXPECT_EQ(transition_allows(apart, 0, 3, window(row.max_elapsed), {}), row.allowed);
  }
}

TEST(Window, EarlierCandidateIsRefusedWhateverTheWindow) {
  for (std::optional<std::int64_t> max_elapsed :
       {std::optional<std::int64_t>{}, std::optional<std::int64_t>{0},
        std::optional<std::int64_t>{kMax}, std::optional<std::int64_t>{kMin}}) {
    const std::vector<Event> falling = {event(100, "A"), event(99, "B")};
    EXPECT_FALSE(transition_allows(falling, 0, 1, window(max_elapsed), {}));
    // A wrapping difference of kMin - kMax is 1.
    const std::vector<Event> extremes = {event(kMax, "A"), event(kMin, "B")};
    EXPECT_FALSE(transition_allows(extremes, 0, 1, window(max_elapsed), {}));
  }
}

TEST(Window, BackwardGapsAreComparedExactly) {
  const WindowRow rows[] = {
      {10, 5, -5, true},
      {10, 5, -6, false},
      {10, 5, 0, true},
      {0, kMin, kMin, true},
      {-1, kMin, kMin, false},
      {kMax, kMin, kMin, true},
      {kMax, kMin, kMin + 1, true},
      {kMax, kMin, std::nullopt, true},
  };
  for (const WindowRow& row : rows) {
    EXPECT_EQ(within_window(row.max_elapsed, row.previous, row.candidate), row.allowed)
        << row.previous << " -> " << row.candidate;
  }
}

TEST(SaturatingElapsed, Cases) {
  const std::pair<std::pair<std::int64_t, std::int64_t>, std::int64_t> rows[] = {
      {{0, 5}, 5},          {{5, 0}, -5},       {{7, 7}, 0},           {{kMin, kMax}, kMax},
      {{kMax, kMin}, kMin}, {{kMin, -1}, kMax}, {{kMin, 0}, kMax},     {{-1, kMax}, kMax},
      {{0, kMin}, kMin},    {{1, kMin}, kMin},  {{kMax, 0}, kMin + 1}, {{kMax, -1}, kMin},
      {{kMax, -2}, kMin},
  };
  for (const auto& [pair, expected] : rows) {
    EXPECT_EQ(saturating_elapsed(pair.first, pair.second), expected)
        << pair.first << " -> " << pair.second;
  }
}

TEST(Window, RandomGapsAgreeWithExactArithmetic) {
  std::mt19937_64 rng(5);
  const std::int64_t edges[] = {kMin, kMin + 1, -2, -1, 0, 1, 2, kMax - 1, kMax};
  auto pick = [&]() -> std::int64_t {
    switch (rng() % 3) {
      case 0: return edges[rng() % std::size(edges)];
      case 1: return static_cast<std::int64_t>(rng() % 41) - 20;
      default: return static_cast<std::int64_t>(rng());
    }
  };
  for (int round = 0; round < 100000; ++round) {
    const std::int64_t from = pick();
    const std::int64_t to = pick();
    const std::int64_t limit = pick();
    const Wide gap = Wide{to} - Wide{from};
    const Wide clamped = std::clamp<Wide>(gap, kMin, kMax);
    ASSERT_EQ(saturating_elapsed(from, to), static_cast<std::int64_t>(clamped))
        << from << " -> " << to;
    ASSERT_EQ(within_window(limit, from, to), gap <= limit)
        << from << " -> " << to << " within " << limit;
    ASSERT_TRUE(within_window(std::nullopt, from, to));
  }
}

// ---------------------------------------------------------------- absence

// The previous event is the first "A", the candidate the first "B" after it.
struct AbsenceRow {
  const char* name;
  std::vector<Event> events;
  Transition transition;
  Bindings bindings;
  bool allowed;
};

std::vector<Event> around(Event middle) {
  return {event(1, "A"), std::move(middle), event(3, "B")};
}

Bindings bound(const char* name, Value value) {
  Bindings out;
  out.set(name, std::move(value));
  return out;
}

TEST(Absence, Cases) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Atom x("X");
  const Atom failed_x = Atom("X").with_predicate({"status", Op::Eq, S("failed")});
  const Atom same_user_x = Atom("X").with_reference_predicate({"user", Op::Eq, "u"});
  const Atom capturing_x = Atom("X").with_capture({"u", "user"});
  const Event x_u1 = event(2, "X", {{"user", S("u1")}});
  const Event x_u2 = event(2, "X", {{"user", S("u2")}});
  const AbsenceRow rows[] = {
      {"no absence is plain succession", around(event(2, "X")), Transition{}, {}, true},
      {"X between blocks", around(event(2, "X")), absence({x}), {}, false},
      {"X after the candidate",
       {event(1, "A"), event(2, "B"), event(3, "X")},
       absence({x}),
       {},
       true},
      {"X before the previous",
       {event(0, "X"), event(1, "A"), event(2, "B")},
       absence({x}),
       {},
       true},
      {"last of several between blocks",
       {event(1, "A"), event(2, "Y"), event(3, "Y"), event(4, "X"), event(5, "B")},
       absence({x}),
       {},
       false},
      {"others between do not matter",
       {event(1, "A"), event(2, "Y"), event(3, "Z"), event(4, "B")},
       absence({x}),
       {},
       true},
      {"any absence atom blocks", around(event(2, "X")), absence({Atom("Q"), x}), {}, false},
      {"the candidate itself is not tested", around(event(2, "Y")), absence({Atom("B")}), {}, true},
      {"the previous itself is not tested", around(event(2, "Y")), absence({Atom("A")}), {}, true},
      {"adjacent events pass any absence",
       {event(1, "A"), event(2, "B")},
       absence({Atom("A"), Atom("B")}),
       {},
       true},
      {"adjacent events obey the window",
       {event(1, "A"), event(20, "B")},
       Transition{5, {}},
       {},
       false},
      {"adjacent events obey time order", {event(5, "A"), event(4, "B")}, Transition{}, {}, false},
      {"same ts, earlier in the list",
       {event(100, "A"), event(105, "X"), event(105, "B")},
       absence({x}),
       {},
       false},
      {"same ts, later in the list",
       {event(100, "A"), event(105, "B"), event(105, "X")},
       absence({x}),
       {},
       true},
      {"predicate spares others",
       around(event(2, "X", {{"status", S("ok")}})),
       absence({failed_x}),
       {},
       true},
      {"predicate blocks its own",
       around(event(2, "X", {{"status", S("failed")}})),
       absence({failed_x}),
       {},
       false},
      {"predicate on a missing attribute", around(event(2, "X")), absence({failed_x}), {}, true},
      {"reference blocks the bound value", around(x_u1), absence({same_user_x}),
       bound("u", S("u1")), false},
      {"reference spares other values", around(x_u2), absence({same_user_x}), bound("u", S("u1")),
       true},
      {"reference never blocks unbound", around(x_u1), absence({same_user_x}), {}, true},
      {"fresh capture blocks", around(x_u2), absence({capturing_x}), {}, false},
      {"conflicting capture spares", around(x_u2), absence({capturing_x}), bound("u", S("u1")),
       true},
      {"agreeing capture blocks", around(x_u1), absence({capturing_x}), bound("u", S("u1")), false},
      {"Null binding matches a missing attribute", around(event(2, "X")), absence({capturing_x}),
       bound("u", Value(Null{})), false},
      {"NaN binding never repeats", around(event(2, "X", {{"user", Value(nan)}})),
       absence({capturing_x}), bound("u", Value(nan)), true},
  };
  for (const AbsenceRow& row : rows) {
    const auto is_type = [](const char* typ) {
      return [typ](const Event& e) { return e.typ == typ; };
    };
    const auto previous = std::find_if(row.events.begin(), row.events.end(), is_type("A"));
    const auto candidate = std::find_if(previous, row.events.end(), is_type("B"));
    ASSERT_NE(candidate, row.events.end()) << row.name;
    EXPECT_EQ(transition_allows(row.events, previous - row.events.begin(),
                                candidate - row.events.begin(), row.transition, row.bindings),
              row.allowed)
        << row.name;
  }
}

TEST(TransitionAllows, RefusesImpossiblePairs) {
  const std::vector<Event> events = {event(1, "A"), event(2, "B")};
  EXPECT_THROW(transition_allows(events, 1, 1, Transition{}, {}), InternalError);
  EXPECT_THROW(transition_allows(events, 1, 0, Transition{}, {}), InternalError);
  EXPECT_THROW(transition_allows(events, 0, 2, Transition{}, {}), InternalError);
  EXPECT_THROW(transition_allows({}, 0, 1, Transition{}, {}), InternalError);
}

}  // namespace
}  // namespace kestrel
