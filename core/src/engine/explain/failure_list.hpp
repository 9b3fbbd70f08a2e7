// Why a candidate fails a step's atom, clause by clause, as a near-miss
// record states it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/atoms/table_atom.hpp"
#include "kestrel/explain.hpp"

namespace kestrel {

// One step's atom compiled clause by clause against the table. Unlike a
// TableAtom it keeps every clause, even when a reference names nothing bound
// (a table atom then never matches as a whole): each failing clause is one
// entry of the record. Values are made of the cells only for the clauses
// that fail.
class FailureList {
 public:
  // Compiled while `compiler` has the names bound before the step.
  FailureList(const Atom& atom, const AtomCompiler& compiler);

  // The clauses that `row` fails under `slots`, the bindings before the
  // step: literal predicates, then references, then captures of bound
  // names, each in the atom's order.
  std::vector<PredicateFailure> of(const TableView& view, std::size_t row,
                                   const Slots& slots) const;

 private:
  struct LiteralClause {
    const Predicate* predicate;
    ColumnId column;
    Cell literal;
  };
  struct ReferenceClause {
    const ReferencePredicate* reference;
    ColumnId column;
    std::optional<SlotId> slot;
  };
  struct CaptureClause {
    const Capture* capture;
    ColumnId column;
    SlotId slot;
  };

  std::vector<LiteralClause> literals_;
  std::vector<ReferenceClause> references_;
  std::vector<CaptureClause> captures_;  // of names bound before the step only
};

}  // namespace kestrel
