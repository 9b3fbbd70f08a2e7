// W5: how the engine's time grows with the events of one partition. N events,
// N/10 users, no window, so every login whose user has not yet purchased or
// logged out stays open; compiled_matches in both modes and near_misses at
// each size, with the growth exponent log(t2/t1)/log(N2/N1) against the
// previous size. bench_growth.py measures the same through Python.
//
// Flags: --sizes=10000,100000,1000000 --cap=20 (seconds; see Sweep)

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/parser.hpp"

namespace {

using kestrel::Event;
using kestrel::MatchConsumption;
using kestrel::Pattern;
namespace bench = kestrel::bench;

constexpr const char* kPatternText =
    "login[user as $u] -[no logout[user == $u]]-> purchase[user == $u]";

// The rows of bench/datasets.py growth_rows: 20% login, 25% purchase, 15%
// logout, 40% view, users drawn uniformly, one time unit apart.
std::vector<Event> growth_events(std::int64_t count) {
  const std::uint64_t users = std::max<std::int64_t>(1, count / 10);
  std::vector<Event> events;
  events.reserve(static_cast<std::size_t>(count));
  char user[32];
  for (std::int64_t i = 0; i < count; ++i) {
    const std::uint64_t h = bench::mix(5, static_cast<std::uint64_t>(i));
    const std::uint64_t kind = h % 100;
    const char* type = kind < 20 ? "login" : kind < 45 ? "purchase" : kind < 60 ? "logout" : "view";
    std::snprintf(user, sizeof user, "user-%07llu",
                  static_cast<unsigned long long>((h >> 8) % users));
    events.push_back(
        Event{"all", 1'700'000'000 + i, type, {}}.with_attr("user", std::string(user)));
  }
  return events;
}

// The events, and the columnar table the matcher reads, built outside the
// clock as the engine alone is timed.
struct Input {
  std::vector<Event> events;
  kestrel::EventTable table;
};

struct Series {
  const char* label;
  // Runs the engine once and returns how many records it found.
  std::size_t (*run)(const Input&, kestrel::Interrupt);
  bench::Sweep sweep;
};

std::size_t first_successor(const Input& input, kestrel::Interrupt interrupt) {
  static const Pattern pattern =
      bench::pattern_with(kPatternText, MatchConsumption::FirstSuccessorPerStart);
  return kestrel::compiled_matches(input.table, pattern, {1, interrupt.question()}).size();
}

std::size_t exhaustive(const Input& input, kestrel::Interrupt interrupt) {
  static const Pattern pattern =
      bench::pattern_with(kPatternText, MatchConsumption::ExhaustivePerStart);
  return kestrel::compiled_matches(input.table, pattern, {1, interrupt.question()}).size();
}

// The near-miss search takes Events and builds its table inside the clock.
std::size_t explain(const Input& input, kestrel::Interrupt interrupt) {
  static const Pattern pattern =
      bench::pattern_with(kPatternText, MatchConsumption::FirstSuccessorPerStart);
  return kestrel::near_misses(input.events, pattern, std::move(interrupt)).size();
}

void print_skipped(const Series& series, std::int64_t size, const std::string& reason) {
  std::printf("%-22s %9lld  %s\n", series.label, static_cast<long long>(size), reason.c_str());
}

void measure_size(Series& series, const Input& input) {
  const double size = static_cast<double>(input.events.size());
  std::printf("%-22s %9zu  ", series.label, input.events.size());
  std::size_t found = 0;
  const auto seconds = bench::measure(series.sweep, 3, [&](kestrel::Interrupt interrupt) {
    found = series.run(input, std::move(interrupt));
  });
  if (!seconds) {
    std::printf("stopped after %.0f s\n", series.sweep.limit());
    return;
  }
  series.sweep.record(size, *seconds);
  std::printf("%10.3f %10.2f %9zu", *seconds, size / *seconds / 1e6, found);
  if (const auto exponent = series.sweep.last_exponent()) std::printf(" %9.2f", *exponent);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bench::Flags flags(argc, argv);
  const auto sizes = flags.integers("sizes", {10'000, 100'000, 1'000'000});
  const double cap = flags.real("cap", 20);
  flags.finish();

  std::printf("W5: one partition of N events, N/10 users, no window\n%s\n", kPatternText);
  std::printf("%-22s %9s  %10s %10s %9s %9s  (median of up to 3 runs)\n", "series", "events",
              "seconds", "M ev/s", "found", "exponent");
  std::vector<Series> series{{"match first-successor", first_successor, bench::Sweep(cap)},
                             {"match exhaustive", exhaustive, bench::Sweep(cap)},
                             {"explain", explain, bench::Sweep(cap)}};
  for (const std::int64_t size : sizes) {
    std::vector<std::optional<std::string>> reasons;
    for (const Series& one : series)
      reasons.push_back(one.sweep.skip_reason(static_cast<double>(size)));
    const bool all_skipped =
        std::all_of(reasons.begin(), reasons.end(), [](const auto& r) { return r.has_value(); });
    Input input;
    if (!all_skipped) {
      input.events = growth_events(size);
      input.table =
          kestrel::EventTable::from_events(input.events, std::vector<std::string>{"user"});
    }
    for (std::size_t i = 0; i < series.size(); ++i) {
      if (reasons[i]) {
        print_skipped(series[i], size, *reasons[i]);
      } else {
        measure_size(series[i], input);
      }
    }
  }
  return 0;
}
