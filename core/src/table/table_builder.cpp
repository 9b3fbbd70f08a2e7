// Canonical order by integer keys: partitions are ranked once, so neither
// the check nor the sort ever touches a text. Rows are placed by a counting
// sort on the partition rank, which keeps input order within a partition;
// a partition's run is then sorted by time only when it is out of order.
// Logs are mostly written in time order, many partitions interleaved, so
// the common cost is two linear passes rather than a comparison sort of
// every row.
#include "table/table_builder.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "kestrel/error.hpp"

namespace kestrel {

namespace {

bool in_order(std::span<const std::size_t> rank_of, std::span<const TextId> partitions,
              std::span<const std::int64_t> timestamps, Interrupt& interrupt) {
  for (std::size_t row = 1; row < timestamps.size(); ++row) {
    interrupt.poll();
    if (partitions[row - 1] != partitions[row]) {
      if (rank_of[partitions[row - 1]] > rank_of[partitions[row]]) return false;
      if (rank_of[partitions[row - 1]] < rank_of[partitions[row]]) continue;
    }
    if (timestamps[row - 1] > timestamps[row]) return false;
  }
  return true;
}

// The rows by partition rank, each partition's rows in input order.
std::vector<std::size_t> by_partition_rank(std::span<const std::size_t> rank_of,
                                           std::span<const TextId> partitions,
                                           Interrupt& interrupt) {
  std::size_t ranks = 0;
  for (const TextId partition : partitions) ranks = std::max(ranks, rank_of[partition] + 1);
  std::vector<std::size_t> next(ranks + 1);  // first place of each rank's rows
  for (const TextId partition : partitions) ++next[rank_of[partition] + 1];
  std::partial_sum(next.begin(), next.end(), next.begin());
  std::vector<std::size_t> order(partitions.size());
  for (std::size_t row = 0; row < partitions.size(); ++row) {
    interrupt.poll();
    order[next[rank_of[partitions[row]]]++] = row;
  }
  return order;
}

// Sorts each partition's run of `order` by time, ties in input order.
void sort_runs_by_time(std::vector<std::size_t>& order, std::span<const TextId> partitions,
                       std::span<const std::int64_t> timestamps, Interrupt& interrupt) {
  const auto earlier = [&](std::size_t a, std::size_t b) {
    interrupt.poll();
    return timestamps[a] != timestamps[b] ? timestamps[a] < timestamps[b] : a < b;
  };
  std::size_t begin = 0;
  while (begin < order.size()) {
    std::size_t end = begin + 1;
    bool sorted = true;
    for (; end < order.size() && partitions[order[end]] == partitions[order[begin]]; ++end) {
      interrupt.poll();
      sorted = sorted && timestamps[order[end - 1]] <= timestamps[order[end]];
    }
    if (!sorted) std::sort(order.begin() + begin, order.begin() + end, earlier);
    begin = end;
  }
}

template <class T>
void permute(std::vector<T>& values, std::span<const std::size_t> order, Interrupt& interrupt) {
  std::vector<T> sorted;
  sorted.reserve(order.size());
  for (const std::size_t from : order) {
    interrupt.poll();
    sorted.push_back(values[from]);
  }
  values = std::move(sorted);
}

void require_whole_rows(const EventTable& table) {
  const std::size_t rows = table.size();
  bool whole = table.partitions.size() == rows && table.types.size() == rows &&
               table.columns.size() == table.attribute_names.size();
  for (const std::vector<Cell>& column : table.columns) whole = whole && column.size() == rows;
  if (!whole) throw InternalError("a table's columns differ in length");
}

}  // namespace

std::vector<Cell>& TableBuilder::add_column(std::string_view name, std::size_t rows) {
  table_.attribute_names.push_back(table_.texts.intern(name));
  return table_.columns.emplace_back(rows);
}

// Rows of one partition are usually consecutive, so a partition text is
// interned once per run rather than once per event. Attribute look-ups go
// through each event's sorted map, once per event and column.
void TableBuilder::add_events(std::span<const Event> events,
                              std::span<const std::string> attributes, Interrupt interrupt) {
  if (table_.size() > 0 || !table_.columns.empty())
    throw InternalError("events into a built table");
  const std::size_t rows = events.size();
  table_.partitions.reserve(rows);
  table_.timestamps.reserve(rows);
  table_.types.reserve(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    interrupt.poll();
    const Event& event = events[row];
    const bool same_run = row > 0 && event.partition == events[row - 1].partition;
    table_.partitions.push_back(same_run ? table_.partitions.back()
                                         : table_.texts.intern(event.partition));
    table_.timestamps.push_back(event.ts);
    table_.types.push_back(table_.texts.intern(event.typ));
  }
  for (const std::string& name : attributes) {
    std::vector<Cell>& column = add_column(name, rows);
    for (std::size_t row = 0; row < rows; ++row) {
      interrupt.poll();
      if (const Value* value = events[row].attrs.find(name)) column[row] = table_.cell_of(*value);
    }
  }
}

EventTable TableBuilder::build(Interrupt& interrupt) && {
  require_whole_rows(table_);
  put_in_order(table_, byte_order_ranks(table_.texts, table_.partitions, interrupt), interrupt);
  return std::move(table_);
}

EventTable TableBuilder::in_input_order() && {
  require_whole_rows(table_);
  table_.positions.resize(table_.size());
  std::iota(table_.positions.begin(), table_.positions.end(), std::size_t{0});
  return std::move(table_);
}

std::vector<std::size_t> byte_order_ranks(const TextPool& texts, std::span<const TextId> partitions,
                                          Interrupt& interrupt) {
  std::vector<TextId> distinct;
  std::vector<bool> seen(texts.size());
  for (const TextId id : partitions) {
    if (!seen[id]) distinct.push_back(id);
    seen[id] = true;
  }
  std::sort(distinct.begin(), distinct.end(), [&](TextId a, TextId b) {
    interrupt.poll();
    return texts.text(a) < texts.text(b);
  });
  std::vector<std::size_t> rank_of(texts.size());
  for (std::size_t rank = 0; rank < distinct.size(); ++rank) rank_of[distinct[rank]] = rank;
  return rank_of;
}

std::optional<std::vector<std::size_t>> order_by_partition_and_time(
    std::span<const std::size_t> rank_of, std::span<const TextId> partitions,
    std::span<const std::int64_t> timestamps, Interrupt& interrupt) {
  if (in_order(rank_of, partitions, timestamps, interrupt)) return std::nullopt;
  std::vector<std::size_t> order = by_partition_rank(rank_of, partitions, interrupt);
  sort_runs_by_time(order, partitions, timestamps, interrupt);
  return order;
}

void put_in_order(EventTable& table, std::span<const std::size_t> rank_of, Interrupt& interrupt) {
  std::optional<std::vector<std::size_t>> order =
      order_by_partition_and_time(rank_of, table.partitions, table.timestamps, interrupt);
  if (!order) {
    table.positions.resize(table.size());
    std::iota(table.positions.begin(), table.positions.end(), std::size_t{0});
    return;
  }
  permute(table.partitions, *order, interrupt);
  permute(table.timestamps, *order, interrupt);
  permute(table.types, *order, interrupt);
  for (std::vector<Cell>& column : table.columns) permute(column, *order, interrupt);
  table.positions = std::move(*order);
}

}  // namespace kestrel
