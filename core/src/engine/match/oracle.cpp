// The reference matcher states the matching rules directly: a depth-first
// search over candidate successors, each checked by transition_allows and
// Atom::evaluate, in ascending position. It keeps its own stack so that a
// pattern of any length fits. Its cost is that of enumerating every viable
// path, so it serves as the judge of the compiled matcher, not as a peer.

#include <optional>
#include <utility>
#include <vector>

#include "engine/atoms/transition.hpp"
#include "engine/match/oracle.hpp"
#include "kestrel/matcher.hpp"

namespace kestrel {

namespace {

Match make_match(std::span<const Event> events, std::vector<std::size_t> indices,
                 Bindings captures) {
  const Event& first = events[indices.front()];
  Match match;
  match.partition = first.partition;
  match.start = first.ts;
  match.end = events[indices.back()].ts;
  match.indices = std::move(indices);
  match.captures = std::move(captures);
  return match;
}

struct PathResult {
  std::vector<std::size_t> path;
  Bindings bindings;
};

// Every completion of `path` from `step_index` on, depth-first with candidates
// in ascending position; without `exhaustive` only the first admissible
// candidate of each step is followed. The levels of the search live on an
// explicit stack, since a pattern may have more steps than the call stack has
// room for frames.
std::vector<PathResult> extend_path(std::span<const Event> events, std::size_t partition_end,
                                    const Pattern& pattern, std::size_t step_index,
                                    std::vector<std::size_t> path, Bindings bindings,
                                    bool exhaustive, Interrupt& interrupt) {
  std::vector<PathResult> results;
  const std::size_t step_count = pattern.steps.size();
  if (step_index == step_count) {
    results.push_back({std::move(path), std::move(bindings)});
    return results;
  }
  if (path.empty()) throw InternalError("path is non-empty");

  // The level for step `step_index + d` scans candidates after path.back(),
  // where the path holds the caller's entries plus one entry per lower level.
  struct Level {
    Bindings bindings;
    std::size_t next_candidate;
  };
  std::vector<Level> levels;
  levels.push_back({std::move(bindings), path.back() + 1});
  const std::size_t callers_path = path.size();
  while (!levels.empty()) {
    const std::size_t step_at = step_index + levels.size() - 1;
    const Step& step = pattern.steps[step_at];
    const Transition& transition = transition_into(pattern, step_at);
    const std::size_t previous = path.back();
    Level& level = levels.back();
    std::optional<Bindings> extended;
    std::size_t candidate = 0;
    while (!extended && level.next_candidate < partition_end) {
      candidate = level.next_candidate++;
      interrupt.poll();
      if (transition_allows(events, previous, candidate, transition, level.bindings)) {
        extended = step.atom.evaluate(events[candidate], level.bindings);
      }
    }
    if (!extended) {
      levels.pop_back();
      if (path.size() > callers_path) path.pop_back();
      continue;
    }
    if (!exhaustive) level.next_candidate = partition_end;
    path.push_back(candidate);
    if (step_at + 1 == step_count) {
      results.push_back({path, std::move(*extended)});
      path.pop_back();
    } else {
      levels.push_back({std::move(*extended), candidate + 1});
    }
  }
  return results;
}

}  // namespace

std::vector<Match> oracle_matches(std::span<const Event> events, const Pattern& pattern,
                                  Interrupt interrupt) {
  check_structure(pattern);
  const bool exhaustive = pattern.consumption == MatchConsumption::ExhaustivePerStart;
  const Atom& first = pattern.steps.front().atom;
  std::vector<Match> matches;
  for (std::size_t begin = 0, end = 0; begin < events.size(); begin = end) {
    end = partition_run_end(events, begin);
    for (std::size_t start = begin; start < end; ++start) {
      std::optional<Bindings> bindings = first.evaluate(events[start], Bindings());
      if (!bindings) continue;
      for (PathResult& result : extend_path(events, end, pattern, 1, {start}, std::move(*bindings),
                                            exhaustive, interrupt)) {
        matches.push_back(make_match(events, std::move(result.path), std::move(result.bindings)));
      }
    }
  }
  return matches;
}

}  // namespace kestrel
