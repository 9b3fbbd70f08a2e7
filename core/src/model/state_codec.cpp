// The checks the state reader runs on the records it has read.
#include "model/state_codec.hpp"

#include <algorithm>
#include <functional>

namespace kestrel {

namespace {

void refuse_unless(bool holds, const std::string& why) {
  if (!holds) StateReader::fail(why);
}

bool rows_agree(const EventTable& table) {
  const std::size_t rows = table.size();
  return table.partitions.size() == rows && table.types.size() == rows &&
         table.positions.size() == rows && table.columns.size() == table.attribute_names.size() &&
         std::all_of(table.columns.begin(), table.columns.end(),
                     [&](const std::vector<Cell>& column) { return column.size() == rows; });
}

bool texts_known(const std::vector<TextId>& ids, const TextPool& pool) {
  return std::all_of(ids.begin(), ids.end(), [&](TextId id) { return id < pool.size(); });
}

bool texts_known(const std::vector<Cell>& cells, const TextPool& pool) {
  return std::all_of(cells.begin(), cells.end(), [&](const Cell& cell) {
    return cell.kind != CellKind::String || cell.text < pool.size();
  });
}

bool all_texts_known(const EventTable& table) {
  const TextPool& pool = table.texts;
  return texts_known(table.partitions, pool) && texts_known(table.types, pool) &&
         texts_known(table.attribute_names, pool) &&
         std::all_of(table.columns.begin(), table.columns.end(),
                     [&](const std::vector<Cell>& column) { return texts_known(column, pool); });
}

bool distinct(std::vector<TextId> ids) {
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

bool is_permutation_of_rows(const std::vector<std::size_t>& positions) {
  std::vector<bool> seen(positions.size(), false);
  for (const std::size_t position : positions) {
    if (position >= seen.size() || seen[position]) return false;
    seen[position] = true;
  }
  return true;
}

// Each partition one run; within it, by time, then by input position.
bool in_canonical_order(const EventTable& table) {
  std::vector<bool> ended(table.texts.size(), false);
  for (std::size_t row = 1; row < table.size(); ++row) {
    const TextId partition = table.partitions[row];
    if (partition != table.partitions[row - 1]) {
      ended[table.partitions[row - 1]] = true;
      if (ended[partition]) return false;
    } else if (table.timestamps[row] < table.timestamps[row - 1] ||
               (table.timestamps[row] == table.timestamps[row - 1] &&
                table.positions[row] < table.positions[row - 1])) {
      return false;
    }
  }
  return true;
}

bool fits(const std::string& format, const Cell& cell) {
  switch (cell.kind) {
    case CellKind::Missing:
    case CellKind::Null: return true;
    case CellKind::String: return format == "u";
    case CellKind::Int: return format == "l" || (format.size() > 1 && format[0] == 't');
    case CellKind::Float: return format == "g";
    case CellKind::Bool: return format == "b";
  }
  return false;
}

bool known_format(const std::string& format) {
  return format == "u" || format == "l" || format == "g" || format == "b" || format == "n" ||
         (format.size() > 1 && format[0] == 't');
}

}  // namespace

void check(const TimeColumn& time) {
  const std::string& unit = time.unit;
  refuse_unless(unit == "s" || unit == "ms" || unit == "us" || unit == "ns",
                "it holds an unknown time unit");
}

void check(const Pattern& pattern) {
  refuse_unless(!find_structural_fault(pattern), "its pattern is malformed");
}

void check(const EventTable& table) {
  refuse_unless(rows_agree(table), "its table's rows differ in length");
  refuse_unless(all_texts_known(table), "its table names a text it lacks");
  refuse_unless(distinct(table.attribute_names), "its table names an attribute twice");
  refuse_unless(is_permutation_of_rows(table.positions),
                "its table's positions are not its rows' positions");
  refuse_unless(in_canonical_order(table), "its table's rows are out of order");
}

void check(const CarriedColumn& carried, const EventTable& table) {
  const std::vector<Cell>& values = carried.values;
  refuse_unless(known_format(carried.format) && values.size() == table.size() &&
                    texts_known(values, table.texts) &&
                    std::all_of(values.begin(), values.end(),
                                [&](const Cell& cell) { return fits(carried.format, cell); }),
                "its carried column `" + carried.name + "` is malformed");
}

void check(const EventSource& source) {
  for (const CarriedColumn& carried : source.carried) check(carried, source.table);
  const std::vector<std::size_t>& stream = source.stream_positions;
  refuse_unless(stream.empty() || (stream.size() == source.table.size() &&
                                   std::adjacent_find(stream.begin(), stream.end(),
                                                      std::greater_equal<>()) == stream.end()),
                "its stream positions do not match its rows");
}

}  // namespace kestrel
