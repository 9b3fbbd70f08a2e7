// The pattern compiled against one table for the near-miss search: each
// step's atom and absence atoms as table atoms (table_atom.hpp), the failure
// list of each step's atom, and the slots that bindings live in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/atoms/table_atom.hpp"
#include "engine/explain/failure_list.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

// Where a path's bindings live: the slots that seed bindings fill first,
// then those each step's captures fill, and for each slot the steps that
// read it (through a reference or a capture check, of a step's atom or of
// its absence atoms).
class SlotLayout {
 public:
  SlotLayout() = default;
  SlotLayout(const AtomCompiler& compiler, std::size_t seeded, const std::vector<TableAtom>& steps,
             const std::vector<std::vector<TableAtom>>& absence);

  // Empties the slots that no step from `level` on reads, so that values
  // bound just to be reported do not tell states apart.
  void drop_unread(Slots& slots, std::size_t level) const noexcept;

  // `seed` with the values of the slots past the seeded ones.
  Bindings captured(const EventTable& table, const Slots& slots, Bindings seed) const;

 private:
  std::vector<std::string> names_;
  std::vector<SlotId> by_name_;
  std::size_t seeded_ = 0;
  std::vector<std::size_t> read_until_;  // per slot: one past the last step that reads it
};

// The steps from `first_step` on, compiled with `bound` (the names of the
// seed bindings) bound before them; earlier steps are taken already and get
// atoms that never match.
struct PatternAtoms {
  std::vector<std::optional<TextId>> types;  // each step's type, if the table holds it
  std::vector<TableAtom> steps;
  std::vector<std::vector<TableAtom>> absence;
  std::vector<FailureList> failures;
  SlotLayout slots;

  PatternAtoms(const Pattern& pattern, const EventTable& table, std::size_t first_step = 0,
               std::vector<std::string> bound = {});
};

}  // namespace kestrel
