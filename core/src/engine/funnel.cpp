// The funnel of a pattern over a table.
//
// Every start of the pattern (a row its first atom accepts) either cannot
// complete, and the near-miss search reports how far it got and why it
// stopped, or completes, and the matcher usually reports its path: in
// first-successor mode, whatever the pattern's mode, so that a start has one
// match at most. Both lists come in ascending order of their start's row, so
// one walk over the rows pairs starts with records, and a partition's first
// start of its deepest depth is simply the first start that reaches it.
//
// Each (group, partition) keeps only its deepest start so far. A step's
// counts and times are then one pass over those, and the two quantiles come
// from selection rather than sorting. After the two searches the cost is
// linear in the rows (mapping positions back to rows), the records and the
// (group, partition) pairs.
//
// Over several threads, both searches split their partition runs
// (runtime/shares.hpp) and return what they return on one; the walk that pairs
// starts with records and the counting stay on one worker (the calling
// thread on one thread), being linear and a small share of the cost.
//
// A start that completes only along a path the first-successor rule does not
// take has no match to time: it counts as complete, and its partition's
// times come from its first start with a match, if any.

#include "kestrel/funnel.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <unordered_map>

#include "engine/table_atom.hpp"
#include "engine/transition.hpp"
#include "kestrel/error.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/matcher.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

constexpr std::size_t kComplete = 4;  // the reason of a start that completes

// How far one start got.
struct Outcome {
  std::size_t row = 0;
  std::size_t depth = 0;
  std::size_t reason = kComplete;
  std::span<const std::size_t> path;  // positions
};

// A cell as a group key: equal values meet, NaNs meet, and Null meets
// Missing (neither names a group value).
struct GroupKey {
  CellKind kind = CellKind::Missing;
  std::uint64_t bits = 0;

  friend bool operator==(const GroupKey&, const GroupKey&) = default;
};

GroupKey group_key(const Cell& cell) {
  switch (cell.kind) {
    case CellKind::Missing:
    case CellKind::Null: return {};
    case CellKind::String: return {cell.kind, cell.text};
    case CellKind::Int: return {cell.kind, static_cast<std::uint64_t>(cell.integer)};
    case CellKind::Bool: return {cell.kind, cell.flag ? 1u : 0u};
    case CellKind::Float: {
      const double number = std::isnan(cell.number) ? NAN : cell.number == 0 ? 0.0 : cell.number;
      return {cell.kind, std::bit_cast<std::uint64_t>(number)};
    }
  }
  return {};
}

struct PairHash {
  std::size_t operator()(const std::pair<std::size_t, TextId>& key) const noexcept {
    return std::hash<std::size_t>{}(key.first * 0x9e3779b97f4a7c15ULL ^ key.second);
  }
};

struct GroupKeyHash {
  std::size_t operator()(const GroupKey& key) const noexcept {
    return std::hash<std::uint64_t>{}(key.bits * 31 + static_cast<std::uint64_t>(key.kind));
  }
};

// Row by position, for the records' indices.
std::vector<std::size_t> rows_by_position(const EventTable& table) {
  std::size_t end = 0;
  for (const std::size_t position : table.positions) end = std::max(end, position + 1);
  std::vector<std::size_t> rows(end);
  for (std::size_t row = 0; row < table.size(); ++row) rows[table.positions[row]] = row;
  return rows;
}

// Every start's outcome, in ascending row order. Both record lists are in
// that order too, so one walk pairs each start with its record.
std::vector<Outcome> outcomes(const EventTable& table, const Pattern& pattern,
                              const std::vector<Match>& matches,
                              const std::vector<NearMiss>& misses,
                              const std::vector<std::size_t>& row_of, Interrupt& interrupt) {
  AtomCompiler compiler(table);
  const TableAtom first = compiler.compile(pattern.steps.front().atom);
  const TableView view(table);
  const Slots unbound;
  const std::size_t steps = pattern.steps.size();
  std::vector<Outcome> all;
  auto match = matches.begin();
  auto miss = misses.begin();
  for (std::size_t row = 0; row < table.size(); ++row) {
    interrupt.poll();
    if (!first.accepts(view, row, unbound)) continue;
    if (match != matches.end() && row_of[match->indices.front()] == row) {
      all.push_back({row, steps, kComplete, match->indices});
      ++match;
    } else if (miss != misses.end() && row_of[miss->start_index] == row) {
      all.push_back({row, miss->reached_steps, miss->detail.index(), miss->indices});
      ++miss;
    } else {
      all.push_back({row, steps, kComplete, {}});  // completes, off the first-successor path
    }
  }
  if (match != matches.end() || miss != misses.end()) {
    throw InternalError("every match and near miss starts at a start of the pattern");
  }
  return all;
}

// Linear interpolation between the closest ranks; reorders `values`.
double quantile(std::vector<double>& values, double q) {
  const double rank = q * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(std::floor(rank));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(low), values.end());
  const double below = values[low];
  if (low + 1 == values.size()) return below;
  const double above =
      *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(low) + 1, values.end());
  return below + (rank - static_cast<double>(low)) * (above - below);
}

class FunnelBuilder {
 public:
  FunnelBuilder(const EventTable& table, const Pattern& pattern, std::optional<std::size_t> by,
                const std::vector<std::size_t>& rows_of, Interrupt& interrupt)
      : table_(table), pattern_(pattern), by_(by), rows_of_(rows_of), interrupt_(interrupt) {}

