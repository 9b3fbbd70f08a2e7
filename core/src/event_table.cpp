// Building the columnar table from events, and converting cells back.
//
// Rows of one partition are consecutive, so a partition text is interned once
// per run rather than once per event. Attribute look-ups go through each
// event's sorted map, once per event and column.

#include "kestrel/event_table.hpp"

#include <unordered_set>

namespace kestrel {

TextId TextPool::intern(std::string_view text) {
  if (const auto it = ids_.find(text); it != ids_.end()) return it->second;
  const auto id = static_cast<TextId>(texts_.size());
  ids_.emplace(texts_.emplace_back(text), id);
  return id;
}

std::optional<TextId> TextPool::find(std::string_view text) const noexcept {
  const auto it = ids_.find(text);
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::size_t> EventTable::column_of(std::string_view name) const noexcept {
  const std::optional<TextId> id = texts.find(name);
  if (!id) return std::nullopt;
  for (std::size_t column = 0; column < attribute_names.size(); ++column) {
    if (attribute_names[column] == *id) return column;
  }
  return std::nullopt;
}

// Each Value is made in place: gcc 12 misreads a Value moved into an
// optional as maybe uninitialized.
std::optional<Value> EventTable::value_of(const Cell& cell) const {
  std::optional<Value> value;
  switch (cell.kind) {
    case CellKind::Missing: break;
    case CellKind::Null: value.emplace(Null{}); break;
    case CellKind::String:
      value.emplace(std::in_place_type<std::string>, texts.text(cell.text));
      break;
    case CellKind::Int: value.emplace(cell.integer); break;
    case CellKind::Float: value.emplace(cell.number); break;
    case CellKind::Bool: value.emplace(cell.flag); break;
  }
  return value;
}

Cell EventTable::cell_of(const Value& value) {
  switch (kind_of(value)) {
    case ValueKind::String: return Cell::of_text(texts.intern(std::get<std::string>(value)));
    case ValueKind::Int: return Cell::of_int(std::get<std::int64_t>(value));
    case ValueKind::Float: return Cell::of_float(std::get<double>(value));
    case ValueKind::Bool: return Cell::of_bool(std::get<bool>(value));
    case ValueKind::Null: break;
  }
  return Cell::null();
}

EventTable EventTable::from_events(std::span<const Event> events,
                                   std::span<const std::string> attributes, Interrupt interrupt) {
  EventTable table;
  const std::size_t rows = events.size();
  table.partitions.reserve(rows);
  table.timestamps.reserve(rows);
  table.types.reserve(rows);
  table.positions.reserve(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    interrupt.poll();
    const Event& event = events[row];
    const bool same_run = row > 0 && event.partition == events[row - 1].partition;
    table.partitions.push_back(same_run ? table.partitions.back()
                                        : table.texts.intern(event.partition));
    table.timestamps.push_back(event.ts);
    table.types.push_back(table.texts.intern(event.typ));
    table.positions.push_back(row);
  }
  for (const std::string& name : attributes) {
    table.attribute_names.push_back(table.texts.intern(name));
    std::vector<Cell>& column = table.columns.emplace_back(rows);
    for (std::size_t row = 0; row < rows; ++row) {
      interrupt.poll();
      if (const Value* value = events[row].attrs.find(name)) column[row] = table.cell_of(*value);
    }
  }
  return table;
}

std::vector<std::string> attributes_read(const Pattern& pattern) {
  std::vector<std::string> names;
  std::unordered_set<std::string_view> seen;
  const auto note = [&](const std::string& name) {
    if (seen.insert(name).second) names.push_back(name);
  };
  const auto note_atom = [&](const Atom& atom) {
    for (const Predicate& predicate : atom.predicates) note(predicate.attribute);
    for (const ReferencePredicate& reference : atom.reference_predicates) note(reference.attribute);
    for (const Capture& capture : atom.captures) note(capture.attribute);
  };
  for (const Step& step : pattern.steps) {
    note_atom(step.atom);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) note_atom(atom);
    }
  }
  return names;
}

}  // namespace kestrel
