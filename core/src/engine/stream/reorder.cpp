// A partition's newest timestamp minus the lateness is the earliest an
// event may still arrive at, so the rows before it are in their final
// order: they go on to the matcher, in canonical order, and the rest wait.
// A row released later lies after every row released before, which keeps
// each partition's rows in time order for the stage, ties in stream order.
// Cost per push: the held rows plus the batch, sorted.
#include "engine/stream/reorder.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/stream/source_builder.hpp"

namespace kestrel {

namespace {

// `rows` of `from`, ordered by stream position as an event source needs.
EventSource in_stream_order(const EventSource& from, std::vector<std::size_t> rows,
                            Interrupt& interrupt) {
  const auto position = [&](std::size_t row) {
    return from.stream_positions[from.table.positions[row]];
  };
  std::sort(rows.begin(), rows.end(),
            [&](std::size_t a, std::size_t b) { return position(a) < position(b); });
  return rows_of(from, rows, interrupt);
}

}  // namespace

EventSource Reorder::release(const Arrivals& arrivals, const Columns& columns,
                             const LateCheck& late, Interrupt& interrupt) {
  SourceBuilder builder = held_then_arrivals(held_, arrivals, columns, interrupt);
  const EventSource& all = builder.source();
  // Looked up once per partition.
  std::vector<std::optional<std::optional<std::int64_t>>> earliest(all.table.texts.size());
  std::vector<std::size_t> out, wait;
  for (std::size_t row = 0; row < all.table.size(); ++row) {
    interrupt.poll();
    const TextId partition = all.table.partitions[row];
    if (!earliest[partition])
      earliest[partition] = late.earliest_to_come(all.table.texts.text(partition));
    const std::optional<std::int64_t>& bound = *earliest[partition];
    (bound && all.table.timestamps[row] < *bound ? out : wait).push_back(row);
  }
  held_ = in_stream_order(all, std::move(wait), interrupt);
  return in_stream_order(all, std::move(out), interrupt);
}

EventSource Reorder::release_all(Interrupt& interrupt) {
  std::vector<std::size_t> rows(held_.table.size());
  for (std::size_t row = 0; row < rows.size(); ++row) rows[row] = row;
  EventSource all = in_stream_order(held_, std::move(rows), interrupt);
  held_ = rows_of(held_, {}, interrupt);
  return all;
}

}  // namespace kestrel
