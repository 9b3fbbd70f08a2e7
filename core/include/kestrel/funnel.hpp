// The funnel: how many partitions reached each step of a pattern, where the
// others stopped and why, and how long reaching each step took.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A partition counts once per group, at its deepest progress over all its
// starts in the group; its drop reason is that of its earliest start of that
// depth. A start belongs to the group of its start event's cell in column
// `by`; groups come in order of their first start in the input. Rows must be
// in canonical order. Runs on `options.threads` threads at most with the same
// result, and throws Interrupted when `options.stop_requested` stops it.
std::vector<FunnelGroup> funnel(const EventTable& table, const Pattern& pattern,
                                std::optional<std::size_t> by_column = {},
                                const RunOptions& options = {});

}  // namespace kestrel
