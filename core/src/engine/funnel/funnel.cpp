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
// Each (group, partition) keeps only its deepest start so far: that is its
// piece, timed along its path, and the funnel is the reduction of the pieces
// (funnel_reduce.cpp). After the two searches the cost is linear in the rows
// (mapping positions back to rows), the records and the pieces.
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
#include <cstdint>
#include <span>
#include <unordered_map>

#include "engine/atoms/table_atom.hpp"
#include "engine/atoms/transition.hpp"
#include "engine/funnel/funnel_groups.hpp"
#include "kestrel/error.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/matcher.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

// How far one start got.
struct Outcome {
  std::size_t row = 0;
  std::size_t depth = 0;
  std::size_t reason = kFunnelComplete;
  std::span<const std::size_t> path;  // positions
};

struct PairHash {
  std::size_t operator()(const std::pair<std::size_t, TextId>& key) const noexcept {
    return std::hash<std::size_t>{}(key.first * 0x9e3779b97f4a7c15ULL ^ key.second);
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
      all.push_back({row, steps, kFunnelComplete, match->indices});
      ++match;
    } else if (miss != misses.end() && row_of[miss->start_index] == row) {
      all.push_back({row, miss->reached_steps, miss->detail.index(), miss->indices});
      ++miss;
    } else {
      all.push_back({row, steps, kFunnelComplete, {}});  // completes, off the first-successor path
    }
  }
  if (match != matches.end() || miss != misses.end()) {
    throw InternalError("every match and near miss starts at a start of the pattern");
  }
  return all;
}

class PieceBuilder {
 public:
  PieceBuilder(const EventTable& table, std::optional<std::size_t> by, std::size_t steps,
               const std::vector<std::size_t>& rows_of, Interrupt& interrupt)
      : table_(table),
        grouping_(table, by),
        steps_(steps),
        rows_of_(rows_of),
        interrupt_(interrupt) {}

  FunnelPieces build(const std::vector<Outcome>& starts) {
    for (const Outcome& start : starts) {
      interrupt_.poll();
      note(start);
    }
    FunnelPieces out;
    out.steps = steps_;
    out.pieces = std::move(pieces_);
    out.times.reserve(deepest_.size() * (steps_ - 1));
    for (std::size_t i = 0; i < deepest_.size(); ++i) {
      interrupt_.poll();
      const Outcome& deepest = deepest_[i];
      out.pieces[i].depth = deepest.depth;
      out.pieces[i].reason = deepest.reason;
      for (std::size_t k = 2; k <= steps_; ++k) {
        const bool timed = k <= deepest.depth && k <= deepest.path.size();
        out.times.push_back(timed ? std::optional(elapsed(deepest, k)) : std::nullopt);
      }
    }
    grouping_.order_into(out);
    return out;
  }

 private:
  void note(const Outcome& start) {
    const std::size_t position = table_.positions[start.row];
    const std::size_t g = grouping_.group_of(start.row, position);
    const auto [it, inserted] =
        pair_ids_.try_emplace({g, table_.partitions[start.row]}, deepest_.size());
    if (inserted) {
      deepest_.push_back(start);
      pieces_.push_back({g, position, 0, 0});
      return;
    }
    FunnelPiece& piece = pieces_[it->second];
    piece.position = std::min(piece.position, position);
    Outcome& deepest = deepest_[it->second];
    // A complete start without a path yields to a later one with a path.
    if (start.depth > deepest.depth ||
        (start.depth == deepest.depth && deepest.path.empty() && !start.path.empty())) {
      deepest = start;
    }
  }

  // From the start's event to the event at step k of its path.
  std::int64_t elapsed(const Outcome& start, std::size_t k) const {
    const std::size_t to = rows_of_[start.path[k - 1]];
    return saturating_elapsed(table_.timestamps[start.row], table_.timestamps[to]);
  }

  const EventTable& table_;
  FunnelGrouping grouping_;
  std::size_t steps_;
  const std::vector<std::size_t>& rows_of_;
  Interrupt& interrupt_;
  std::vector<Outcome> deepest_;     // by piece
  std::vector<FunnelPiece> pieces_;  // depth and reason filled at the end
  std::unordered_map<std::pair<std::size_t, TextId>, std::size_t, PairHash> pair_ids_;
};

// The pieces from both searches' records.
FunnelPieces pieces_of(const EventTable& table, const Pattern& pattern,
                       std::optional<std::size_t> by_column, const std::vector<Match>& matches,
                       const std::vector<NearMiss>& misses, Interrupt& interrupt) {
  const std::vector<std::size_t> rows_of = rows_by_position(table);
  PieceBuilder builder(table, by_column, pattern.steps.size(), rows_of, interrupt);
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

FunnelPieces funnel_pieces(const EventTable& table, const Pattern& pattern,
                           std::optional<std::size_t> by_column, const RunOptions& options) {
  const Pattern first_successor = first_successor_form(pattern, by_column, table);
  const std::vector<Match> matches = compiled_matches(table, first_successor, options);
  const std::vector<NearMiss> misses = near_misses(table, pattern, options);
  // One share: when threaded, on a worker, so that the calling thread still
  // answers a stop.
  FunnelPieces pieces;
  run_shares(1, options, [&](std::size_t, Interrupt& interrupt) {
    pieces = pieces_of(table, pattern, by_column, matches, misses, interrupt);
  });
  return pieces;
}

std::vector<FunnelGroup> funnel(const EventTable& table, const Pattern& pattern,
                                std::optional<std::size_t> by_column, const RunOptions& options) {
  return reduce_funnel(funnel_pieces(table, pattern, by_column, options), pattern, options);
}

}  // namespace kestrel
