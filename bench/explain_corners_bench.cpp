// near_misses on three inputs that stress the search, each at growing sizes
// with the growth exponent against the previous size:
//   chain     one partition of N events cycling through N/10 types, and the
//             N/10-step pattern s0 -> s1 -> ...; every start completes;
//   captures  a last step with 1,000 captures of one attribute, named $c0 to
//             $c999 as a person would, offered N candidates after one start;
//   capture-count  the same with N captures and 2,000 candidates;
//   early     one partition of N events in which each of N/10 logins meets
//             its user's purchase five events later, so every start completes
//             early while the partition goes on.
//
// Flags: --chain=25000,50000,100000 --captures=1000,5000,20000 --capture-count=250,500,1000
//        --early=10000,100000,1000000 --cap=20 (seconds; see Sweep)

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kestrel/explain.hpp"

namespace {

using kestrel::Atom;
using kestrel::Capture;
using kestrel::ComparisonOperator;
using kestrel::Event;
using kestrel::Pattern;
using kestrel::ReferencePredicate;
using kestrel::Step;
using kestrel::Transition;
namespace bench = kestrel::bench;

constexpr std::int64_t kCaptures = 1000;
constexpr std::int64_t kCandidates = 2000;

struct Input {
  std::vector<Event> events;
  Pattern pattern;
};

std::string numbered(const char* prefix, std::int64_t number) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%07lld", prefix, static_cast<long long>(number));
  return text;
}

void append_step(Pattern& pattern, Atom atom) {
  const bool first = pattern.steps.empty();
  pattern.steps.push_back(
      Step{std::move(atom), first ? std::nullopt : std::optional(Transition{})});
}

Input chain(std::int64_t count) {
  const std::int64_t steps = std::max<std::int64_t>(2, count / 10);
  Input input;
  for (std::int64_t i = 0; i < count; ++i)
    input.events.push_back(Event{"all", i, numbered("s", i % steps), {}});
  for (std::int64_t s = 0; s < steps; ++s) append_step(input.pattern, Atom(numbered("s", s)));
  return input;
}

Input many_captures(std::int64_t candidates, std::int64_t captures) {
  Input input;
  input.events.push_back(Event{"all", 0, "begin", {}});
  for (std::int64_t i = 1; i <= candidates; ++i) {
    input.events.push_back(Event{"all", i, "item", {}}.with_attr("a", i));
  }
  Atom item("item");
  for (std::int64_t c = 0; c < captures; ++c) {
    item = std::move(item).with_capture(Capture{"c" + std::to_string(c), "a"});
  }
  append_step(input.pattern, Atom("begin"));
  append_step(input.pattern, std::move(item));
  return input;
}

Input captures(std::int64_t candidates) { return many_captures(candidates, kCaptures); }

Input capture_count(std::int64_t captures) { return many_captures(kCandidates, captures); }

// Blocks of ten: a login, four views, the same user's purchase, four views.
Input early(std::int64_t count) {
  Input input;
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t offset = i % 10;
    const char* type = offset == 0 ? "login" : offset == 5 ? "purchase" : "view";
    input.events.push_back(Event{"all", i, type, {}}.with_attr("user", numbered("user-", i / 10)));
  }
  append_step(input.pattern, Atom("login").with_capture(Capture{"u", "user"}));
  append_step(input.pattern, Atom("purchase")
                                 .with_reference_predicate(
                                     ReferencePredicate{"user", ComparisonOperator::Eq, "u"}));
  return input;
}

struct Corner {
  const char* label;
  const char* size_name;
  Input (*make)(std::int64_t);
  std::vector<std::int64_t> sizes;
};

void sweep_corner(const Corner& corner, double cap) {
  bench::Sweep sweep(cap);
  for (const std::int64_t size : corner.sizes) {
    std::printf("%-13s %9lld %-10s ", corner.label, static_cast<long long>(size), corner.size_name);
    if (const auto reason = sweep.skip_reason(static_cast<double>(size))) {
      std::printf("%s\n", reason->c_str());
      continue;
    }
    const Input input = corner.make(size);
    std::size_t misses = 0;
    const auto seconds = bench::measure(sweep, 3, [&](kestrel::Interrupt interrupt) {
      misses = kestrel::near_misses(input.events, input.pattern, std::move(interrupt)).size();
    });
    if (!seconds) {
      std::printf("stopped after %.0f s\n", sweep.limit());
      continue;
    }
    sweep.record(static_cast<double>(size), *seconds);
    std::printf("%9zu %6zu %10.3f", input.events.size(), misses, *seconds);
    if (const auto exponent = sweep.last_exponent()) std::printf(" %9.2f", *exponent);
    std::printf("\n");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::Flags flags(argc, argv);
  const std::vector<Corner> corners{
      {"chain", "events", chain, flags.integers("chain", {25'000, 50'000, 100'000})},
      {"captures", "candidates", captures, flags.integers("captures", {1'000, 5'000, 20'000})},
      {"capture-count", "captures", capture_count,
       flags.integers("capture-count", {250, 500, 1'000})},
      {"early", "events", early, flags.integers("early", {10'000, 100'000, 1'000'000})},
  };
  const double cap = flags.real("cap", 20);
  flags.finish();

  std::printf(
      "near_misses corners: chain of N/10 steps over N events; a step with %lld captures and N\n"
      "candidates, or N captures and %lld candidates; N/10 starts completing early in one "
      "partition of\n"
      "N events\n",
      static_cast<long long>(kCaptures), static_cast<long long>(kCandidates));
  std::printf("%-13s %9s %-10s %9s %6s %10s %9s  (median of up to 3 runs)\n", "corner", "size", "",
              "events", "misses", "seconds", "exponent");
  for (const Corner& corner : corners) sweep_corner(corner, cap);
  return 0;
}
