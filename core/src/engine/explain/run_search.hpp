// The deepest-path search of every start of one partition run at once, on
// the graph of its reachable states (explain.cpp tells how).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/explain/run_index.hpp"
#include "engine/explain/state_graph.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

// For each binding name, the last step that reads it: through a reference
// predicate or a capture (which compares with a bound value), of the step's
// atom or of its absence atoms.
class BindingUse {
 public:
  explicit BindingUse(const Pattern& pattern) {
    for (std::size_t step = 0; step < pattern.steps.size(); ++step) {
      note(pattern.steps[step].atom, step);
      if (const auto& transition = pattern.steps[step].transition_from_previous) {
        for (const Atom& atom : transition->absence) note(atom, step);
      }
    }
  }

  // The part of `bindings` that the steps from `step` on can read.
  Bindings relevant(const Bindings& bindings, std::size_t step) const {
    Bindings kept;
    for (const auto& [name, value] : bindings) {
      const auto it = last_read_.find(name);
      if (it != last_read_.end() && it->second >= step) kept.set(name, value);
    }
    return kept;
  }

 private:
  void note(const Atom& atom, std::size_t step) {
    for (const ReferencePredicate& reference : atom.reference_predicates) {
      last_read_[reference.binding] = step;
    }
    for (const Capture& capture : atom.captures) last_read_[capture.name] = step;
  }

  std::unordered_map<std::string_view, std::size_t> last_read_;  // views into the pattern
};

// The first row in [from, to) that one of the transition's absence atoms
// accepts under `bindings`, or kNone.
std::size_t first_forbidden(std::span<const Event> events, RunIndex& rows,
                            const std::vector<IndexedAtom>& indexed, const Transition& transition,
                            std::size_t from, std::size_t to, const Bindings& bindings,
                            Interrupt& interrupt);

// The search of one run from its seeds: the forward pass level by level,
// then the backward pass deepest level first.
class RunSearch {
 public:
  RunSearch(std::span<const Event> events, std::size_t run_end, const Pattern& pattern,
            const BindingUse& use, const PatternAtoms& atoms, RunIndex& rows,
            std::size_t first_level, Interrupt& interrupt)
      : interrupt_(interrupt),
        events_(events),
        run_end_(run_end),
        pattern_(pattern),
        use_(use),
        atoms_(atoms),
        rows_(rows),
        first_level_(first_level) {}

  // Seeds must come in ascending event order, before run().
  StateRef seed(std::size_t event, const Bindings& bindings) {
    const std::size_t group =
        graph_.group_for(graph_.intern(use_.relevant(bindings, first_level_)));
    Group& seeded = graph_.group(group);
    seeded.members.push_back(event);
    return {group, seeded.members.size() - 1};
  }

  void run();

  std::size_t depth(StateRef state) const { return graph_.depth(state); }

  // Appends the events of the deepest path after `state` to `path`.
  void follow(StateRef state, std::vector<std::size_t>& path) const { graph_.follow(state, path); }

 private:
  Interrupt& interrupt_;
  std::span<const Event> events_;
  std::size_t run_end_;
  const Pattern& pattern_;
  const BindingUse& use_;
  const PatternAtoms& atoms_;
  RunIndex& rows_;
  std::size_t first_level_;
  StateGraph graph_;
};

}  // namespace kestrel
