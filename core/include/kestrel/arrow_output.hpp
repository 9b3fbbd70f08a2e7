// Results as Arrow record batches, built natively, so that pyarrow, polars,
// pandas and DuckDB take them without a copy through Python objects.
#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/match.hpp"

namespace kestrel {

// Where results' events are in `source`: by default the rows their indices
// name (input positions, or stream positions for a stream's rows). Results
// gathered from several calls may name different events by one index; then
// result i's events are the input positions from first_positions[i] on, in
// order.
struct ResultEvents {
  ResultEvents(const EventSource& source, std::span<const std::size_t> first_positions = {})
      : source(source), first_positions(first_positions) {}

  // The input position of result `item`'s k-th event, whose index is `index`.
  std::size_t position(std::size_t item, std::size_t k, std::size_t index) const {
    return first_positions.empty() ? input_position(source, index) : first_positions[item] + k;
  }

  const EventSource& source;
  std::span<const std::size_t> first_positions;
};

// Each fills `out` with a stream of one batch (none when empty) whose schema
// does not depend on how many results there are. `capture_names` are the names the pattern
// captures, so that their columns exist even when no result binds them;
// `by` names the funnel's grouping column, if it has one. Each polls
// `interrupt` once per result and column.
Result<bool> export_matches(std::span<const Match> matches, ResultEvents events,
                            ArrowArrayStream& out, std::span<const std::string> capture_names = {},
                            Interrupt interrupt = {});
Result<bool> export_near_misses(std::span<const NearMiss> near_misses, ResultEvents events,
                                ArrowArrayStream& out,
                                std::span<const std::string> capture_names = {},
                                Interrupt interrupt = {});
Result<bool> export_funnel(std::span<const FunnelGroup> groups, const EventSource& source,
                           ArrowArrayStream& out, std::optional<std::string_view> by = {},
                           Interrupt interrupt = {});
// The pieces one row each, with the columns pieces_of_table reads but the
// partition, timestamp and `by` cell, and the position of the first start.
Result<bool> export_funnel_pieces(const FunnelPieces& pieces, ArrowArrayStream& out,
                                  Interrupt interrupt = {});

}  // namespace kestrel
