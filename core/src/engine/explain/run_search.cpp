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

// The first row in [from, to) that one of the transition's absence atoms
// accepts under `bindings`, or kNone.
std::size_t first_forbidden(std::span<const Event> events, RunIndex& rows,
                            const std::vector<IndexedAtom>& indexed, const Transition& transition,
                            std::size_t from, std::size_t to, const Bindings& bindings,
                            Interrupt& interrupt) {
  std::size_t first = kNone;
  for (std::size_t a = 0; a < transition.absence.size(); ++a) {
    const std::span<const std::size_t> candidates = rows.candidates(indexed[a], bindings);
    const std::size_t* end = candidates.data() + candidates.size();
    for (const std::size_t* e = first_at_or_after(candidates, from); e != end; ++e) {
      if (*e >= std::min(to, first)) break;
      interrupt.poll();
      if (transition.absence[a].accepts(events[*e], bindings)) {
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
  ForwardPass(std::span<const Event> events, std::size_t run_end, const Pattern& pattern,
              const BindingUse& use, const PatternAtoms& atoms, RunIndex& rows,
              Interrupt& interrupt, StateGraph& graph)
      : interrupt_(interrupt),
        events_(events),
        run_end_(run_end),
        steps_(pattern.steps),
        use_(use),
        atoms_(atoms),
        rows_(rows),
        graph_(graph) {}

  // Expands the groups [begin, end), those of `level`, into the next level.
  void expand_level(std::size_t begin, std::size_t end, std::size_t level) {
    const Step& step = steps_[level];
    if (!step.transition_from_previous) throw InternalError("transition exists after first step");
    graph_.open_level();
    for (std::size_t g = begin; g < end; ++g) expand(graph_.group(g), step, level);
    for (std::size_t g = end; g < graph_.size(); ++g) sort_members(graph_.group(g));
  }

 private:
  static void sort_members(Group& group) {
    auto& members = group.members;
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
  }

  // The first event after `from` beyond the window, or the run's end.
  std::size_t window_end(std::size_t from, const std::optional<std::int64_t>& max_elapsed) const {
    if (!max_elapsed) return run_end_;
    std::size_t low = from + 1;
    std::size_t high = run_end_;
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      if (within_window(max_elapsed, events_[from].ts, events_[mid].ts)) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low;
  }

  // Sets each member's `stop`: its candidates end at its window or just
  // after the first forbidden event, whichever comes first.
  void compute_stops(Group& group, std::size_t level, const Bindings& bindings) const {
    const Transition& transition = *steps_[level].transition_from_previous;
    group.stop.clear();
    for (const std::size_t member : group.members) {
      const std::size_t limit = window_end(member, transition.max_elapsed);
      const std::size_t blocker = first_forbidden(events_, rows_, atoms_.absence[level], transition,
                                                  member + 1, limit, bindings, interrupt_);
      // The forbidden event itself may still be taken: it is not in between.
      group.stop.push_back(blocker == kNone ? limit : blocker + 1);
    }
  }

  void expand(Group& group, const Step& step, std::size_t level) {
    const Bindings& bindings = graph_.bindings_of(group);
    compute_stops(group, level, bindings);
    const std::span<const std::size_t> candidates = rows_.candidates(atoms_.steps[level], bindings);
    const bool completes = level + 1 == steps_.size();
    // Without captures every child carries the same bindings.
    const std::size_t carried = completes || !step.atom.captures.empty()
                                    ? kNone
                                    : graph_.intern(use_.relevant(bindings, level + 1));
    std::size_t covered = 0;
    for (std::size_t i = 0; i < group.members.size(); ++i) {
      const std::size_t from = std::max(group.members[i] + 1, covered);
      const std::size_t* end = candidates.data() + candidates.size();
      for (const std::size_t* e = first_at_or_after(candidates, from); e != end; ++e) {
        if (*e >= group.stop[i]) break;
        interrupt_.poll();
        take_candidate(group, step.atom, bindings, *e, level + 1, completes, carried);
      }
      covered = std::max(covered, group.stop[i]);
    }
  }

  void take_candidate(Group& group, const Atom& atom, const Bindings& bindings, std::size_t e,
                      std::size_t next_level, bool completes, std::size_t carried) {
    const Event& event = events_[e];
    std::size_t child = kNone;
    if (completes || carried != kNone) {
      if (!atom.accepts(event, bindings)) return;
      if (!completes) child = graph_.group_for(carried);
    } else {
      std::optional<Bindings> extended = atom.evaluate(event, bindings);
      if (!extended) return;
      child = graph_.group_for(graph_.intern(use_.relevant(*extended, next_level)));
    }
    if (child != kNone) graph_.group(child).members.push_back(e);
    group.edges.push_back({e, child});
  }

  Interrupt& interrupt_;
  std::span<const Event> events_;
  std::size_t run_end_;
  const std::vector<Step>& steps_;
  const BindingUse& use_;
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
  ForwardPass forward(events_, run_end_, pattern_, use_, atoms_, rows_, interrupt_, graph_);
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
