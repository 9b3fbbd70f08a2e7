// Funnel pieces read back from a table of them, as the pieces of several
// tables put together come back for one reduction.

#include <array>
#include <cstdint>
#include <string>

#include "engine/funnel/funnel_groups.hpp"
#include "kestrel/error.hpp"
#include "kestrel/funnel.hpp"

namespace kestrel {

namespace {

std::string column_name(std::string_view name) { return "`" + std::string(name) + "`"; }

Result<std::size_t> column_of(const EventTable& table, const std::string& name) {
  if (const std::optional<std::size_t> column = table.column_of(name)) return *column;
  return Error{"funnel pieces: no column " + column_name(name)};
}

Error bad_cell(const std::string& name, std::size_t row) {
  return Error{"funnel pieces: column " + column_name(name) + " row " + std::to_string(row) +
               " is not a count in range"};
}

// Reads the pieces' integer columns; `times` holds one column per step from 2.
class PieceColumns {
 public:
  static Result<PieceColumns> of(const EventTable& table, std::size_t steps) {
    PieceColumns out;
    for (const char* name : {kPieceDepth, kPieceReason}) {
      Result<std::size_t> column = column_of(table, name);
      if (!column) return Error{column.error()};
      out.names_.emplace_back(name);
      out.columns_.push_back(column.value());
    }
    for (std::size_t k = 2; k <= steps; ++k) {
      std::string name = kPieceTimePrefix + std::to_string(k);
      Result<std::size_t> column = column_of(table, name);
      if (!column) return Error{column.error()};
      out.names_.push_back(std::move(name));
      out.columns_.push_back(column.value());
    }
    return out;
  }

  // Row `row`'s depth and reason into `piece` and its times onto `times`.
  Result<bool> read(const EventTable& table, std::size_t row, std::size_t steps, FunnelPiece& piece,
                    std::vector<std::optional<std::int64_t>>& times) const {
    const std::array<std::size_t, 2> limits{steps, kFunnelComplete};
    std::array<std::size_t*, 2> counts{&piece.depth, &piece.reason};
    for (std::size_t i = 0; i < 2; ++i) {
      const Cell& cell = table.columns[columns_[i]][row];
      if (cell.kind != CellKind::Int || cell.integer < 0 ||
          static_cast<std::uint64_t>(cell.integer) > limits[i]) {
        return bad_cell(names_[i], row);
      }
      *counts[i] = static_cast<std::size_t>(cell.integer);
    }
    for (std::size_t i = 2; i < columns_.size(); ++i) {
      const Cell& cell = table.columns[columns_[i]][row];
      if (cell.kind == CellKind::Int) {
        times.push_back(cell.integer);
      } else if (cell.kind == CellKind::Null || cell.kind == CellKind::Missing) {
        times.emplace_back();
      } else {
        return bad_cell(names_[i], row);
      }
    }
    return true;
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::size_t> columns_;
};

}  // namespace

Result<FunnelPieces> pieces_of_table(const EventTable& table, std::optional<std::size_t> by_column,
                                     std::size_t steps) {
  if (steps == 0) throw InternalError("a funnel has steps");
  Result<PieceColumns> columns = PieceColumns::of(table, steps);
  if (!columns) return Error{columns.error()};
  FunnelGrouping grouping(table, by_column);
  FunnelPieces out;
  out.steps = steps;
  out.times.reserve(table.size() * (steps - 1));
  for (std::size_t row = 0; row < table.size(); ++row) {
    FunnelPiece& piece = out.pieces.emplace_back();
    piece.group = grouping.group_of(row, row);
    piece.position = row;
    const Result<bool> read = columns.value().read(table, row, steps, piece, out.times);
    if (!read) return Error{read.error()};
  }
  grouping.order_into(out);
  return out;
}

}  // namespace kestrel
