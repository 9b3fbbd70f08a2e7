// Building an EventTable from columns: every way events come in fills one
// of these with its rows in input order, and it puts them in canonical order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/event.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"

namespace kestrel {

class TableBuilder {
 public:
  // The table so far, rows in input order. Callers fill its pool and its
  // columns directly, the attribute columns made by add_column; each column
  // must end as long as `timestamps`.
  EventTable& rows() noexcept { return table_; }

  TextId intern(std::string_view text) { return table_.texts.intern(text); }

  // A new attribute column, `rows` cells long, every cell Missing.
  std::vector<Cell>& add_column(std::string_view name, std::size_t rows);

  // The events as rows, with the named attributes as columns; into an
  // empty builder. Polls `interrupt` once per row and column.
  void add_events(std::span<const Event> events, std::span<const std::string> attributes,
                  Interrupt interrupt);

  // The table in canonical order: partitions in byte order, then timestamp,
  // then input order; `positions` says where each row came from.
  EventTable build(Interrupt& interrupt) &&;

  // The table with its rows as given, `positions` the identity: for rows
  // the caller knows to be in order, or wants as they are.
  EventTable in_input_order() &&;

 private:
  EventTable table_;
};

// Each partition id's rank among the distinct partitions of `partitions` in
// byte order of their texts; ids no row has rank 0.
std::vector<std::size_t> byte_order_ranks(const TextPool& texts, std::span<const TextId> partitions,
                                          Interrupt& interrupt);

// The rows by partition rank (rank_of[partition id]), then timestamp, then
// row: order[i] is the row that goes i-th. None when the rows are in that
// order already, which is common (logs are mostly written in order) and
// saves the sort, the largest cost of building a table.
std::optional<std::vector<std::size_t>> order_by_partition_and_time(
    std::span<const std::size_t> rank_of, std::span<const TextId> partitions,
    std::span<const std::int64_t> timestamps, Interrupt& interrupt);

// Puts the table's rows in that order, and `positions` to where each came
// from (their index before).
void put_in_order(EventTable& table, std::span<const std::size_t> rank_of, Interrupt& interrupt);

}  // namespace kestrel