  std::vector<FunnelGroup> build(const std::vector<Outcome>& starts) {
    for (const Outcome& start : starts) {
      interrupt_.poll();
      note(start);
    }
    // Without `by` there is one group, starts or not.
    if (!by_ && groups_.empty()) groups_.push_back({{}, table_.size(), {}});
    std::vector<std::size_t> order(groups_.size());
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return groups_[a].first_position < groups_[b].first_position;
    });
    std::vector<FunnelGroup> out;
    for (const std::size_t g : order) out.push_back(group(g));
    return out;
  }

 private:
  struct Group {
    std::optional<Value> key;
    std::size_t first_position = 0;
    std::vector<Outcome> deepest;  // by partition, in order of first start
  };

  void note(const Outcome& start) {
    const std::size_t g = group_of(start.row);
    const auto [it, inserted] =
        deepest_of_.try_emplace({g, table_.partitions[start.row]}, groups_[g].deepest.size());
    if (inserted) {
      groups_[g].deepest.push_back(start);
      return;
    }
    Outcome& deepest = groups_[g].deepest[it->second];
    // A complete start without a path yields to a later one with a path.
    if (start.depth > deepest.depth ||
        (start.depth == deepest.depth && deepest.path.empty() && !start.path.empty())) {
      deepest = start;
    }
  }

  std::size_t group_of(std::size_t row) {
    const std::size_t position = table_.positions[row];
    const Cell cell = by_ ? table_.columns[*by_][row] : Cell{};
    const auto [it, inserted] = group_ids_.try_emplace(group_key(cell), groups_.size());
    if (inserted) {
      groups_.push_back({by_ ? table_.value_of(cell) : std::nullopt, position, {}});
      // Null is no group value.
      if (groups_.back().key && std::holds_alternative<Null>(*groups_.back().key)) {
        groups_.back().key.reset();
      }
    }
    Group& group = groups_[it->second];
    group.first_position = std::min(group.first_position, position);
    return it->second;
  }

  FunnelGroup group(std::size_t g) {
    const std::size_t steps = pattern_.steps.size();
    const std::vector<Outcome>& deepest = groups_[g].deepest;
    FunnelGroup out{groups_[g].key, {}};
    std::vector<double> times;
    for (std::size_t k = 1; k <= steps; ++k) {
      FunnelStep& step = out.steps.emplace_back();
      step.step = k;
      step.event_type = pattern_.steps[k - 1].atom.event_type;
      times.clear();
      for (const Outcome& start : deepest) {
        interrupt_.poll();
        if (start.depth < k) continue;
        ++step.entered;
        if (start.depth == k && start.reason != kComplete) ++step.dropped.at(start.reason);
        if (k >= 2 && start.path.size() >= k) times.push_back(elapsed(start, k));
      }
      if (k >= 2) {
        const std::size_t before = out.steps[k - 2].entered;
        if (before > 0) {
          step.conversion = static_cast<double>(step.entered) / static_cast<double>(before);
        }
      }
      if (!times.empty()) {
        step.time_p50 = quantile(times, 0.5);
        step.time_p90 = quantile(times, 0.9);
      }
    }
    return out;
  }

  // From the start's event to the event at step k of its path.
  double elapsed(const Outcome& start, std::size_t k) const {
    const std::size_t to = rows_of_[start.path[k - 1]];
    return static_cast<double>(
        saturating_elapsed(table_.timestamps[start.row], table_.timestamps[to]));
  }

 private:
  const EventTable& table_;
  const Pattern& pattern_;
  std::optional<std::size_t> by_;
  const std::vector<std::size_t>& rows_of_;
  Interrupt& interrupt_;
  std::vector<Group> groups_;
  std::unordered_map<GroupKey, std::size_t, GroupKeyHash> group_ids_;
  std::unordered_map<std::pair<std::size_t, TextId>, std::size_t, PairHash> deepest_of_;
};

// The groups from both searches' records.
std::vector<FunnelGroup> groups_of(const EventTable& table, const Pattern& pattern,
                                   std::optional<std::size_t> by_column,
                                   const std::vector<Match>& matches,
                                   const std::vector<NearMiss>& misses, Interrupt& interrupt) {
  const std::vector<std::size_t> rows_of = rows_by_position(table);
  FunnelBuilder builder(table, pattern, by_column, rows_of, interrupt);
  return builder.build(outcomes(table, pattern, matches, misses, rows_of, interrupt));
}

// The pattern's first-successor form, whose matches time the starts.
Pattern first_successor_form(const Pattern& pattern, std::optional<std::size_t> by_column,
                             const EventTable& table) {
  check_structure(pattern);
  if (by_column && *by_column >= table.columns.size()) {
    throw InternalError("the funnel's `by` column is a column of the table");
  }
  Pattern first_successor = pattern;
  first_successor.consumption = MatchConsumption::FirstSuccessorPerStart;
  return first_successor;
}

}  // namespace

std::vector<FunnelGroup> funnel(const EventTable& table, const Pattern& pattern,
                                std::optional<std::size_t> by_column, const RunOptions& options) {
  const Pattern first_successor = first_successor_form(pattern, by_column, table);
  const std::vector<Match> matches = compiled_matches(table, first_successor, options);
  const std::vector<NearMiss> misses = near_misses(table, pattern, options);
  // One share: when threaded, on a worker, so that the calling thread still
  // answers a stop.
  std::vector<FunnelGroup> groups;
  run_shares(1, options, [&](std::size_t, Interrupt& interrupt) {
    groups = groups_of(table, pattern, by_column, matches, misses, interrupt);
  });
  return groups;
}

}  // namespace kestrel
