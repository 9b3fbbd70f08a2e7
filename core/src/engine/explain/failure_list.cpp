// A candidate's failing clauses, each judged on cells as the table atoms
// judge them (cell_ops.hpp), each turned into Values only once it fails.
#include "engine/explain/failure_list.hpp"

namespace kestrel {

FailureList::FailureList(const Atom& atom, const AtomCompiler& compiler) {
  for (const Predicate& predicate : atom.predicates) {
    literals_.push_back({&predicate, compiler.column_of(predicate.attribute),
                         compiler.literal_of(predicate.value)});
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    references_.push_back(
        {&reference, compiler.column_of(reference.attribute), compiler.slot_of(reference.binding)});
  }
  for (const Capture& capture : atom.captures) {
    if (const std::optional<SlotId> slot = compiler.slot_of(capture.name)) {
      captures_.push_back({&capture, compiler.column_of(capture.attribute), *slot});
    }
  }
}

std::vector<PredicateFailure> FailureList::of(const TableView& view, std::size_t row,
                                              const Slots& slots) const {
  const EventTable& table = view.table();
  std::vector<PredicateFailure> failures;
  for (const LiteralClause& clause : literals_) {
    const Cell& actual = view.cell(clause.column, row);
    if (actual.kind != CellKind::Missing &&
        cell_matches(clause.predicate->op, actual, clause.literal)) {
      continue;
    }
    const Predicate& predicate = *clause.predicate;
    failures.push_back(PredicateMismatch{predicate.attribute, predicate.op, predicate.value,
                                         table.value_of(actual)});
  }
  for (const ReferenceClause& clause : references_) {
    const Cell& actual = view.cell(clause.column, row);
    const ReferencePredicate& reference = *clause.reference;
    if (clause.slot && actual.kind != CellKind::Missing &&
        cell_matches(reference.op, actual, slots[*clause.slot])) {
      continue;
    }
    failures.push_back(ReferenceMismatch{
        reference.attribute, reference.op, reference.binding,
        clause.slot ? table.value_of(slots[*clause.slot]) : std::nullopt, table.value_of(actual)});
  }
  for (const CaptureClause& clause : captures_) {
    const Cell actual = view.captured(clause.column, row);
    const Cell& bound = slots[clause.slot];
    if (cells_identical(actual, bound)) continue;
    failures.push_back(CaptureConflict{clause.capture->name, clause.capture->attribute,
                                       *table.value_of(bound), table.value_of(actual)});
  }
  return failures;
}

}  // namespace kestrel
