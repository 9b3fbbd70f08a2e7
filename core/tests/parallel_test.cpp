#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "describe.hpp"
#include "generator.hpp"
#include "kestrel/error.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/parallel.hpp"

namespace kestrel {
namespace {

struct ShareCase {
  const char* name;
  std::vector<TextId> partitions;
  std::size_t shares;
  std::vector<RowRange> expected;
};

TEST(PartitionShares, CutOnlyBetweenRunsIntoBalancedShares) {
  const std::vector<ShareCase> cases = {
      {"no rows", {}, 4, {}},
      {"one run", {7, 7, 7, 7, 7}, 3, {{0, 5}}},
      {"no threads asked", {1, 1, 2, 2}, 0, {{0, 4}}},
      {"one share", {1, 2, 3}, 1, {{0, 3}}},
      {"more shares than runs", {1, 1, 2}, 8, {{0, 2}, {2, 3}}},
      {"even runs", {1, 1, 2, 2, 3, 3, 4, 4}, 2, {{0, 4}, {4, 8}}},
      {"cut moves to the run's end", {1, 1, 1, 2, 3, 3}, 2, {{0, 3}, {3, 6}}},
      {"a long run swallows a cut", {1, 2, 2, 2, 2, 2, 2, 3}, 3, {{0, 7}, {7, 8}}},
  };
  for (const ShareCase& c : cases) {
    EXPECT_EQ(partition_shares(c.partitions, c.shares), c.expected) << c.name;
  }
}

std::string describe(const std::vector<FunnelGroup>& groups) {
  std::string out;
  for (const FunnelGroup& group : groups) {
    out += "group " + describe(group.key) + "\n";
    for (const FunnelStep& s : group.steps) {
      out += std::to_string(s.step) + " " + s.event_type + " " + std::to_string(s.entered);
      for (const std::size_t dropped : s.dropped) out += " " + std::to_string(dropped);
      for (const auto& figure : {s.conversion, s.time_p50, s.time_p90}) {
        out += figure ? " " + std::to_string(*figure) : " -";
      }
      out += "\n";
    }
  }
  return out;
}

// Every result of the threaded forms is the one-thread result, bounded
// ones included, for thread counts below, at and above the partition count.
TEST(ParallelForms, GiveTheOneThreadResults) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    const GeneratedCase c = generate_case(seed);
    const EventTable table = shuffled_table(c);
    Pattern exhaustive = c.pattern;
    exhaustive.consumption = MatchConsumption::ExhaustivePerStart;
    const std::vector<Match> all = compiled_matches(table, exhaustive);
    const std::string misses = describe(near_misses(table, c.pattern));
    const std::optional<std::size_t> by =
        table.columns.empty() ? std::nullopt : std::optional<std::size_t>(0);
    const std::string groups = describe(funnel(table, c.pattern, by));
    for (const std::size_t threads : {2, 3, 8}) {
      const Parallel parallel{threads, {}};
      ASSERT_EQ(describe(compiled_matches(table, exhaustive, SIZE_MAX, parallel)), describe(all))
          << describe(c);
      for (const std::size_t limit : {std::size_t{0}, all.size() / 2, all.size()}) {
        ASSERT_EQ(describe(compiled_matches(table, exhaustive, limit, parallel)),
                  describe(compiled_matches(table, exhaustive, limit)))
            << "limit " << limit << " threads " << threads << "\n"
            << describe(c);
      }
      ASSERT_EQ(describe(near_misses(table, c.pattern, parallel)), misses) << describe(c);
      ASSERT_EQ(describe(funnel(table, c.pattern, by, parallel)), groups) << describe(c);
    }
  }
}

// Workers that would run forever: only a stop ends them.
void spin(std::size_t, Interrupt& interrupt) {
  while (true) interrupt.poll();
}

TEST(RunShares, StopsEveryWorkerWhenTheCallerAsks) {
  std::atomic<int> asked = 0;
  const Parallel parallel{3, [&] { return ++asked == 3; }};
  EXPECT_THROW(run_shares(3, parallel, spin), Interrupted);
  EXPECT_EQ(asked, 3);
}

TEST(RunShares, AFailureStopsTheOthersAndIsWhatIsThrown) {
  const auto work = [](std::size_t i, Interrupt& interrupt) {
    if (i == 2) throw InternalError("share 2");
    spin(i, interrupt);
  };
  EXPECT_THROW(run_shares(4, Parallel{4, {}}, work), InternalError);
}

}  // namespace
}  // namespace kestrel
