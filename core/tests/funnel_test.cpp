#include "kestrel/funnel.hpp"
#include "kestrel/parser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrel {
namespace {

std::string shown(const std::optional<double>& number) {
  if (!number) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", *number);
  return text;
}

// One line per step: group key, step, type, entered, drops by reason,
// conversion, p50, p90.
std::vector<std::string> lines(const std::vector<FunnelGroup>& groups) {
  std::vector<std::string> out;
  for (const FunnelGroup& group : groups) {
    std::string key = "*";
    if (group.key) key = std::get<std::string>(*group.key);
    for (const FunnelStep& s : group.steps) {
      out.push_back(key + " " + std::to_string(s.step) + " " + s.event_type + " " +
                    std::to_string(s.entered) + " " + std::to_string(s.dropped[0]) + "," +
                    std::to_string(s.dropped[1]) + "," + std::to_string(s.dropped[2]) + "," +
                    std::to_string(s.dropped[3]) + " " + shown(s.conversion) + " " +
                    shown(s.time_p50) + " " + shown(s.time_p90));
    }
  }
  return out;
}

Event ev(std::string partition, std::int64_t ts, std::string type,
         std::vector<std::pair<std::string, Value>> attrs = {}) {
  Event event{std::move(partition), ts, std::move(type), {}};
  for (auto& [name, value] : attrs) event.attrs.set(name, value);
  return event;
}

// The pieces as rows of a table of their own, in input order as a sorted
// chunk's are, each with its first start's partition, timestamp and `g`,
// read back.
FunnelPieces read_back(const EventTable& table, const FunnelPieces& pieces,
                       std::optional<std::size_t> by) {
  std::vector<std::string> columns{"g", kPieceDepth, kPieceReason};
  for (std::size_t k = 2; k <= pieces.steps; ++k)
    columns.push_back(kPieceTimePrefix + std::to_string(k));
  std::vector<std::size_t> order(pieces.pieces.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return pieces.pieces[a].position < pieces.pieces[b].position;
  });
  std::vector<Event> rows;
  for (const std::size_t i : order) {
    const FunnelPiece& piece = pieces.pieces[i];
    const auto row = static_cast<std::size_t>(
        std::find(table.positions.begin(), table.positions.end(), piece.position) -
        table.positions.begin());
    Event& event = rows.emplace_back(
        ev(std::string(table.texts.text(table.partitions[row])), table.timestamps[row], "a"));
    event.attrs.set(kPieceDepth, static_cast<std::int64_t>(piece.depth));
    event.attrs.set(kPieceReason, static_cast<std::int64_t>(piece.reason));
    if (std::optional<Value> key = by ? table.value_of(table.columns[*by][row]) : std::nullopt) {
      event.attrs.set("g", *key);
    }
    for (std::size_t k = 2; k <= pieces.steps; ++k) {
      if (const std::optional<std::int64_t> time = pieces.time(i, k)) {
        event.attrs.set(columns[k + 1], *time);
      }
    }
  }
  const EventTable read = EventTable::from_events(rows, columns);
  Result<FunnelPieces> out =
      pieces_of_table(read, by ? read.column_of("g") : std::nullopt, pieces.steps);
  EXPECT_TRUE(out.ok()) << out.error();
  return std::move(out).value();
}

class Funnel : public testing::Test {
 protected:
  void SetUp() override {
    const std::string x = "x", y = "y";
    const std::vector<Event> events{
        // p1: starts of depth 1 (predicate), 2 (window) and 2 (predicate).
        ev("p1", 0, "a", {{"g", x}}), ev("p1", 5, "b", {{"ok", std::int64_t{0}}}),
        ev("p1", 12, "a", {{"g", x}}), ev("p1", 20, "b", {{"ok", std::int64_t{1}}}),
        ev("p1", 26, "a", {{"g", y}}), ev("p1", 27, "b", {{"ok", std::int64_t{1}}}),
        ev("p1", 29, "c", {{"v", std::int64_t{0}}}),
        // p2: a start blocked by x, and one that completes.
        ev("p2", 0, "a", {{"g", y}}), ev("p2", 1, "x"), ev("p2", 2, "b", {{"ok", std::int64_t{1}}}),
        ev("p2", 3, "a", {{"g", x}}), ev("p2", 4, "b", {{"ok", std::int64_t{1}}}),
        ev("p2", 6, "c", {{"v", std::int64_t{1}}}),
        // p3: no b follows.
        ev("p3", 7, "a", {{"g", x}}), ev("p3", 9, "c", {{"v", std::int64_t{5}}}),
        // p4: a start without g, no c follows.
        ev("p4", 0, "a"), ev("p4", 3, "b", {{"ok", std::int64_t{1}}})};
    // Columns beyond those the pattern reads, and positions that run
    // backwards, as if sorted from reversed input.
    table_ = EventTable::from_events(events, std::vector<std::string>{"unused", "v", "g", "ok"});
    for (std::size_t row = 0; row < table_.size(); ++row) {
      table_.positions[row] = table_.size() - 1 - row;
    }
    const auto pattern = parse_pattern("a[g as $g] -[<=10, no x]-> b[ok == 1] -[<=5]-> c[v > 0]");
    ASSERT_TRUE(pattern.ok()) << pattern.error();
    pattern_ = pattern.value();
  }

