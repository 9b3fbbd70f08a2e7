// W4: the cost of each event as the number of open partial matches grows.
// One partition of a fixed number of events: K logins whose users never
// purchase nor log out, so K threads stay open, then a tail of purchases and
// logouts by other users and views, which those threads must be offered. The
// cost of the tail's second half is the whole call minus a call over the K
// logins and the tail's first half (the two interleaved), so that both calls
// make the same threads; printed per tail event for K = 10 to 10^6, with the
// largest over the smallest across K.
//
// Flags: --events=2000000 --open=10,100,1000,10000,100000,1000000 --cap=20

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/parser.hpp"

namespace {

using kestrel::Event;
using kestrel::MatchConsumption;
using kestrel::Pattern;
namespace bench = kestrel::bench;

constexpr const char* kPatternText =
    "login[user as $u] -[no logout[user == $u]]-> purchase[user == $u]";
constexpr std::uint64_t kOtherUsers = 1000;

// `open` logins of distinct users, then `tail` events: 40% purchase, 20%
// logout, 40% view, by 1,000 users who never log in. Any K logins that end
// the first part, with the tail after them, are a valid input.
std::vector<Event> open_thread_events(std::size_t open, std::size_t tail) {
  std::vector<Event> events;
  events.reserve(open + tail);
  char user[32];
  std::int64_t ts = 1'700'000'000;
  for (std::size_t k = 0; k < open; ++k) {
    std::snprintf(user, sizeof user, "open-%07zu", k);
    events.push_back(Event{"all", ts++, "login", {}}.with_attr("user", std::string(user)));
  }
  for (std::size_t j = 0; j < tail; ++j) {
    const std::uint64_t h = bench::mix(9, j);
    const std::uint64_t kind = h % 100;
    const char* type = kind < 40 ? "purchase" : kind < 60 ? "logout" : "view";
    std::snprintf(user, sizeof user, "other-%05llu",
                  static_cast<unsigned long long>((h >> 8) % kOtherUsers));
    events.push_back(Event{"all", ts++, type, {}}.with_attr("user", std::string(user)));
  }
  return events;
}

struct Timing {
  double starts;  // the K logins and the first half of the tail
  double whole;
};

// Up to three interleaved rounds (one once a call takes over a second) of the
// logins alone and the whole input, engine alone; nothing when the sweep stopped a call.
// The engine alone is timed: the columnar tables it reads are built first.
std::optional<Timing> time_rounds(bench::Sweep& sweep, const Pattern& pattern,
                                  std::span<const Event> starts_events,
                                  std::span<const Event> whole_events) {
  const std::vector<std::string> attributes{"user"};
  const kestrel::EventTable starts = kestrel::EventTable::from_events(starts_events, attributes);
  const kestrel::EventTable whole = kestrel::EventTable::from_events(whole_events, attributes);
  std::vector<double> starts_seconds, whole_seconds;
  try {
    for (int round = 0; round < 3; ++round) {
      starts_seconds.push_back(bench::timed(
          [&] { kestrel::compiled_matches(starts, pattern, {1, sweep.interrupt().question()}); }));
      whole_seconds.push_back(bench::timed(
          [&] { kestrel::compiled_matches(whole, pattern, {1, sweep.interrupt().question()}); }));
      if (whole_seconds.back() > 1.0) break;
    }
  } catch (const kestrel::Interrupted&) {
    sweep.record_stopped();
    return std::nullopt;
  }
  return Timing{bench::median(starts_seconds), bench::median(whole_seconds)};
}

void sweep_mode(MatchConsumption consumption, const std::vector<Event>& events, std::size_t total,
                const std::vector<std::int64_t>& open_counts, std::size_t most_open, double cap) {
  const Pattern pattern = bench::pattern_with(kPatternText, consumption);
  const char* mode =
      consumption == MatchConsumption::FirstSuccessorPerStart ? "first-successor" : "exhaustive";
  bench::Sweep sweep(cap);
  std::vector<double> per_event;
  for (const std::int64_t open : open_counts) {
    const auto k = static_cast<std::size_t>(open);
    std::printf("%-16s %9zu  ", mode, k);
    if (const auto reason = sweep.skip_reason(static_cast<double>(k))) {
      std::printf("%s\n", reason->c_str());
      continue;
    }
    const std::span<const Event> whole = std::span(events).subspan(most_open - k, total);
    // The baseline holds the K logins and the first half of the tail, so that
    // both calls make the same threads and the difference is tail events only.
    const std::size_t baseline = k + (total - k) / 2;
    const auto timing = time_rounds(sweep, pattern, whole.first(baseline), whole);
    if (!timing) {
      std::printf("stopped after %.0f s\n", sweep.limit());
      continue;
    }
    sweep.record(static_cast<double>(k), timing->whole);
    const double tail = std::max(0.0, timing->whole - timing->starts);
    per_event.push_back(tail / static_cast<double>(total - baseline));
    std::printf("%10.1f %10.1f %12.1f\n", timing->starts * 1e3, timing->whole * 1e3,
                per_event.back() * 1e9);
    std::fflush(stdout);
  }
  if (per_event.size() > 1) {
    const auto [low, high] = std::minmax_element(per_event.begin(), per_event.end());
    std::printf("%-16s max/min of ns per tail event across the %zu K measured: %.1fx\n", mode,
                per_event.size(), *high / *low);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::Flags flags(argc, argv);
  const auto total = static_cast<std::size_t>(flags.integer("events", 2'000'000));
  auto open_counts = flags.integers("open", {10, 100, 1'000, 10'000, 100'000, 1'000'000});
  const double cap = flags.real("cap", 20);
  flags.finish();
  std::sort(open_counts.begin(), open_counts.end());
  const auto most_open = static_cast<std::size_t>(open_counts.back());
  const auto fewest_open = static_cast<std::size_t>(open_counts.front());
  if (most_open >= total) {
    std::fprintf(stderr, "--events must exceed the largest --open count\n");
    return 2;
  }

  const std::vector<Event> events = open_thread_events(most_open, total - fewest_open);
  std::printf(
      "W4: one partition of %zu events: K logins that stay open, then a tail of purchases, "
      "logouts\n"
      "and views by other users\n%s\n",
      total, kPatternText);
  std::printf("%-16s %9s  %10s %10s %12s  (medians of up to 3 interleaved rounds)\n", "mode",
              "K open", "logins ms", "whole ms", "ns/tail ev");
  for (const MatchConsumption consumption :
       {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
    sweep_mode(consumption, events, total, open_counts, most_open, cap);
  }
  return 0;
}
