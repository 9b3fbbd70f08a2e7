#include "engine/atoms/table_atom.hpp"

#include <algorithm>
#include <numeric>

namespace kestrel {

bool TableAtom::reads_slots() const noexcept {
  return !references.empty() || std::any_of(checks.begin(), checks.end(),
                                            [](const CaptureCheck& c) { return c.against_slot; });
}

const ReferenceTest* TableAtom::equality_reference() const noexcept {
  for (const ReferenceTest& reference : references) {
    if (reference.op == ComparisonOperator::Eq) return &reference;
  }
  return nullptr;
}

bool TableAtom::passes_event_clauses(const TableView& view, std::size_t row) const noexcept {
  for (const LiteralTest& test : literals) {
    const Cell& actual = view.cell(test.column, row);
    if (actual.kind == CellKind::Missing || !cell_matches(test.op, actual, test.literal)) {
      return false;
    }
  }
  for (const CaptureCheck& check : checks) {
    if (check.against_slot) continue;
    if (!cells_identical(view.captured(check.column, row), view.captured(check.against, row))) {
      return false;
    }
  }
  return true;
}

bool TableAtom::passes_slot_clauses(const TableView& view, std::size_t row,
                                    const Slots& slots) const noexcept {
  for (const ReferenceTest& test : references) {
    const Cell& actual = view.cell(test.column, row);
    if (actual.kind == CellKind::Missing || !cell_matches(test.op, actual, slots[test.slot])) {
      return false;
    }
  }
  for (const CaptureCheck& check : checks) {
    if (!check.against_slot) continue;
    if (!cells_identical(view.captured(check.column, row), slots[check.against])) return false;
  }
  return true;
}

TableAtom AtomCompiler::compile(const Atom& atom) {
  TableAtom compiled;
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const std::optional<SlotId> slot = slot_of(reference.binding);
    if (!slot) return TableAtom();
    compiled.references.push_back({column_of(reference.attribute), reference.op, *slot});
  }
  const std::optional<TextId> type = table_.texts.find(atom.event_type);
  if (!type) return TableAtom();
  compiled.type = *type;
  for (const Predicate& predicate : atom.predicates) {
    compiled.literals.push_back(
        {column_of(predicate.attribute), predicate.op, literal_of(predicate.value)});
  }
  std::vector<const std::string*> fresh;  // names this atom binds, in slot order
  for (const Capture& capture : atom.captures) {
    const ColumnId column = column_of(capture.attribute);
    const auto earlier = std::find_if(
        fresh.begin(), fresh.end(), [&](const std::string* name) { return *name == capture.name; });
    if (const std::optional<SlotId> slot = slot_of(capture.name)) {
      compiled.checks.push_back({column, true, *slot});
    } else if (earlier != fresh.end()) {
      compiled.checks.push_back({column, false, compiled.binds[earlier - fresh.begin()]});
    } else {
      fresh.push_back(&capture.name);
      compiled.binds.push_back(column);
    }
  }
  return compiled;
}

void AtomCompiler::close_step(const Atom& atom) {
  for (const Capture& capture : atom.captures) {
    if (!slot_of(capture.name)) slot_names_.push_back(capture.name);
  }
}

std::vector<SlotId> AtomCompiler::slots_by_name() const {
  std::vector<SlotId> order(slot_names_.size());
  std::iota(order.begin(), order.end(), SlotId{0});
  std::sort(order.begin(), order.end(),
            [&](SlotId a, SlotId b) { return slot_names_[a] < slot_names_[b]; });
  return order;
}

std::optional<SlotId> AtomCompiler::slot_of(const std::string& name) const noexcept {
  const auto it = std::find(slot_names_.begin(), slot_names_.end(), name);
  if (it == slot_names_.end()) return std::nullopt;
  return static_cast<SlotId>(it - slot_names_.begin());
}

ColumnId AtomCompiler::column_of(const std::string& attribute) const noexcept {
  const std::optional<std::size_t> column = table_.column_of(attribute);
  return column ? static_cast<ColumnId>(*column) : kNoColumn;
}

Cell AtomCompiler::literal_of(const Value& value) const {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return Cell::of_text(table_.texts.find(*text).value_or(kForeignText));
  }
  return EventTable().cell_of(value);
}

Bindings bindings_of(const EventTable& table, const std::vector<std::string>& slot_names,
                     const std::vector<SlotId>& slots_by_name, const Cell* slots) {
  Bindings bindings;
  bindings.reserve(slots_by_name.size());
  // Ascending names make each insertion an append.
  for (const SlotId slot : slots_by_name) {
    if (std::optional<Value> value = table.value_of(slots[slot])) {
      bindings.set(slot_names[slot], std::move(*value));
    }
  }
  return bindings;
}

}  // namespace kestrel
