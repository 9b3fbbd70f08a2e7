// The funnel: how many partitions reached each step of a pattern, where the
// others stopped and why, and how long reaching each step took.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"
#include "kestrel/run_options.hpp"

namespace kestrel {

struct FunnelStep {
  std::size_t step = 0;  // 1-based
  std::string event_type;
  std::size_t entered = 0;  // partitions whose deepest progress reached this step
  // Partitions whose deepest progress stopped at this step, by reason, in the
  // order predicate_failed, absence_blocked, window_exceeded, no_successor.
  std::array<std::size_t, 4> dropped{};
  std::optional<double> conversion;  // entered / the previous step's entered
  // Time from the start event to this step's event, over the partitions that
  // entered it (linear interpolation between ranks); none for step 1 or when
  // no partition entered.
  std::optional<double> time_p50;
  std::optional<double> time_p90;
};

struct FunnelGroup {
  std::optional<Value> key;  // the `by` value of the group's starts; none without `by`
  std::vector<FunnelStep> steps;
};

// The drop reason of a piece whose start completes.
constexpr std::size_t kFunnelComplete = 4;

// How far one (group, partition) pair got: its deepest start. A funnel is
// the reduction of its pieces, so the pieces of disjoint sets of partitions,
// put together, reduce to the funnel of all of them.
struct FunnelPiece {
  std::size_t group = 0;                 // index into FunnelPieces::keys
  std::size_t position = 0;              // input position of the pair's first start
  std::size_t depth = 0;                 // steps reached
  std::size_t reason = kFunnelComplete;  // as FunnelStep::dropped indexes it
};

struct FunnelPieces {
  std::size_t steps = 0;
  std::vector<std::optional<Value>> keys;  // group keys, in the funnel's order
  std::vector<FunnelPiece> pieces;         // in order of their first start
  // steps - 1 per piece: the time from its start's event to its events of
  // steps 2, 3...; none past the path the start is timed by.
  std::vector<std::optional<std::int64_t>> times;

  std::optional<std::int64_t> time(std::size_t piece, std::size_t step) const {
    return times[piece * (steps - 1) + step - 2];
  }
};

// A partition counts once per group, at its deepest progress over all its
// starts in the group; its drop reason is that of its earliest start of that
// depth. A start belongs to the group of its start event's cell in column
// `by`; groups come in order of their first start in the input. Rows must be
// in canonical order. Runs on `options.threads` threads at most with the same
// result, and throws Interrupted when `options.stop_requested` stops it.
FunnelPieces funnel_pieces(const EventTable& table, const Pattern& pattern,
                           std::optional<std::size_t> by_column = {},
                           const RunOptions& options = {});

// Per group and step: the counts add up, and the times' quantiles are taken
// linearly between ranks. `pattern` names the steps.
std::vector<FunnelGroup> reduce_funnel(const FunnelPieces& pieces, const Pattern& pattern,
                                       const RunOptions& options = {});

// reduce_funnel(funnel_pieces(...)).
std::vector<FunnelGroup> funnel(const EventTable& table, const Pattern& pattern,
                                std::optional<std::size_t> by_column = {},
                                const RunOptions& options = {});

// Pieces written out as rows (export_funnel_pieces, to which the caller adds
// the partition, timestamp and `by` cell of each piece's first start) and
// read back as a table: one row per piece, the group's cell in column `by`,
// and integer columns named as below. Groups come in order of their first
// row, rows being in canonical order, and a piece's position is its row.
// An Error names a missing column or a bad cell.
inline constexpr const char* kPiecePosition = "__kestrel_position";
inline constexpr const char* kPieceDepth = "__kestrel_depth";
inline constexpr const char* kPieceReason = "__kestrel_reason";
inline constexpr const char* kPieceTimePrefix = "__kestrel_time_";  // then the step, from 2
Result<FunnelPieces> pieces_of_table(const EventTable& table, std::optional<std::size_t> by_column,
                                     std::size_t steps);

}  // namespace kestrel
