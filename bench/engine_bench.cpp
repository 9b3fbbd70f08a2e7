// Throughput of the matchers on a session-like stream: 1,000,000 events in
// 10,000 partitions, looking for a purchase by the user who logged in, within
// 300 time units and without that user logging out in between.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kestrel/matcher.hpp"

namespace {

using kestrel::Atom;
using kestrel::ComparisonOperator;
using kestrel::Event;
using kestrel::Match;
using kestrel::MatchConsumption;
using kestrel::Pattern;

constexpr int kPartitions = 10'000;
constexpr int kEventsPerPartition = 100;
constexpr int kRuns = 10;

std::string padded(int number) {
  std::string digits = std::to_string(number);
  return std::string(5 - digits.size(), '0') + digits;
}

// Each partition mostly carries its own user, sometimes a neighbour's, so the
// reference predicates decide; gaps of 1 to 30 make the window of 300 span
// about twenty events.
std::vector<Event> session_events() {
  std::mt19937_64 random(42);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<int> gap(1, 30);
  std::vector<Event> events;
  events.reserve(static_cast<std::size_t>(kPartitions) * kEventsPerPartition);
  for (int p = 0; p < kPartitions; ++p) {
    const std::string partition = "account-" + padded(p);
    std::int64_t ts = 1'700'000'000 + p;
    for (int i = 0; i < kEventsPerPartition; ++i) {
      const int kind = percent(random);
      const char* type = kind < 20   ? "login"
                         : kind < 45 ? "purchase"
                         : kind < 60 ? "logout"
                                     : "view";
      const int user = percent(random) < 80 ? p : p + 1 + percent(random) % 2;
      events.push_back(Event{partition, ts, type, {}}.with_attr("user", "user-" + padded(user)));
      ts += gap(random);
    }
  }
  return events;
}

// login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]
Pattern session_pattern(MatchConsumption consumption) {
  const auto same_user = [](const char* type) {
    return Atom(type).with_reference_predicate({"user", ComparisonOperator::Eq, "u"});
  };
  kestrel::Transition transition{300, {}};
  transition = std::move(transition).with_absence(same_user("logout"));
  Pattern pattern;
  pattern.steps.push_back({Atom("login").with_capture({"u", "user"}), std::nullopt});
  pattern.steps.push_back({same_user("purchase"), std::move(transition)});
  pattern.consumption = consumption;
  return pattern;
}

const char* mode_name(MatchConsumption consumption) {
  return consumption == MatchConsumption::FirstSuccessorPerStart ? "FirstSuccessorPerStart"
                                                                 : "ExhaustivePerStart";
}

template <class Matcher>
std::vector<Match> timed(const char* label, MatchConsumption consumption, int runs,
                         const std::vector<Event>& events, Matcher matcher) {
  const Pattern pattern = session_pattern(consumption);
  std::vector<Match> matches;
  double best = 1e300;
  for (int run = 0; run < runs; ++run) {
    matches.clear();  // outside the clock: freeing the previous run's matches is not matching
    const auto begin = std::chrono::steady_clock::now();
    matches = matcher(events, pattern, kestrel::Interrupt());
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
    best = std::min(best, elapsed.count());
  }
  std::printf("%-8s %-22s %9.2f ms %8.2f M events/s %8zu matches (best of %d)\n", label,
              mode_name(consumption), best * 1e3, static_cast<double>(events.size()) / best / 1e6,
              matches.size(), runs);
  return matches;
}

}  // namespace

int main() {
  const std::vector<Event> events = session_events();
  std::printf("%zu events in %d partitions\n", events.size(), kPartitions);
  bool agree = true;
  for (const MatchConsumption consumption :
       {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
    const auto compiled = timed("compiled", consumption, kRuns, events, kestrel::compiled_matches);
    const auto oracle = timed("oracle", consumption, 1, events, kestrel::oracle_matches);
    agree = agree && compiled == oracle;
  }
  std::printf("compiled and oracle results %s\n", agree ? "agree" : "DIFFER");
  return agree ? 0 : 1;
}
