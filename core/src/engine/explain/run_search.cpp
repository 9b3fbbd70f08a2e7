// The near-miss search's two passes over one partition run (explain.cpp
// states the algorithm): forward, each group of a level collects its
// candidates from the run's index and makes the next level's groups;
// backward, deepest level first, each state takes the first candidate with
// the deepest outcome, a sliding-window maximum. Both are linear in the
// candidates and states, logarithmic per index look-up.
#include "engine/explain/run_search.hpp"

#include <algorithm>
#include <deque>
#include <optional>

#include "engine/atoms/transition.hpp"
#include "kestrel/error.hpp"

namespace kestrel {

std::size_t first_forbidden(const TableView& view, RunIndex& rows,
                            const std::vector<TableAtom>& absence, std::size_t from, std::size_t to,
                            const Slots& slots, Interrupt& interrupt) {
  std::size_t first = kNone;
  for (const TableAtom& atom : absence) {
    // The index's rows have the atom's type and pass its event clauses.
    const std::span<const std::size_t> candidates = rows.candidates(atom, slots);
    const std::size_t* end = candidates.data() + candidates.size();
    for (const std::size_t* e = first_at_or_after(candidates, from); e != end; ++e) {
      if (*e >= std::min(to, first)) break;
      interrupt.poll();
      if (atom.passes_slot_clauses(view, *e, slots)) {
        first = *e;
        break;
      }
    }
  }
  return first;
}

namespace {

// The forward pass: the groups of one level take their candidates and make
// the groups of the next.
class ForwardPass {
 public:
  ForwardPass(const EventTable& table, std::size_t run_end, const Pattern& pattern,
              const PatternAtoms& atoms, RunIndex& rows, Interrupt& interrupt, StateGraph& graph)
      : interrupt_(interrupt),
        view_(table),
        timestamps_(table.timestamps),
        run_end_(run_end),
        steps_(pattern.steps),
        atoms_(atoms),
        rows_(rows),
        graph_(graph) {}

  // Expands the groups [begin, end), those of `level`, into the next level.
  void expand_level(std::size_t begin, std::size_t end, std::size_t level) {
    const Step& step = steps_[level];
    if (!step.transition_from_previous) throw InternalError("transition exists after first step");
    graph_.open_level();
    for (std::size_t g = begin; g < end; ++g) expand(graph_.group(g), level);
    for (std::size_t g = end; g < graph_.size(); ++g) sort_members(graph_.group(g));
  }

 private:
  static void sort_members(Group& group) {
    auto& members = group.members;
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
  }

  // The first row after `from` beyond the window, or the run's end.
  std::size_t window_end(std::size_t from, const std::optional<std::int64_t>& max_elapsed) const {
    if (!max_elapsed) return run_end_;
    std::size_t low = from + 1;
    std::size_t high = run_end_;
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      if (within_window(max_elapsed, timestamps_[from], timestamps_[mid])) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low;
  }

  // Sets each member's `stop`: its candidates end at its window or just
  // after the first forbidden row, whichever comes first.
  void compute_stops(Group& group, std::size_t level, const Slots& slots) const {
    const std::optional<std::int64_t>& max_elapsed =
        steps_[level].transition_from_previous->max_elapsed;
    group.stop.clear();
    for (const std::size_t member : group.members) {
      const std::size_t limit = window_end(member, max_elapsed);
      const std::size_t blocker = first_forbidden(view_, rows_, atoms_.absence[level], member + 1,
                                                  limit, slots, interrupt_);
      // The forbidden row itself may still be taken: it is not in between.
      group.stop.push_back(blocker == kNone ? limit : blocker + 1);
    }
  }

  void expand(Group& group, std::size_t level) {
    const Slots& slots = graph_.slots_of(group);
    compute_stops(group, level, slots);
    const TableAtom& atom = atoms_.steps[level];
    const std::span<const std::size_t> candidates = rows_.candidates(atom, slots);
    const bool completes = level + 1 == steps_.size();
    // An atom that binds nothing gives every child the same slots.
    const std::size_t carried =
        completes || !atom.binds.empty() ? kNone : graph_.intern(child_slots(slots, level + 1));
    std::size_t covered = 0;
    for (std::size_t i = 0; i < group.members.size(); ++i) {
      const std::size_t from = std::max(group.members[i] + 1, covered);
      const std::size_t* end = candidates.data() + candidates.size();
      for (const std::size_t* e = first_at_or_after(candidates, from); e != end; ++e) {
        if (*e >= group.stop[i]) break;
        interrupt_.poll();
        take_candidate(group, atom, slots, *e, level + 1, completes, carried);
      }
      covered = std::max(covered, group.stop[i]);
    }
  }

