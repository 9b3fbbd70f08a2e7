// One partition's search for the deepest paths of its undecided starts, one
// row at a time (open_starts.cpp states the algorithm and its cost).
#include "engine/stream/start_frontier.hpp"

#include <algorithm>

#include "engine/atoms/transition.hpp"
#include "engine/explain/near_miss_record.hpp"

namespace kestrel {

namespace {

// Groups and waits allowed past the live ones before a sweep.
constexpr std::size_t kSlack = 256;

std::optional<std::int64_t> horizon_of(const Pattern& pattern) {
  std::int64_t sum = 0;
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    const std::optional<std::int64_t>& window = transition_into(pattern, i).max_elapsed;
    if (!window) return std::nullopt;
    // A negative window admits no gap, so counts as 0.
    if (__builtin_add_overflow(sum, std::max<std::int64_t>(*window, 0), &sum)) return std::nullopt;
  }
  return sum;
}

}  // namespace

SearchRules::SearchRules(Pattern pattern_in, const EventTable& seed)
    : pattern(std::move(pattern_in)), atoms(pattern, seed), horizon(horizon_of(pattern)) {
  const auto role = [&](TextId type) -> Role& {
    if (type >= roles.size()) roles.resize(type + 1);
    return roles[type];
  };
  if (!atoms.steps[0].never_matches()) role(atoms.steps[0].type).starts = true;
  for (std::uint32_t level = 1; level < atoms.steps.size(); ++level) {
    if (!atoms.steps[level].never_matches())
      role(atoms.steps[level].type).advances.push_back(level);
    // The awaited type settles reasons even when the atom never matches.
    if (atoms.types[level]) role(*atoms.types[level]);
    for (std::size_t a = 0; a < atoms.absence[level].size(); ++a) {
      const TableAtom& absence = atoms.absence[level][a];
      if (!absence.never_matches()) role(absence.type).blocks.emplace_back(level, a);
    }
  }
}

std::size_t StartFrontier::rows_bound() const noexcept {
  const std::size_t steps = rules_->pattern.steps.size();
  return groups_.members() * steps + starts_.size() * (steps + 2);
}

void StartFrontier::offer(const TableView& view, std::size_t row, Interrupt& interrupt) {
  const SearchRules::Role* role = rules_->role_of(view.table().types[row]);
  if (!role) return;
  for (const std::uint32_t level : role->advances) advance(view, level, row, interrupt);
  decide(view, row, interrupt);
  for (const auto& [level, atom] : role->blocks) block(view, level, atom, row, interrupt);
  if (role->starts) start(view, row);
  join();
  sweep_if_stale(view.table().timestamps[row]);
}

template <class Visit>
void StartFrontier::for_each_live(std::vector<GroupRef>* entries, Interrupt& interrupt,
                                  Visit visit) {
  if (!entries) return;
  for (std::size_t i = 0; i < entries->size();) {
    interrupt.poll();
    const GroupRef ref = (*entries)[i];
    bool keep = groups_.valid(ref);
    if (keep) {
      StateGroup& group = groups_.group(ref);
      const auto start = starts_.find(group.start);
      if (start == starts_.end() || !start->second.expanding) {
        groups_.free(ref);
        keep = false;
      } else {
        keep = visit(ref, group);
      }
    }
    if (keep) {
      ++i;
      continue;
    }
    (*entries)[i] = entries->back();
    entries->pop_back();
    groups_.dropped_entry();
  }
}

// The row takes step `level` after the live state with the smallest path of
// each group that accepts it; the last step completes its start.
void StartFrontier::advance(const TableView& view, std::uint32_t level, std::size_t row,
                            Interrupt& interrupt) {
  const TableAtom& atom = rules_->atoms.steps[level];
  if (!atom.passes_event_clauses(view, row)) return;
  const bool completes = level + 1 == rules_->atoms.steps.size();
  const std::int64_t ts = view.table().timestamps[row];
  for_each_live(groups_.entries_for(level, kNoAtom, view, row), interrupt,
                [&](GroupRef ref, StateGroup& group) {
                  if (!groups_.expire(group, ts)) {
                    groups_.free(ref);
                    return false;
                  }
                  if (!atom.passes_slot_clauses(view, row, group.slots)) return true;
                  if (completes) {
                    starts_.erase(group.start);
                    return true;
                  }
                  Pending next{group.start, level + 1, copy_of(group.slots),
                               Member{group.members.front().path, ts}};
                  next.member.path.push_back(row);
                  atom.bind(view, row, next.slots);
                  rules_->atoms.slots.drop_unread(next.slots, level + 1);
                  pending_.push_back(std::move(next));
                  return true;
                });
}

// The row is the first of its type after the deepest paths that wait for
// one: their reasons are known. It has not blocked them yet: a forbidden
// row counts only in between.
void StartFrontier::decide(const TableView& view, std::size_t row, Interrupt& interrupt) {
  const auto found = awaiting_.find(view.table().types[row]);
  if (found == awaiting_.end() || found->second.empty()) return;
  const std::vector<std::pair<std::uint64_t, std::uint32_t>> waits = std::move(found->second);
  found->second.clear();
  waits_ -= waits.size();
  for (const auto& [id, serial] : waits) {
    interrupt.poll();
    const auto start = starts_.find(id);
    if (start == starts_.end() || start->second.serial != serial || start->second.detail) continue;
    OpenStart& open = start->second;
    Slots slots;
    replay_path(view, rules_->atoms, open.best, 0, slots);
    open.detail = reason_at(view, rules_->pattern, rules_->atoms, open.best.size(),
                            open.best.back(), row, open.blocker, slots);
    if (!open.expanding) settled_.push_back(id);
  }
}

