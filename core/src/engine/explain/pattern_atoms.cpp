// Compiling the pattern for the near-miss search, and the slot layout read
// off the compiled atoms: a slot is read where a reference or a capture
// check names it.
#include "engine/explain/pattern_atoms.hpp"

#include <algorithm>
#include <utility>

namespace kestrel {

SlotLayout::SlotLayout(const AtomCompiler& compiler, std::size_t seeded,
                       const std::vector<TableAtom>& steps,
                       const std::vector<std::vector<TableAtom>>& absence)
    : names_(compiler.slot_names()),
      by_name_(compiler.slots_by_name()),
      seeded_(seeded),
      read_until_(names_.size(), 0) {
  const auto note = [&](const TableAtom& atom, std::size_t step) {
    for (const ReferenceTest& reference : atom.references) {
      read_until_[reference.slot] = std::max(read_until_[reference.slot], step + 1);
    }
    for (const CaptureCheck& check : atom.checks) {
      if (check.against_slot)
        read_until_[check.against] = std::max(read_until_[check.against], step + 1);
    }
  };
  for (std::size_t step = 0; step < steps.size(); ++step) {
    note(steps[step], step);
    for (const TableAtom& atom : absence[step]) note(atom, step);
  }
}

void SlotLayout::drop_unread(Slots& slots, std::size_t level) const noexcept {
  Cell* cells = slots.begin();
  for (std::size_t slot = 0; slot < slots.size(); ++slot) {
    if (read_until_[slot] <= level) cells[slot] = Cell{};
  }
}

Bindings SlotLayout::captured(const EventTable& table, const Slots& slots, Bindings seed) const {
  // Ascending names make each insertion into an empty seed an append.
  for (const SlotId slot : by_name_) {
    if (slot < seeded_ || slot >= slots.size()) continue;
    if (std::optional<Value> value = table.value_of(slots[slot])) {
      seed.set(names_[slot], std::move(*value));
    }
  }
  return seed;
}

PatternAtoms::PatternAtoms(const Pattern& pattern, const EventTable& table, std::size_t first_step,
                           std::vector<std::string> bound) {
  const std::size_t seeded = bound.size();
  AtomCompiler compiler(table, std::move(bound));
  const Atom taken;  // no clauses: its failure list is empty
  for (std::size_t k = 0; k < pattern.steps.size(); ++k) {
    const Step& step = pattern.steps[k];
    std::vector<TableAtom>& forbidden = absence.emplace_back();
    if (k < first_step) {
      types.emplace_back();
      steps.emplace_back();
      failures.emplace_back(taken, compiler);
      continue;
    }
    types.push_back(table.texts.find(step.atom.event_type));
    steps.push_back(compiler.compile(step.atom));
    failures.emplace_back(step.atom, compiler);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) {
        forbidden.push_back(compiler.compile(atom));
      }
    }
    compiler.close_step(step.atom);
  }
  slots = SlotLayout(compiler, seeded, steps, absence);
}

}  // namespace kestrel
