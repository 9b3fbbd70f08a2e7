// Near misses as the rows come, without going back over them.
//
// A start's record is its deepest path (the smallest among equally deep
// ones, compared row by row) and a reason read from the first later row of
// the type its next step awaits. The batch search finds the path backwards,
// once every row is known; a stream cannot wait for that, so it goes
// forwards and keeps, per undecided start, only what can still change the
// record:
//   - its states, as the batch search has them (the step a path waits for,
//     its last row, the slots the remaining steps read), each with the
//     smallest path reaching it. Every row of such a path comes before the
//     state's own, so the path is fixed when the state is made. A start's
//     deepest path is then the smallest path of its deepest states, and it
//     can only change when a state is made: the best so far is kept, not
//     found again.
//   - states that share their start, step and slots in one group
//     (state_groups.hpp): a row accepted by one is accepted by all those its
//     window still holds, and makes the same next state whichever it
//     follows, so it follows the one with the smallest path: a sliding-
//     window minimum, one state per group without a window.
//   - for its reason, the first row that forbids the best path's next step
//     since the path was made (a row that blocks the best state's group),
//     until the first row of the awaited type comes: then the reason is
//     written as the batch search writes it (near_miss_record.hpp).
// Rows are offered as the matcher offers them: each advances the states
// made before it, then settles the reasons waiting for its type, then
// blocks, and only then do the states and the start it makes join. A row
// reaches only the groups that can concern it: by its type, and through an
// `==` reference by its value, as the matcher's indexes do; a start that
// completes is dropped with its states.
//
// A start is settled when no row can extend it: its partition's newest
// timestamp is past its own by more than the sum of the windows (none
// without a window on every step), or the stream ended. A reason still
// unknown then waits for the next row of its type, which lies beyond the
// window. Settled records wait, with the rows they name, to be taken.
//
// Cost: each row costs the groups it reaches and the states it makes, each
// state one path copy (at most a step per row), each settled reason one
// replay of its path; nothing is proportional to the rows seen before.
// Memory follows the undecided starts and their live states; a partition
// with none holds nothing. Unlike the batch search, states are not shared
// between starts, so starts that stay undecided side by side each hold
// their own (exhaustive matching holds as much).
#include "engine/stream/open_starts.hpp"

namespace kestrel {

OpenStarts::OpenStarts(const Pattern& pattern, const EventTable& seed)
    : rules_(std::make_unique<const SearchRules>(pattern, seed)), spare_(*rules_) {}

std::size_t OpenStarts::open() const noexcept {
  std::size_t open = 0;
  for (const auto& [partition, frontier] : partitions_) open += frontier.open();
  return open;
}

std::size_t OpenStarts::rows_bound() const noexcept {
  std::size_t bound = 0;
  for (const auto& [partition, frontier] : partitions_) bound += frontier.rows_bound();
  for (const NearMiss& miss : ready_) bound += miss.indices.size() + 3;
  return bound;
}

void OpenStarts::scan(const TableView& view, RowRange run, Interrupt& interrupt) {
  const EventTable& table = view.table();
  const TextId partition = table.partitions[run.begin];
  const auto kept = partitions_.find(partition);
  StartFrontier& frontier = kept == partitions_.end() ? spare_ : kept->second;
  for (std::size_t row = run.begin; row < run.end; ++row) {
    interrupt.poll();
    frontier.offer(view, row, interrupt);
  }
  frontier.settle(view, table.timestamps[run.end - 1], ready_);
  if (kept != partitions_.end()) {
    if (frontier.empty()) partitions_.erase(kept);
  } else if (!frontier.empty()) {
    partitions_.emplace(partition, std::move(spare_));
    spare_ = StartFrontier(*rules_);
  } else if (!spare_.pristine()) {
    spare_ = StartFrontier(*rules_);
  }
}

void OpenStarts::end(const TableView& view) {
  for (auto& [partition, frontier] : partitions_) frontier.end(view, ready_);
  partitions_.clear();
}

}  // namespace kestrel
