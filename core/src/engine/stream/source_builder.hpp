// Copies rows of several event sources into one, re-interning their texts:
// the stream's tables are built from the rows of its batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kestrel/event_source.hpp"
#include "kestrel/interrupt.hpp"

namespace kestrel {

// The format both can be written in: the same, the typed one when the other
// is all null ("n"), or the finer unit of one temporal kind.
std::optional<std::string> joined_format(const std::string& a, const std::string& b);

// What a value in format `from` is multiplied by to be written in `to`.
std::int64_t unit_factor(std::string_view from, std::string_view to);

// The unit's name ("s", "ms", ...) of a temporal format.
std::string_view unit_name(std::string_view format);

// Rows are added in the order given, each with its stream position; the
// built table's input positions are that order.
class SourceBuilder {
 public:
  // `carried_like` gives the carried columns' names and formats; values of
  // a coarser unit are scaled up to them.
  SourceBuilder(TimeColumn time, const std::vector<CarriedColumn>& carried_like);

  // Interns the texts of `seed`, in id order, and adds its attribute columns,
  // before any row: ids compiled against `seed` hold in the built table.
  void seed(const EventTable& seed);

  // Adds `rows` of `from`, row r at stream position position_of(r).
  template <class PositionOf>
  void add_rows(const EventSource& from, std::span<const std::size_t> rows, PositionOf position_of,
                Interrupt& interrupt) {
    select(from);
    for (const std::size_t row : rows) {
      interrupt.poll();
      add(from, row, position_of(row));
    }
  }

  // Keeps only `rows` (ascending) of those added, in order; texts keep their
  // ids, and the pool its texts.
  void keep_rows(std::span<const std::size_t> rows);

  // The id in the built table of text `id` of the source added last.
  TextId text(TextId id);

  // The built source, rows in the order added.
  EventSource& source() noexcept { return source_; }
  const EventSource& source() const noexcept { return source_; }

  // The built source, rows in canonical order.
  EventSource sorted(Interrupt& interrupt) &&;

 private:
  void select(const EventSource& from);
  void add(const EventSource& from, std::size_t row, std::size_t stream_position);
  Cell cell(const Cell& in) {
    return in.kind == CellKind::String ? Cell::of_text(text(in.text)) : in;
  }
  Cell scaled(Cell in, std::size_t carried) const;

  EventSource source_;
  const EventSource* selected_ = nullptr;
  std::vector<TextId> text_of_;
  std::vector<std::int64_t> factor_of_;  // by carried column
  std::vector<std::size_t> column_of_;
};

}  // namespace kestrel
