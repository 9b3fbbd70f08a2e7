// The deepest-path search of every start of one partition run at once, on
// the graph of its reachable states (explain.cpp tells how).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/atoms/table_atom.hpp"
#include "engine/explain/pattern_atoms.hpp"
#include "engine/explain/run_index.hpp"
#include "engine/explain/state_graph.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

// The first row in [from, to) that one of a step's absence atoms accepts
// under `slots`, or kNone.
std::size_t first_forbidden(const TableView& view, RunIndex& rows,
                            const std::vector<TableAtom>& absence, std::size_t from, std::size_t to,
                            const Slots& slots, Interrupt& interrupt);

// The search of one run from its seeds: the forward pass level by level,
// then the backward pass deepest level first.
class RunSearch {
 public:
  RunSearch(const EventTable& table, std::size_t run_end, const Pattern& pattern,
            const PatternAtoms& atoms, RunIndex& rows, std::size_t first_level,
            Interrupt& interrupt)
      : interrupt_(interrupt),
        table_(table),
        run_end_(run_end),
        pattern_(pattern),
        atoms_(atoms),
        rows_(rows),
        first_level_(first_level) {}

  // Seeds must come in ascending row order, before run(); `slots` are those
  // bound before the first level.
  StateRef seed(std::size_t row, Slots slots) {
    atoms_.slots.drop_unread(slots, first_level_);
    const std::size_t group = graph_.group_for(graph_.intern(std::move(slots)));
    Group& seeded = graph_.group(group);
    seeded.members.push_back(row);
    return {group, seeded.members.size() - 1};
  }

  void run();

  std::size_t depth(StateRef state) const { return graph_.depth(state); }

  // Appends the rows of the deepest path after `state` to `path`.
  void follow(StateRef state, std::vector<std::size_t>& path) const { graph_.follow(state, path); }

 private:
  Interrupt& interrupt_;
  const EventTable& table_;
  std::size_t run_end_;
  const Pattern& pattern_;
  const PatternAtoms& atoms_;
  RunIndex& rows_;
  std::size_t first_level_;
  StateGraph graph_;
};

}  // namespace kestrel
