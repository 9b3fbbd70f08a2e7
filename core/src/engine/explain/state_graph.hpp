// The graph of reachable states that the near-miss search builds for one
// partition run (explain.cpp): states of one level that share their bound
// slots form a group, and slots are interned to small ids.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/atoms/table_atom.hpp"

namespace kestrel {

inline constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Bound slots by small ids; equal ids mean bit-identical cells.
class SlotsTable {
 public:
  std::size_t intern(Slots slots);

  const Slots& at(std::size_t id) const { return all_[id]; }

 private:
  std::deque<Slots> all_;  // a deque keeps references stable while interning
  std::unordered_map<std::string, std::size_t> ids_;
};

// A candidate taken by a group: the event and the group of the next level it
// leads to, or kNone when it completes the pattern.
struct Edge {
  std::size_t event;
  std::size_t child;
};

// The states of one level that share their bound slots.
struct Group {
  std::size_t slots;
  std::vector<std::size_t> members;  // the states' last events, ascending
  std::vector<std::size_t> stop;     // per member: candidates lie in (member, stop)
  std::vector<Edge> edges;           // ascending events
  std::vector<std::size_t> depth;    // per member: length of its deepest path
  std::vector<std::size_t> best;     // per member: edge to follow, or kNone
};

struct StateRef {
  std::size_t group;
  std::size_t member;
};

// The graph of one run's reachable states: groups in level order, each with
// its members and edges and, once settled, each member's deepest outcome.
class StateGraph {
 public:
  std::size_t intern(Slots slots) { return table_.intern(std::move(slots)); }
  const Slots& slots_of(const Group& group) const { return table_.at(group.slots); }

  std::size_t size() const { return groups_.size(); }
  Group& group(std::size_t g) { return groups_[g]; }
  const Group& group(std::size_t g) const { return groups_[g]; }

  // Begins a level: groups made from now on belong to it.
  void open_level() { pending_.clear(); }

  // The group of the level being built whose slots have the id `slots`.
  std::size_t group_for(std::size_t slots) {
    auto [it, inserted] = pending_.try_emplace(slots, groups_.size());
    if (inserted) groups_.emplace_back().slots = slots;
    return it->second;
  }

  // The member of group `g` whose last event is `event`.
  std::size_t member_at(std::size_t g, std::size_t event) const {
    const auto& members = groups_[g].members;
    const auto at = std::lower_bound(members.begin(), members.end(), event);
    return static_cast<std::size_t>(at - members.begin());
  }

  std::size_t depth(StateRef state) const { return groups_[state.group].depth[state.member]; }

  // Appends the events of the deepest path after `state` to `path`.
  void follow(StateRef state, std::vector<std::size_t>& path) const {
    for (;;) {
      const Group& group = groups_[state.group];
      const std::size_t best = group.best[state.member];
      if (best == kNone) return;
      const Edge& edge = group.edges[best];
      path.push_back(edge.event);
      if (edge.child == kNone) return;
      state = {edge.child, member_at(edge.child, edge.event)};
    }
  }

 private:
  SlotsTable table_;
  std::deque<Group> groups_;                              // a deque keeps references stable
  std::unordered_map<std::size_t, std::size_t> pending_;  // slots to group, level being built
};

}  // namespace kestrel
