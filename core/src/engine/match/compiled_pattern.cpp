// Compiling a pattern against a table: atoms to table atoms (ids, slots),
// each step's key indexes and absence reach, and the role of every event
// type, so that the scan offers an event only to the steps it can concern.
#include "engine/match/compiled_pattern.hpp"

#include <algorithm>

namespace kestrel {

CompiledPattern::CompiledPattern(const Pattern& pattern, const EventTable& table)
    : consumption_(pattern.consumption), role_by_type_(table.texts.size(), -1) {
  AtomCompiler compiler(table);
  for (const Step& step : pattern.steps) {
    steps_.push_back(compile_step(step, compiler));
    compiler.close_step(step.atom);
  }
  slot_names_ = compiler.slot_names();
  slots_by_name_ = compiler.slots_by_name();
  if (!steps_.front().atom.never_matches()) role(steps_.front().atom.type).starts = true;
  for (std::uint32_t k = 1; k < steps_.size(); ++k) {
    const CompiledStep& step = steps_[k];
    if (step.unreachable) continue;
    index_count_ = std::max(index_count_, step.index_slots.size());
    if (step.max_elapsed) windowed_.push_back(k);
    role(step.atom.type).advances.push_back(k);
    for (std::uint32_t a = 0; a < step.absence.size(); ++a) {
      role(step.absence[a].atom.type).absences.emplace_back(k, a);
    }
  }
}

// Absence atoms see the names bound before the step, as its atom does; an
// atom that can never match can never block.
CompiledStep CompiledPattern::compile_step(const Step& step, AtomCompiler& compiler) const {
  CompiledStep compiled;
  compiled.atom = compiler.compile(step.atom);
  if (const ReferenceTest* reference = compiled.atom.equality_reference()) {
    compiled.advance_index = compiled.index_for(reference->slot);
    compiled.advance_column = reference->column;
  }
  if (!step.transition_from_previous) return compiled;
  compiled.max_elapsed = step.transition_from_previous->max_elapsed;
  // A later event is never less than zero after the last one.
  compiled.unreachable =
      compiled.atom.never_matches() || (compiled.max_elapsed && *compiled.max_elapsed < 0);
  for (const Atom& atom : step.transition_from_previous->absence) {
    CompiledAbsence absent{compiler.compile(atom)};
    if (absent.atom.never_matches()) continue;
    if (!absent.atom.reads_slots()) {
      absent.reach = AbsenceReach::WholeStep;
    } else if (const ReferenceTest* reference = absent.atom.equality_reference()) {
      absent.reach = AbsenceReach::ByKey;
      absent.index = compiled.index_for(reference->slot);
      absent.key_column = reference->column;
    }
    compiled.absence.push_back(std::move(absent));
  }
  return compiled;
}

TypeRole& CompiledPattern::role(TextId type) {
  std::int32_t& role = role_by_type_[type];
  if (role < 0) {
    role = static_cast<std::int32_t>(roles_.size());
    roles_.emplace_back();
  }
  return roles_[static_cast<std::size_t>(role)];
}

}  // namespace kestrel
