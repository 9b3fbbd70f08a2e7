// The states of a partition's undecided starts, for the stream's near-miss
// search (open_starts.cpp tells the algorithm).
//
// A group holds the states of one start at one level that share the slots
// the remaining steps read: they take the same candidates, are blocked by
// the same rows, and a candidate makes the same next state from any of
// them. Each state keeps the smallest path that reaches it. A candidate
// follows the live state with the smallest path, so a group keeps its
// states as a sliding-window minimum: in creation order, paths ascending, a
// state dropped once a later one has a smaller path (it expires and is
// blocked no later). Without a window a group never holds more than one.
//
// Groups are pooled; the look-ups that find them are indexes per level, one
// per atom, keyed by the bound value when the atom has an `==` reference.
// Index entries of freed groups go stale and are dropped when met, or all
// at once when they outnumber the live ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/atoms/cell_ops.hpp"
#include "engine/atoms/table_atom.hpp"
#include "engine/explain/pattern_atoms.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

inline Slots copy_of(const Slots& slots) {
  Slots copy;
  copy.append(slots.begin(), slots.end());
  return copy;
}

// A state: the smallest path of its start that reaches its row, the last.
struct Member {
  std::vector<std::size_t> path;
  std::int64_t ts = 0;
};

struct StateGroup {
  std::uint64_t start = 0;
  std::uint32_t level = 0;  // the step its states wait for
  Slots slots;
  std::vector<Member> members;  // a few at most within a window: cut from the front
  std::uint32_t generation = 0;
  bool live = false;
};

// Names the step's own atom where an absence atom's number could stand.
inline constexpr std::size_t kNoAtom = SIZE_MAX;

struct GroupRef {
  std::uint32_t id = UINT32_MAX;
  std::uint32_t generation = 0;

  friend bool operator==(const GroupRef&, const GroupRef&) = default;
};

// The groups one atom of a level may concern, found by a row.
class GroupIndex {
 public:
  explicit GroupIndex(const TableAtom& atom) : reference_(atom.equality_reference()) {}

  void add(const StateGroup& group, GroupRef ref);
  // The entries a row may concern, or null; stale ones included.
  std::vector<GroupRef>* entries_for(const TableView& view, std::size_t row);
  void clear() {
    all_.clear();
    keyed_.clear();
  }

 private:
  struct KeyHash {
    std::size_t operator()(const EqualityKey& key) const noexcept { return hash_of(key); }
  };
  const ReferenceTest* reference_;
  std::vector<GroupRef> all_;
  std::unordered_map<EqualityKey, std::vector<GroupRef>, KeyHash> keyed_;
};

class StateGroups {
 public:
  StateGroups(const Pattern& pattern, const PatternAtoms& atoms);

  StateGroup& group(GroupRef ref) noexcept { return pool_[ref.id]; }
  const StateGroup& group(GroupRef ref) const noexcept { return pool_[ref.id]; }
  bool valid(GroupRef ref) const noexcept {
    return ref.id < pool_.size() && pool_[ref.id].live &&
           pool_[ref.id].generation == ref.generation;
  }
  std::size_t live() const noexcept { return live_; }
  std::size_t members() const noexcept { return members_; }

  // The group of the start's states at `level` with these slots, made when
  // there is none.
  GroupRef group_for(std::uint64_t start, std::uint32_t level, const Slots& slots);
  // The group of the start's states at `level` with these slots, or an
  // invalid ref.
  GroupRef find(std::uint64_t start, std::uint32_t level, const Slots& slots) const;
  // Adds a state made at `ts`, unless a state as old or older has a smaller
  // path and lives as long.
  void add_member(GroupRef ref, Member member);
  // Drops the states beyond the window at `ts`; false when none is left.
  bool expire(StateGroup& group, std::int64_t ts);
  void free(GroupRef ref);

  // The entries of the index of `level`'s step atom (atom = kNoAtom) or of
  // its absence atom `atom` that `row` may concern; stale entries are the
  // caller's to skip and drop.
  std::vector<GroupRef>* entries_for(std::uint32_t level, std::size_t atom, const TableView& view,
                                     std::size_t row);
  // Notes a stale entry dropped; rebuilds the indexes when they hold many.
  void dropped_entry() noexcept { --entries_; }
  void compact_if_stale();

  // Every live group, for clean-ups and checkpoints.
  template <class Visit>
  void for_each(Visit visit) {
    for (std::uint32_t id = 0; id < pool_.size(); ++id) {
      if (pool_[id].live) visit(GroupRef{id, pool_[id].generation}, pool_[id]);
    }
  }
  template <class Visit>
  void for_each(Visit visit) const {
    for (std::uint32_t id = 0; id < pool_.size(); ++id) {
      if (pool_[id].live) visit(GroupRef{id, pool_[id].generation}, pool_[id]);
    }
  }
  // After slots changed in place: the look-ups are made afresh.
  void reindex();

 private:
  struct Level {
    std::vector<GroupIndex> indexes;  // the step's atom, then its absence atoms
  };
  struct GroupKey {
    std::uint64_t start;
    std::uint32_t level;
    Slots slots;
  };
  struct KeyHash {
    std::size_t operator()(const GroupKey& key) const noexcept;
  };
  struct KeyEqual {
    bool operator()(const GroupKey& a, const GroupKey& b) const noexcept;
  };
  static GroupKey key_of(const StateGroup& group) {
    return {group.start, group.level, copy_of(group.slots)};
  }
  void index(GroupRef ref);

  std::vector<std::optional<std::int64_t>> windows_;  // by level
  std::vector<Level> levels_;
  std::vector<StateGroup> pool_;
  std::vector<std::uint32_t> free_;
  std::unordered_map<GroupKey, std::uint32_t, KeyHash, KeyEqual> by_key_;
  std::size_t live_ = 0;
  std::size_t entries_ = 0;
  std::size_t members_ = 0;
};

}  // namespace kestrel
