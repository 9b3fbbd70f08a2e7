// What the stages share: copying rows between a stream's sources.
#include "engine/stream/stream_stage.hpp"

#include <utility>
#include <vector>

namespace kestrel {

EventSource rows_of(const EventSource& from, std::span<const std::size_t> rows,
                    Interrupt& interrupt) {
  SourceBuilder builder(from.time, from.carried);
  builder.add_rows(
      from, rows, [&](std::size_t row) { return from.stream_positions[from.table.positions[row]]; },
      interrupt);
  return std::move(builder).sorted(interrupt);
}

SourceBuilder held_then_arrivals(const EventSource& held, const Arrivals& arrivals,
                                 const Columns& columns, Interrupt& interrupt) {
  SourceBuilder builder(columns.time, columns.carried);
  std::vector<std::size_t> rows(held.table.size());
  for (std::size_t row = 0; row < rows.size(); ++row) rows[held.table.positions[row]] = row;
  builder.add_rows(
      held, rows, [&](std::size_t row) { return held.stream_positions[held.table.positions[row]]; },
      interrupt);
  builder.add_rows(
      arrivals.source, arrivals.rows, [&](std::size_t row) { return arrivals.position(row); },
      interrupt);
  return builder;
}

}  // namespace kestrel