// The row blocks every state its absence atom forbids, all made before it.
void StartFrontier::block(const TableView& view, std::uint32_t level, std::size_t atom,
                          std::size_t row, Interrupt& interrupt) {
  const TableAtom& absence = rules_->atoms.absence[level][atom];
  if (!absence.passes_event_clauses(view, row)) return;
  for_each_live(groups_.entries_for(level, atom, view, row), interrupt,
                [&](GroupRef ref, StateGroup& group) {
                  if (!absence.passes_slot_clauses(view, row, group.slots)) return true;
                  OpenStart& open = starts_.find(group.start)->second;
                  if (open.best_group == ref && open.blocker == kNone && !open.detail) {
                    open.blocker = row;
                  }
                  groups_.free(ref);
                  return false;
                });
}

void StartFrontier::start(const TableView& view, std::size_t row) {
  const TableAtom& first = rules_->atoms.steps[0];
  if (!first.accepts(view, row, Slots{})) return;
  const std::uint64_t id = next_start_++;
  const std::int64_t ts = view.table().timestamps[row];
  starts_[id].ts = ts;
  if (rules_->horizon) by_age_.push_back(id);
  Pending state{id, 1, Slots{}, Member{{row}, ts}};
  first.bind(view, row, state.slots);
  rules_->atoms.slots.drop_unread(state.slots, 1);
  pending_.push_back(std::move(state));
}

// The states the row made join after it was offered to the others: one row
// never takes two steps of a path.
void StartFrontier::join() {
  for (Pending& next : pending_) {
    const auto start = starts_.find(next.start);
    if (start == starts_.end()) continue;  // completed by the same row
    const GroupRef ref = groups_.group_for(next.start, next.level, next.slots);
    improve(start->second, next.start, next.member, ref);
    groups_.add_member(ref, std::move(next.member));
  }
  pending_.clear();
}

// A deeper path, or a smaller one as deep, is the start's new best; its
// reason waits for the next row of the type its next step awaits.
void StartFrontier::improve(OpenStart& start, std::uint64_t id, const Member& member,
                            GroupRef group) {
  const std::vector<std::size_t>& path = member.path;
  if (!start.best.empty() && (path.size() < start.best.size() ||
                              (path.size() == start.best.size() && path >= start.best))) {
    return;
  }
  start.best = path;
  start.best_group = group;
  start.blocker = kNone;
  start.detail.reset();
  ++start.serial;
  if (const std::optional<TextId> type = rules_->atoms.types[path.size()]) {
    awaiting_[*type].emplace_back(id, start.serial);
    ++waits_;
  }
}

void StartFrontier::record(const TableView& view, std::uint64_t id, std::vector<NearMiss>& ready) {
  const auto start = starts_.find(id);
  NearMissDetail detail = start->second.detail ? *start->second.detail : NoSuccessor{};
  ready.push_back(
      near_miss_of(view, rules_->pattern, rules_->atoms, start->second.best, std::move(detail)));
  starts_.erase(start);
}

void StartFrontier::settle(const TableView& view, std::int64_t newest,
                           std::vector<NearMiss>& ready) {
  for (const std::uint64_t id : settled_) {
    if (starts_.contains(id)) record(view, id, ready);
  }
  settled_.clear();
  if (!rules_->horizon) return;
  for (; !by_age_.empty(); by_age_.pop_front()) {
    const auto start = starts_.find(by_age_.front());
    if (start == starts_.end() || !start->second.expanding) continue;
    std::int64_t reach = 0;
    if (__builtin_add_overflow(start->second.ts, *rules_->horizon, &reach) || reach >= newest) {
      break;
    }
    // No row can extend its paths; a reason still unknown waits for the
    // next row of its type, beyond the window.
    start->second.expanding = false;
    if (start->second.detail) record(view, start->first, ready);
  }
}

void StartFrontier::end(const TableView& view, std::vector<NearMiss>& ready) {
  std::vector<std::uint64_t> ids;
  for (const auto& [id, start] : starts_) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  for (const std::uint64_t id : ids) record(view, id, ready);
  groups_ = StateGroups(rules_->pattern, rules_->atoms);
  awaiting_.clear();
  by_age_.clear();
  waits_ = 0;
  settled_.clear();
}

// Frees the groups whose start no longer grows or whose states all expired,
// and the stale waits, once they outnumber the live ones.
void StartFrontier::sweep_if_stale(std::int64_t ts) {
  if (groups_.live() > 2 * groups_after_sweep_ + kSlack) {
    groups_.for_each([&](GroupRef ref, StateGroup& group) {
      const auto start = starts_.find(group.start);
      if (start == starts_.end() || !start->second.expanding || !groups_.expire(group, ts)) {
        groups_.free(ref);
      }
    });
    groups_.reindex();
    groups_after_sweep_ = groups_.live();
  }
  groups_.compact_if_stale();
  if (waits_ > 2 * starts_.size() + kSlack) restart_waits();
}

void StartFrontier::restart_waits() {
  awaiting_.clear();
  waits_ = 0;
  by_age_.clear();
  std::vector<std::uint64_t> ids;
  for (const auto& [id, start] : starts_) {
    ids.push_back(id);
    next_start_ = std::max(next_start_, id + 1);
  }
  std::sort(ids.begin(), ids.end());
  for (const std::uint64_t id : ids) {
    const OpenStart& start = starts_.at(id);
    if (rules_->horizon && start.expanding) by_age_.push_back(id);
    if (start.detail) continue;
    if (const std::optional<TextId> type = rules_->atoms.types[start.best.size()]) {
      awaiting_[*type].emplace_back(id, start.serial);
      ++waits_;
    }
  }
}

}  // namespace kestrel
