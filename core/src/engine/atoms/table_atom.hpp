// Atoms compiled against one event table.
//
// Compiling resolves whatever does not depend on the events: the type and
// the text literals become text ids, attribute names become columns, and
// bindings live in numbered slots. Which names are bound before a step is
// fixed by the pattern (every step of a path has run its captures), so
// reference predicates and capture checks name their slot in advance, and a
// reference to a name that no earlier step binds makes the atom one that
// never matches. The test is split in two: the clauses that read only the
// event, run once per event, and those that read the slots, run per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/atoms/cell_ops.hpp"
#include "engine/atoms/inline_vector.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

using ColumnId = std::uint32_t;
using SlotId = std::uint32_t;

inline constexpr ColumnId kNoColumn = UINT32_MAX;
// The type of an atom that no event can satisfy.
inline constexpr TextId kNeverType = UINT32_MAX;

// Bound values by slot.
using Slots = InlineVector<Cell, 2>;

// A table read through column ids; a column the table lacks is all Missing.
class TableView {
 public:
  explicit TableView(const EventTable& table) : table_(table) {}

  const EventTable& table() const noexcept { return table_; }
  const Cell& cell(ColumnId column, std::size_t row) const noexcept {
    return column == kNoColumn ? kMissing : table_.columns[column][row];
  }
  // What a capture binds: the cell, or Null when it is Missing.
  Cell captured(ColumnId column, std::size_t row) const noexcept {
    const Cell& value = cell(column, row);
    return value.kind == CellKind::Missing ? Cell::null() : value;
  }

 private:
  static inline const Cell kMissing{};
  const EventTable& table_;
};

struct LiteralTest {
  ColumnId column;
  ComparisonOperator op;
  Cell literal;
};

struct ReferenceTest {
  ColumnId column;
  ComparisonOperator op;
  SlotId slot;
};

// A capture of a name that is already bound: the new value must be identical
// to a slot bound before the atom or, when an earlier capture of the same
// atom binds the name, to that capture's column.
struct CaptureCheck {
  ColumnId column;
  bool against_slot;
  std::uint32_t against;
};

struct TableAtom {
  TextId type = kNeverType;
  std::vector<LiteralTest> literals;
  std::vector<ReferenceTest> references;
  std::vector<CaptureCheck> checks;
  // Columns whose values fill the next slots, in slot order.
  std::vector<ColumnId> binds;

  bool never_matches() const noexcept { return type == kNeverType; }

  // Whether the result depends on the bindings at all.
  bool reads_slots() const noexcept;

  // The first `==` reference, which an index of threads can key on.
  const ReferenceTest* equality_reference() const noexcept;

  // The clauses that read only the event; the type is tested by the caller.
  bool passes_event_clauses(const TableView& view, std::size_t row) const noexcept;

  // The clauses that read the slots.
  bool passes_slot_clauses(const TableView& view, std::size_t row,
                           const Slots& slots) const noexcept;

  bool accepts(const TableView& view, std::size_t row, const Slots& slots) const noexcept {
    return view.table().types[row] == type && passes_event_clauses(view, row) &&
           passes_slot_clauses(view, row, slots);
  }

  void bind(const TableView& view, std::size_t row, Slots& slots) const {
    for (const ColumnId column : binds) slots.push_back(view.captured(column, row));
  }
};

// Compiles the atoms of one pattern in step order, numbering slots as names
// are first bound.
class AtomCompiler {
 public:
  // `bound` names what is bound before the first atom, as slots 0, 1, ...
  explicit AtomCompiler(const EventTable& table, std::vector<std::string> bound = {})
      : table_(table), slot_names_(std::move(bound)) {}

  // An atom of the step being compiled; its captures bind nothing yet.
  TableAtom compile(const Atom& atom);

  // Ends a step: the names its atom captured become slots.
  void close_step(const Atom& atom);

  // Slot numbers in ascending order of their names, and the names.
  std::vector<SlotId> slots_by_name() const;
  const std::vector<std::string>& slot_names() const noexcept { return slot_names_; }

  // What compiling resolves, for callers that read an atom clause by clause:
  // the slot of a name bound so far, the column of an attribute, the cell of
  // a literal.
  std::optional<SlotId> slot_of(const std::string& name) const noexcept;
  ColumnId column_of(const std::string& attribute) const noexcept;
  Cell literal_of(const Value& value) const;

 private:
  const EventTable& table_;
  std::vector<std::string> slot_names_;
};

// Bindings from slots, for results.
Bindings bindings_of(const EventTable& table, const std::vector<std::string>& slot_names,
                     const std::vector<SlotId>& slots_by_name, const Cell* slots);

}  // namespace kestrel