  EventTable table_;
  Pattern pattern_;
};

TEST_F(Funnel, CountsEachPartitionAtItsDeepestStart) {
  // p1 stops at b by its earliest deepest start's window, p2 completes, p3
  // stops at a, p4 at b. Times to b: 8, 1, 3; to c: 3.
  const std::vector<std::string> expected{
      "* 1 a 4 0,0,0,1 - - -",
      "* 2 b 3 0,0,1,1 0.75 3 7",
      "* 3 c 1 0,0,0,0 0.333333 3 3",
  };
  EXPECT_EQ(lines(funnel(table_, pattern_)), expected);
  // One outcome per start whatever the mode.
  pattern_.consumption = MatchConsumption::ExhaustivePerStart;
  EXPECT_EQ(lines(funnel(table_, pattern_)), expected);
}

TEST_F(Funnel, GroupsStartsByTheirStartEventsCell) {
  // Groups in order of their first start's position: g missing (p4, last
  // row), x, then y.
  EXPECT_EQ(lines(funnel(table_, pattern_, table_.column_of("g"))),
            (std::vector<std::string>{
                "* 1 a 1 0,0,0,0 - - -",
                "* 2 b 1 0,0,0,1 1 3 3",
                "* 3 c 0 0,0,0,0 0 - -",
                "x 1 a 3 0,0,0,1 - - -",
                "x 2 b 2 0,0,1,0 0.666667 4.5 7.3",
                "x 3 c 1 0,0,0,0 0.5 3 3",
                "y 1 a 2 0,1,0,0 - - -",
                "y 2 b 1 1,0,0,0 0.5 1 1",
                "y 3 c 0 0,0,0,0 0 - -",
            }));
}

// Read back from a table of their own, a funnel's pieces reduce to it.
TEST_F(Funnel, PiecesReadBackReduceToTheFunnel) {
  for (const std::optional<std::size_t> by :
       {std::optional<std::size_t>(), table_.column_of("g")}) {
    const FunnelPieces pieces = funnel_pieces(table_, pattern_, by);
    EXPECT_EQ(lines(reduce_funnel(read_back(table_, pieces, by), pattern_)),
              lines(funnel(table_, pattern_, by)));
  }
}

// The first-successor rule takes b@1, from which c@9 is out of reach; the
// start still completes through b@5, so it counts, without a path to time.
TEST(FunnelOffTheFirstSuccessorPath, CountsTheStartAsComplete) {
  const std::vector<Event> events{ev("p", 0, "a"), ev("p", 1, "b"), ev("p", 5, "b"),
                                  ev("p", 9, "c")};
  const auto pattern = parse_pattern("a -[<=5]-> b -[<=5]-> c");
  ASSERT_TRUE(pattern.ok()) << pattern.error();
  const EventTable table = EventTable::from_events(events, {});
  const std::vector<std::string> expected{
      "* 1 a 1 0,0,0,0 - - -",
      "* 2 b 1 0,0,0,0 1 - -",
      "* 3 c 1 0,0,0,0 1 - -",
  };
  EXPECT_EQ(lines(funnel(table, pattern.value())), expected);
  const FunnelPieces pieces = funnel_pieces(table, pattern.value());
  EXPECT_EQ(lines(reduce_funnel(read_back(table, pieces, {}), pattern.value())), expected);
}

}  // namespace
}  // namespace kestrel
