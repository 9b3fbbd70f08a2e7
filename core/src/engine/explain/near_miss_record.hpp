// A near miss's record from its deepest path, and the reason once the first
// later event of the awaited type is known: the parts that the batch search
// and the stream's open starts both write, so a record means one thing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/atoms/table_atom.hpp"
#include "engine/explain/pattern_atoms.hpp"
#include "engine/explain/state_graph.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

// The slots after the steps from `first_step` on take the rows of `path`,
// starting from `slots`. The search has accepted every one.
void replay_path(const TableView& view, const PatternAtoms& atoms,
                 std::span<const std::size_t> path, std::size_t first_step, Slots& slots);

// The reason the path ending at `last`, with `slots` after step `level` - 1,
// does not go on to `candidate`, the first later row of the awaited type,
// when `blocker` is the first forbidden row between them (or kNone).
NearMissDetail reason_at(const TableView& view, const Pattern& pattern, const PatternAtoms& atoms,
                         std::size_t level, std::size_t last, std::size_t candidate,
                         std::size_t blocker, const Slots& slots);

// Whether `candidate` lies beyond the window of step `level` after `last`;
// the batch search asks first, to skip looking for a blocker.
bool beyond_window(const EventTable& table, const Pattern& pattern, std::size_t level,
                   std::size_t last, std::size_t candidate);

// The record of the start `path[0]`, whose deepest path is `path`, with
// rows for indices.
NearMiss near_miss_of(const TableView& view, const Pattern& pattern, const PatternAtoms& atoms,
                      std::vector<std::size_t> path, NearMissDetail detail);

}  // namespace kestrel