  // The slots a child at `next_level` keeps of its parent's.
  Slots child_slots(const Slots& slots, std::size_t next_level) const {
    Slots child;
    child.append(slots.begin(), slots.end());
    atoms_.slots.drop_unread(child, next_level);
    return child;
  }

  // The index's candidates have the atom's type and pass its event clauses.
  void take_candidate(Group& group, const TableAtom& atom, const Slots& slots, std::size_t e,
                      std::size_t next_level, bool completes, std::size_t carried) {
    if (!atom.passes_slot_clauses(view_, e, slots)) return;
    std::size_t child = kNone;
    if (carried != kNone) {
      child = graph_.group_for(carried);
    } else if (!completes) {
      Slots extended;
      extended.append(slots.begin(), slots.end());
      atom.bind(view_, e, extended);
      atoms_.slots.drop_unread(extended, next_level);
      child = graph_.group_for(graph_.intern(std::move(extended)));
    }
    if (child != kNone) graph_.group(child).members.push_back(e);
    group.edges.push_back({e, child});
  }

  Interrupt& interrupt_;
  TableView view_;
  std::span<const std::int64_t> timestamps_;
  std::size_t run_end_;
  const std::vector<Step>& steps_;
  const PatternAtoms& atoms_;
  RunIndex& rows_;
  StateGraph& graph_;
};

// The backward pass: each member of a level picks the first edge with the
// deepest outcome, the next level being settled already.
class BackwardPass {
 public:
  BackwardPass(std::size_t step_count, Interrupt& interrupt, StateGraph& graph)
      : step_count_(step_count), interrupt_(interrupt), graph_(graph) {}

  // Settles the groups [begin, end), those of `level`.
  void settle_level(std::size_t begin, std::size_t end, std::size_t level) {
    for (std::size_t g = begin; g < end; ++g) settle(graph_.group(g), level);
  }

 private:
  std::size_t edge_depth(const Edge& edge) const {
    if (edge.child == kNone) return step_count_;
    return graph_.depth({edge.child, graph_.member_at(edge.child, edge.event)});
  }

  // Sliding-window maximum over the edges, members taken from the right. The
  // window holds edges in ascending event order with strictly ascending
  // depth, so its back is the first edge of greatest depth in range.
  void settle(Group& group, std::size_t level) const {
    const auto& members = group.members;
    const auto& edges = group.edges;
    std::vector<std::size_t> depths(edges.size());
    for (std::size_t j = 0; j < edges.size(); ++j) {
      interrupt_.poll();
      depths[j] = edge_depth(edges[j]);
    }
    group.depth.assign(members.size(), level);
    group.best.assign(members.size(), kNone);
    std::deque<std::size_t> window;
    std::size_t next = edges.size();
    for (std::size_t i = members.size(); i-- > 0;) {
      interrupt_.poll();
      while (next > 0 && edges[next - 1].event > members[i]) {
        --next;
        while (!window.empty() && depths[window.front()] <= depths[next]) window.pop_front();
        window.push_front(next);
      }
      while (!window.empty() && edges[window.back()].event >= group.stop[i]) window.pop_back();
      if (!window.empty()) {
        group.best[i] = window.back();
        group.depth[i] = depths[window.back()];
      }
    }
    group.stop = {};
  }

  std::size_t step_count_;
  Interrupt& interrupt_;
  StateGraph& graph_;
};

}  // namespace

void RunSearch::run() {
  ForwardPass forward(table_, run_end_, pattern_, atoms_, rows_, interrupt_, graph_);
  std::vector<std::size_t> level_begin;
  std::size_t begin = 0;
  for (std::size_t level = first_level_; begin < graph_.size(); ++level) {
    level_begin.push_back(begin);
    const std::size_t end = graph_.size();
    forward.expand_level(begin, end, level);
    begin = end;
  }
  BackwardPass backward(pattern_.steps.size(), interrupt_, graph_);
  std::size_t end = graph_.size();
  for (std::size_t i = level_begin.size(); i-- > 0;) {
    backward.settle_level(level_begin[i], end, first_level_ + i);
    end = level_begin[i];
  }
}

}  // namespace kestrel
