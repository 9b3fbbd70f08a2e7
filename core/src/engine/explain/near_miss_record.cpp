// Writing a near miss's record; the reason's rules are those of the record:
// beyond the window first, then a forbidden event in between, then the
// clauses the candidate fails.
#include "engine/explain/near_miss_record.hpp"

#include <utility>

#include "engine/atoms/transition.hpp"
#include "kestrel/error.hpp"

namespace kestrel {

void replay_path(const TableView& view, const PatternAtoms& atoms,
                 std::span<const std::size_t> path, std::size_t first_step, Slots& slots) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    const TableAtom& atom = atoms.steps[first_step + i];
    if (!atom.accepts(view, path[i], slots)) {
      throw InternalError("the deepest path is accepted again");
    }
    atom.bind(view, path[i], slots);
  }
}

bool beyond_window(const EventTable& table, const Pattern& pattern, std::size_t level,
                   std::size_t last, std::size_t candidate) {
  return !within_window(transition_into(pattern, level).max_elapsed, table.timestamps[last],
                        table.timestamps[candidate]);
}

NearMissDetail reason_at(const TableView& view, const Pattern& pattern, const PatternAtoms& atoms,
                         std::size_t level, std::size_t last, std::size_t candidate,
                         std::size_t blocker, const Slots& slots) {
  const EventTable& table = view.table();
  if (beyond_window(table, pattern, level, last, candidate)) {
    const std::int64_t from = table.timestamps[last];
    const std::int64_t to = table.timestamps[candidate];
    return WindowExceeded{candidate, saturating_elapsed(from, to),
                          *transition_into(pattern, level).max_elapsed};
  }
  if (blocker != kNone) {
    return AbsenceBlocked{candidate, blocker, std::string(table.texts.text(table.types[blocker])),
                          atoms.steps[level].accepts(view, candidate, slots)};
  }
  return PredicateFailed{atoms.failures[level].of(view, candidate, slots), candidate};
}

NearMiss near_miss_of(const TableView& view, const Pattern& pattern, const PatternAtoms& atoms,
                      std::vector<std::size_t> path, NearMissDetail detail) {
  const EventTable& table = view.table();
  Slots slots;
  replay_path(view, atoms, path, 0, slots);
  const std::size_t reached = path.size();
  const std::size_t start = path.front();
  return NearMiss{
      .partition = std::string(table.texts.text(table.partitions[start])),
      .start_index = start,
      .indices = std::move(path),
      .reached_steps = reached,
      .next_step = reached,
      .next_event_type = pattern.steps[reached].atom.event_type,
      .detail = std::move(detail),
      .captures = atoms.slots.captured(table, slots, Bindings{}),
  };
}

}  // namespace kestrel
