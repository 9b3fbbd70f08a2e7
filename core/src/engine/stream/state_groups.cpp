// The pool and look-ups of the near-miss states (state_groups.hpp).
#include "engine/stream/state_groups.hpp"

#include <bit>
#include <utility>

#include "engine/atoms/transition.hpp"

namespace kestrel {

namespace {

// Stale index entries allowed past the live ones before a rebuild.
constexpr std::size_t kSlackEntries = 256;

// Slots that group states alike: the same kind and the same bits, so that
// NaN meets itself and the key map stays an equivalence.
bool same_cell(const Cell& a, const Cell& b) noexcept {
  if (a.kind != b.kind) return false;
  if (a.kind == CellKind::Float) {
    return std::bit_cast<std::uint64_t>(a.number) == std::bit_cast<std::uint64_t>(b.number);
  }
  return cells_identical(a, b);
}

std::uint64_t cell_bits(const Cell& cell) noexcept {
  switch (cell.kind) {
    case CellKind::String: return cell.text;
    case CellKind::Int: return static_cast<std::uint64_t>(cell.integer);
    case CellKind::Float: return std::bit_cast<std::uint64_t>(cell.number);
    case CellKind::Bool: return cell.flag;
    case CellKind::Null:
    case CellKind::Missing: break;
  }
  return 0;
}

}  // namespace

void GroupIndex::add(const StateGroup& group, GroupRef ref) {
  if (!reference_) {
    all_.push_back(ref);
    return;
  }
  // A key that equals nothing (NaN) makes an atom that never accepts.
  if (const std::optional<EqualityKey> key = equality_key(group.slots[reference_->slot])) {
    keyed_[*key].push_back(ref);
  }
}

std::vector<GroupRef>* GroupIndex::entries_for(const TableView& view, std::size_t row) {
  if (!reference_) return &all_;
  const std::optional<EqualityKey> key = equality_key(view.cell(reference_->column, row));
  if (!key) return nullptr;
  const auto found = keyed_.find(*key);
  return found == keyed_.end() ? nullptr : &found->second;
}

std::size_t StateGroups::KeyHash::operator()(const GroupKey& key) const noexcept {
  std::uint64_t h = hash_of(EqualityKey{key.start, static_cast<std::uint8_t>(key.level)});
  for (const Cell& cell : key.slots) {
    h ^= hash_of(EqualityKey{cell_bits(cell), static_cast<std::uint8_t>(cell.kind)}) +
         0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  }
  return h;
}

bool StateGroups::KeyEqual::operator()(const GroupKey& a, const GroupKey& b) const noexcept {
  if (a.start != b.start || a.level != b.level || a.slots.size() != b.slots.size()) return false;
  for (std::size_t i = 0; i < a.slots.size(); ++i) {
    if (!same_cell(a.slots.begin()[i], b.slots.begin()[i])) return false;
  }
  return true;
}

StateGroups::StateGroups(const Pattern& pattern, const PatternAtoms& atoms)
    : windows_(pattern.steps.size()), levels_(pattern.steps.size()) {
  for (std::size_t level = 1; level < pattern.steps.size(); ++level) {
    windows_[level] = transition_into(pattern, level).max_elapsed;
    levels_[level].indexes.emplace_back(atoms.steps[level]);
    for (const TableAtom& absence : atoms.absence[level]) {
      levels_[level].indexes.emplace_back(absence);
    }
  }
}

GroupRef StateGroups::find(std::uint64_t start, std::uint32_t level, const Slots& slots) const {
  const auto found = by_key_.find(GroupKey{start, level, copy_of(slots)});
  if (found == by_key_.end()) return GroupRef{};
  return GroupRef{found->second, pool_[found->second].generation};
}

GroupRef StateGroups::group_for(std::uint64_t start, std::uint32_t level, const Slots& slots) {
  if (const GroupRef found = find(start, level, slots); valid(found)) return found;
  GroupKey key{start, level, copy_of(slots)};
  std::uint32_t id = 0;
  if (free_.empty()) {
    id = static_cast<std::uint32_t>(pool_.size());
    pool_.emplace_back();
  } else {
    id = free_.back();
    free_.pop_back();
  }
  StateGroup& group = pool_[id];
  group.start = start;
  group.level = level;
  group.slots.clear();
  group.slots.append(slots.begin(), slots.end());
  group.live = true;
  by_key_.emplace(std::move(key), id);
  ++live_;
  const GroupRef ref{id, group.generation};
  index(ref);
  return ref;
}

void StateGroups::index(GroupRef ref) {
  const StateGroup& group = pool_[ref.id];
  for (GroupIndex& index : levels_[group.level].indexes) {
    index.add(group, ref);
    ++entries_;
  }
}

void StateGroups::add_member(GroupRef ref, Member member) {
  std::vector<Member>& members = pool_[ref.id].members;
  while (!members.empty() && members.back().path >= member.path) {
    members.pop_back();
    --members_;
  }
  // An older state with a smaller path serves for as long, unless it expires first.
  const bool windowed = windows_[pool_[ref.id].level].has_value();
  if (!members.empty() && (!windowed || members.back().ts == member.ts)) return;
  members.push_back(std::move(member));
  ++members_;
}

bool StateGroups::expire(StateGroup& group, std::int64_t ts) {
  const std::optional<std::int64_t>& window = windows_[group.level];
  std::vector<Member>& members = group.members;
  std::size_t expired = 0;
  while (expired < members.size() && !within_window(window, members[expired].ts, ts)) ++expired;
  members.erase(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(expired));
  members_ -= expired;
  return !members.empty();
}

void StateGroups::free(GroupRef ref) {
  StateGroup& group = pool_[ref.id];
  by_key_.erase(key_of(group));
  members_ -= group.members.size();
  group.members.clear();
  group.slots.clear();
  group.live = false;
  ++group.generation;
  free_.push_back(ref.id);
  --live_;
}

std::vector<GroupRef>* StateGroups::entries_for(std::uint32_t level, std::size_t atom,
                                                const TableView& view, std::size_t row) {
  std::vector<GroupIndex>& indexes = levels_[level].indexes;
  return indexes[atom == kNoAtom ? 0 : atom + 1].entries_for(view, row);
}

void StateGroups::compact_if_stale() {
  std::size_t per_group = 0;
  for (const Level& level : levels_) per_group = std::max(per_group, level.indexes.size());
  if (entries_ > 2 * live_ * per_group + kSlackEntries) reindex();
}

void StateGroups::reindex() {
  for (Level& level : levels_) {
    for (GroupIndex& index : level.indexes) index.clear();
  }
  entries_ = 0;
  by_key_.clear();
  for (std::uint32_t id = 0; id < pool_.size(); ++id) {
    if (!pool_[id].live) continue;
    by_key_.emplace(key_of(pool_[id]), id);
    index(GroupRef{id, pool_[id].generation});
  }
}

}  // namespace kestrel
