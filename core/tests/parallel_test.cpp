#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "describe.hpp"
#include "generator.hpp"
#include "kestrel/arrow_input.hpp"
#include "kestrel/error.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/run_options.hpp"
#include "runtime/shares.hpp"

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

// Every result over several threads is the one-thread result, bounded
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
      const RunOptions parallel{threads, {}, 1};  // small tables split too
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

// Two batches of 100,000 rows, enough to be cut into pieces: texts that
// recur within and across columns and batches, and nulls.
void make_events_stream(ArrowArrayStream* stream) {
  ArrowSchema schema;
  ASSERT_EQ(ArrowSchemaInitFromType(&schema, NANOARROW_TYPE_STRUCT), NANOARROW_OK);
  ASSERT_EQ(ArrowSchemaAllocateChildren(&schema, 4), NANOARROW_OK);
  const std::array<std::pair<const char*, ArrowType>, 4> columns = {{
      {"p", NANOARROW_TYPE_STRING},
      {"ts", NANOARROW_TYPE_INT64},
      {"typ", NANOARROW_TYPE_STRING},
      {"who", NANOARROW_TYPE_STRING},
  }};
  for (std::size_t c = 0; c < columns.size(); ++c) {
    ArrowSchemaInit(schema.children[c]);
    ASSERT_EQ(ArrowSchemaSetType(schema.children[c], columns[c].second), NANOARROW_OK);
    ASSERT_EQ(ArrowSchemaSetName(schema.children[c], columns[c].first), NANOARROW_OK);
  }
  std::mt19937_64 rng(5);
  const auto text = [](ArrowArray* array, const std::string& value) {
    return ArrowArrayAppendString(array, {value.data(), static_cast<std::int64_t>(value.size())});
  };
  std::array<ArrowArray, 2> batches;
  for (ArrowArray& batch : batches) {
    ASSERT_EQ(ArrowArrayInitFromSchema(&batch, &schema, nullptr), NANOARROW_OK);
    ASSERT_EQ(ArrowArrayStartAppending(&batch), NANOARROW_OK);
    for (std::int64_t row = 0; row < 100'000; ++row) {
      ASSERT_EQ(text(batch.children[0], "p" + std::to_string(rng() % 900)), NANOARROW_OK);
      ASSERT_EQ(ArrowArrayAppendInt(batch.children[1], static_cast<std::int64_t>(rng() % 50)),
                NANOARROW_OK);
      ASSERT_EQ(text(batch.children[2], std::string(1, static_cast<char>('a' + rng() % 3))),
                NANOARROW_OK);
      const std::uint64_t who = rng() % 5000;
      ASSERT_EQ(who < 100 ? ArrowArrayAppendNull(batch.children[3], 1)
                          : text(batch.children[3], (who % 2 ? "p" : "w") + std::to_string(who)),
                NANOARROW_OK);
      ASSERT_EQ(ArrowArrayFinishElement(&batch), NANOARROW_OK);
    }
    ASSERT_EQ(ArrowArrayFinishBuildingDefault(&batch, nullptr), NANOARROW_OK);
  }
  ASSERT_EQ(ArrowBasicArrayStreamInit(stream, &schema, 2), NANOARROW_OK);
  for (std::int64_t b = 0; b < 2; ++b) ArrowBasicArrayStreamSetArray(stream, b, &batches[b]);
}

EventSource read_events(std::size_t threads) {
  ArrowArrayStream stream;
  make_events_stream(&stream);
  ArrowColumns columns{"p", "ts", "typ", std::nullopt, {"who"}};
  Result<EventSource> source = threads == 0 ? read_arrow_events(stream, columns)
                                            : read_arrow_events(stream, columns, {threads, {}});
  if (!source) throw InternalError(source.error());
  return std::move(source).value();
}

std::vector<std::string> texts(const TextPool& pool) {
  std::vector<std::string> out;
  for (TextId id = 0; id < pool.size(); ++id) out.emplace_back(pool.text(id));
  return out;
}

// Cells as (kind, bits), text ids included.
std::vector<std::pair<int, std::int64_t>> cells(const std::vector<Cell>& column) {
  std::vector<std::pair<int, std::int64_t>> out;
  for (const Cell& cell : column) {
    out.emplace_back(static_cast<int>(cell.kind),
                     cell.kind == CellKind::String ? std::int64_t{cell.text} : cell.integer);
  }
  return out;
}

// Read in pieces, the table is the one-thread table down to its text ids.
TEST(ParallelRead, GivesTheOneThreadTable) {
  const EventSource one = read_events(0);
  for (const std::size_t threads : {1, 2, 3}) {
    const EventSource many = read_events(threads);
    EXPECT_EQ(texts(many.table.texts), texts(one.table.texts)) << threads;
    EXPECT_EQ(many.table.partitions, one.table.partitions) << threads;
    EXPECT_EQ(many.table.types, one.table.types) << threads;
    EXPECT_EQ(many.table.timestamps, one.table.timestamps) << threads;
    EXPECT_EQ(many.table.positions, one.table.positions) << threads;
    ASSERT_EQ(many.table.columns.size(), one.table.columns.size());
    for (std::size_t c = 0; c < one.table.columns.size(); ++c) {
      EXPECT_EQ(cells(many.table.columns[c]), cells(one.table.columns[c])) << threads;
    }
    EXPECT_EQ(cells(many.carried.at(0).values), cells(one.carried.at(0).values)) << threads;
  }
}

// Workers that would run forever: only a stop ends them.
void spin(std::size_t, Interrupt& interrupt) {
  while (true) interrupt.poll();
}

TEST(RunShares, StopsEveryWorkerWhenTheCallerAsks) {
  std::atomic<int> asked = 0;
  const RunOptions parallel{3, [&] { return ++asked == 3; }};
  EXPECT_THROW(run_shares(3, parallel, spin), Interrupted);
  EXPECT_EQ(asked, 3);
}

TEST(RunShares, AFailureStopsTheOthersAndIsWhatIsThrown) {
  const auto work = [](std::size_t i, Interrupt& interrupt) {
    if (i == 2) throw InternalError("share 2");
    spin(i, interrupt);
  };
  EXPECT_THROW(run_shares(4, RunOptions{4, {}}, work), InternalError);
}

}  // namespace
}  // namespace kestrel
