// Rows usually come in long runs from one source, so the maps from a
// source's text ids and columns to the built table's are made per source,
// once per `add_rows`, and each row costs array look-ups only.
#include "engine/stream/source_builder.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <utility>

#include "kestrel/error.hpp"
#include "table/table_builder.hpp"

namespace kestrel {

namespace {

constexpr TextId kUnmapped = std::numeric_limits<TextId>::max();

// A carried temporal column may change unit from batch to batch (timestamps
// in s then ms, date32 then date64, time32 then time64): it is written in the
// finest unit seen, its coarser values scaled up. Formats are "t", a kind
// letter, a unit letter, and for timestamps ":" and the zone.
struct TemporalUnit {
  char letter;
  std::int64_t nanoseconds;
  std::string_view name;
};

std::optional<TemporalUnit> temporal_unit(std::string_view format) {
  static constexpr std::array<TemporalUnit, 5> kUnits{{{'D', 86'400'000'000'000, "days"},
                                                       {'s', 1'000'000'000, "s"},
                                                       {'m', 1'000'000, "ms"},
                                                       {'u', 1'000, "us"},
                                                       {'n', 1, "ns"}}};
  if (format.size() < 3 || format[0] != 't' ||
      std::string_view("sDtd").find(format[1]) == std::string_view::npos) {
    return std::nullopt;
  }
  for (const TemporalUnit& unit : kUnits) {
    if (unit.letter == format[2]) return unit;
  }
  return std::nullopt;
}

template <class T>
void keep(std::vector<T>& values, std::span<const std::size_t> rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) values[i] = values[rows[i]];
  values.resize(rows.size());
}

}  // namespace

std::int64_t unit_factor(std::string_view from, std::string_view to) {
  if (from == to) return 1;
  const std::optional<TemporalUnit> a = temporal_unit(from), b = temporal_unit(to);
  return a && b ? a->nanoseconds / b->nanoseconds : 1;
}

std::string_view unit_name(std::string_view format) {
  const std::optional<TemporalUnit> unit = temporal_unit(format);
  return unit ? unit->name : std::string_view();
}

std::optional<std::string> joined_format(const std::string& a, const std::string& b) {
  if (a == b || b == "n") return a;
  if (a == "n") return b;
  const std::optional<TemporalUnit> unit_a = temporal_unit(a), unit_b = temporal_unit(b);
  if (!unit_a || !unit_b || a[1] != b[1] || a.substr(3) != b.substr(3)) return std::nullopt;
  return unit_a->nanoseconds <= unit_b->nanoseconds ? a : b;
}

SourceBuilder::SourceBuilder(TimeColumn time, const std::vector<CarriedColumn>& carried_like) {
  source_.time = std::move(time);
  for (const CarriedColumn& carried : carried_like) {
    source_.carried.push_back({carried.name, carried.format, {}});
  }
}

void SourceBuilder::seed(const EventTable& seed) {
  EventTable& table = source_.table;
  if (table.size() > 0 || table.texts.size() > 0) throw InternalError("seeding a built table");
  for (TextId id = 0; id < seed.texts.size(); ++id) table.texts.intern(seed.texts.text(id));
  table.attribute_names = seed.attribute_names;
  table.columns.resize(seed.attribute_names.size());
}

TextId SourceBuilder::text(TextId id) {
  if (text_of_[id] == kUnmapped) {
    text_of_[id] = source_.table.texts.intern(selected_->table.texts.text(id));
  }
  return text_of_[id];
}

void SourceBuilder::keep_rows(std::span<const std::size_t> rows) {
  EventTable& table = source_.table;
  keep(table.partitions, rows);
  keep(table.timestamps, rows);
  keep(table.types, rows);
  for (std::vector<Cell>& column : table.columns) keep(column, rows);
  for (CarriedColumn& carried : source_.carried) keep(carried.values, rows);
  keep(source_.stream_positions, rows);
  table.positions.resize(rows.size());  // still the identity
}

EventSource SourceBuilder::sorted(Interrupt& interrupt) && {
  EventTable& table = source_.table;
  // Partition runs in order of first appearance: each id is its own rank.
  std::vector<std::size_t> rank_of(table.texts.size());
  std::iota(rank_of.begin(), rank_of.end(), std::size_t{0});
  put_in_order(table, rank_of, interrupt);
  return std::move(source_);
}

void SourceBuilder::select(const EventSource& from) {
  selected_ = &from;
  text_of_.assign(from.table.texts.size(), kUnmapped);
  factor_of_.clear();
  for (std::size_t c = 0; c < from.carried.size(); ++c) {
    factor_of_.push_back(unit_factor(from.carried[c].format, source_.carried[c].format));
  }
  column_of_.clear();
  EventTable& table = source_.table;
  for (const TextId name : from.table.attribute_names) {
    const TextId id = text(name);
    const auto found = std::find(table.attribute_names.begin(), table.attribute_names.end(), id);
    column_of_.push_back(static_cast<std::size_t>(found - table.attribute_names.begin()));
    if (found == table.attribute_names.end()) {
      table.attribute_names.push_back(id);
      table.columns.emplace_back(table.size());
    }
  }
}

void SourceBuilder::add(const EventSource& from, std::size_t row, std::size_t stream_position) {
  EventTable& table = source_.table;
  const EventTable& in = from.table;
  table.positions.push_back(table.size());
  table.partitions.push_back(text(in.partitions[row]));
  table.timestamps.push_back(in.timestamps[row]);
  table.types.push_back(text(in.types[row]));
  for (std::vector<Cell>& column : table.columns) column.emplace_back();
  for (std::size_t c = 0; c < in.columns.size(); ++c) {
    table.columns[column_of_[c]].back() = cell(in.columns[c][row]);
  }
  const std::size_t position = in.positions[row];
  for (std::size_t c = 0; c < from.carried.size(); ++c) {
    source_.carried[c].values.push_back(scaled(cell(from.carried[c].values[position]), c));
  }
  source_.stream_positions.push_back(stream_position);
}

// Values were checked to fit before the batch was taken.
Cell SourceBuilder::scaled(Cell in, std::size_t carried) const {
  if (factor_of_[carried] == 1 || in.kind != CellKind::Int) return in;
  if (__builtin_mul_overflow(in.integer, factor_of_[carried], &in.integer)) {
    throw InternalError("a carried value does not fit its column's unit");
  }
  return in;
}

}  // namespace kestrel
