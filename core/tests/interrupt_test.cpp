// Long engine calls stop when their Interrupt says so, and run unchanged when
// it never does.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "engine/match/oracle.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/model.hpp"

namespace kestrel {
namespace {

// One partition of `count` events of type "a": explosive for exhaustive a -> a -> a.
std::vector<Event> same_type_events(int count) {
  std::vector<Event> events;
  for (int i = 0; i < count; ++i) events.push_back({"p", i, "a", {}});
  return events;
}

Pattern chain(int steps, MatchConsumption consumption) {
  Pattern pattern;
  pattern.consumption = consumption;
  for (int i = 0; i < steps; ++i) {
    Step step{Atom("a"), std::nullopt};
    if (i > 0) step.transition_from_previous = Transition{};
    pattern.steps.push_back(step);
  }
  return pattern;
}

// Stops at its `stop_at`-th question, counting the questions asked.
struct CountingStop {
  int stop_at;
  int asked = 0;
  Interrupt interrupt() {
    return Interrupt([this] { return ++asked >= stop_at; });
  }
};

using Call = std::function<std::size_t(std::span<const Event>, const Pattern&, Interrupt)>;

// The table forms on one thread, which poll on the calling thread.
RunOptions one_thread(const Interrupt& interrupt) { return {1, interrupt.question()}; }

EventTable table_of(std::span<const Event> events) { return EventTable::from_events(events, {}); }

struct Case {
  const char* name;
  Call call;
  MatchConsumption consumption;
  bool completes = true;  // else the last step never matches, leaving starts to explain
};

const Case kCases[] = {
    {"compiled exhaustive",
     [](auto events, const Pattern& p, Interrupt i) {
       return compiled_matches(events, p, std::move(i)).size();
     },
     MatchConsumption::ExhaustivePerStart},
    {"compiled first successor",
     [](auto events, const Pattern& p, Interrupt i) {
       return compiled_matches(events, p, std::move(i)).size();
     },
     MatchConsumption::FirstSuccessorPerStart},
    {"oracle exhaustive",
     [](auto events, const Pattern& p, Interrupt i) {
       return oracle_matches(events, p, std::move(i)).size();
     },
     MatchConsumption::ExhaustivePerStart},
    {"near misses",
     [](auto events, const Pattern& p, Interrupt i) {
       return near_misses(events, p, std::move(i)).size();
     },
     MatchConsumption::FirstSuccessorPerStart, false},
    {"compiled over a table",
     [](auto events, const Pattern& p, Interrupt i) {
       return compiled_matches(table_of(events), p, one_thread(i)).size();
     },
     MatchConsumption::ExhaustivePerStart},
    {"near misses over a table",
     [](auto events, const Pattern& p, Interrupt i) {
       return near_misses(table_of(events), p, one_thread(i)).size();
     },
     MatchConsumption::FirstSuccessorPerStart, false},
    {"funnel",
     [](auto events, const Pattern& p, Interrupt i) {
       return funnel(table_of(events), p, {}, one_thread(i)).front().steps.back().entered;
     },
     MatchConsumption::FirstSuccessorPerStart, false},
};

TEST(Interrupt, StopsEveryLongCall) {
  const std::vector<Event> events = same_type_events(3000);
  for (const Case& c : kCases) {
    // The near-miss searches need a step that never completes to have work to do.
    Pattern pattern = chain(3, c.consumption);
    if (!c.completes) pattern.steps.back().atom.event_type = "b";
    CountingStop stop{2};
    EXPECT_THROW(c.call(events, pattern, stop.interrupt()), Interrupted) << c.name;
    EXPECT_EQ(stop.asked, 2) << c.name;
  }
}

TEST(Interrupt, ThatNeverStopsChangesNothing) {
  const std::vector<Event> events = same_type_events(60);
  for (const Case& c : kCases) {
    const Pattern pattern = chain(3, c.consumption);
    CountingStop never{1 << 30};
    EXPECT_EQ(c.call(events, pattern, never.interrupt()), c.call(events, pattern, Interrupt()))
        << c.name;
  }
}

TEST(Interrupt, AsksOnlyEveryInterval) {
  CountingStop stop{1 << 30};
  Interrupt interrupt = stop.interrupt();
  for (std::uint32_t i = 0; i < 3 * Interrupt::kInterval - 1; ++i) interrupt.poll();
  EXPECT_EQ(stop.asked, 2);
}

}  // namespace
}  // namespace kestrel
