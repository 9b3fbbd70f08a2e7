#include "run_index.hpp"

namespace kestrel {

namespace {

// The cell of a bound value, read against the table's texts: a text the
// table never holds equals no cell.
Cell cell_of_bound(const EventTable& table, const Value& value) {
  switch (kind_of(value)) {
    case ValueKind::String:
      return Cell::of_text(table.texts.find(std::get<std::string>(value)).value_or(kForeignText));
    case ValueKind::Int: return Cell::of_int(std::get<std::int64_t>(value));
    case ValueKind::Float: return Cell::of_float(std::get<double>(value));
    case ValueKind::Bool: return Cell::of_bool(std::get<bool>(value));
    case ValueKind::Null: break;
  }
  return Cell::null();
}

IndexedAtom index_atom(AtomCompiler& compiler, const Atom& atom) {
  IndexedAtom indexed{compiler.compile(atom), std::nullopt};
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    if (reference.op == ComparisonOperator::Eq) {
      indexed.key_binding = reference.binding;
      break;
    }
  }
  return indexed;
}

}  // namespace

PatternAtoms::PatternAtoms(const Pattern& pattern, const EventTable& table) {
  AtomCompiler compiler(table);
  for (const Step& step : pattern.steps) {
    types.push_back(table.texts.find(step.atom.event_type));
    steps.push_back(index_atom(compiler, step.atom));
    std::vector<IndexedAtom>& forbidden = absence.emplace_back();
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) {
        forbidden.push_back(index_atom(compiler, atom));
      }
    }
    compiler.close_step(step.atom);
  }
}

std::span<const std::size_t> RunIndex::candidates(const IndexedAtom& atom,
                                                  const Bindings& bindings) {
  const AtomRows& rows = rows_of(atom);
  if (!atom.key_binding) return rows.rows;
  const Value* bound = bindings.find(*atom.key_binding);
  if (!bound) return {};
  const std::optional<EqualityKey> key = equality_key(cell_of_bound(view_.table(), *bound));
  if (!key) return {};  // NaN equals nothing
  const auto it = rows.by_key.find(*key);
  if (it == rows.by_key.end()) return {};
  return it->second;
}

std::span<const std::size_t> RunIndex::rows_of_type(TextId type) {
  auto [it, added] = types_.try_emplace(type);
  if (added) {
    const std::vector<TextId>& types = view_.table().types;
    for (std::size_t row = begin_; row < end_; ++row) {
      if (types[row] == type) it->second.push_back(row);
    }
  }
  return it->second;
}

const RunIndex::AtomRows& RunIndex::rows_of(const IndexedAtom& atom) {
  auto [it, added] = atoms_.try_emplace(&atom);
  AtomRows& rows = it->second;
  if (!added || atom.atom.never_matches()) return rows;
  for (const std::size_t row : rows_of_type(atom.atom.type)) {
    if (atom.atom.passes_event_clauses(view_, row)) rows.rows.push_back(row);
  }
  if (const ReferenceTest* reference = atom.atom.equality_reference()) {
    for (const std::size_t row : rows.rows) {
      if (const auto key = equality_key(view_.cell(reference->column, row))) {
        rows.by_key[*key].push_back(row);
      }
    }
  }
  return rows;
}

}  // namespace kestrel
