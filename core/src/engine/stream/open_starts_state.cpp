// The near-miss search's checkpoint: per partition, its undecided starts and
// the paths of their states, rows as stream positions; and the records not
// yet taken. A state's slots are not written: the reader takes its path's
// steps again, which also refuses a path the pattern does not accept, and
// finds the groups and waits afresh.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/stream/open_starts.hpp"

namespace kestrel {

namespace {

struct SavedStart {
  std::uint64_t id = 0;
  std::int64_t ts = 0;
  std::vector<std::size_t> best;
  std::optional<std::size_t> blocker;
  std::optional<NearMissDetail> detail;
  std::uint32_t serial = 0;
  bool expanding = true;
};

struct SavedGroup {
  std::uint64_t start = 0;
  std::vector<std::vector<std::size_t>> paths;  // its states', oldest first
};

struct SavedPartition {
  std::string partition;
  std::vector<SavedStart> starts;
  std::vector<SavedGroup> groups;
};

void describe(auto& io, Is<SavedStart> auto& s) {
  io(s.id, s.ts, s.best, s.blocker, s.detail, s.serial, s.expanding);
}
void describe(auto& io, Is<SavedGroup> auto& g) { io(g.start, g.paths); }
void describe(auto& io, Is<SavedPartition> auto& p) { io(p.partition, p.starts, p.groups); }

// The slots after `path`, for a state waiting for its next step; refuses a
// path the pattern does not take.
Slots slots_of(const TableView& view, const SearchRules& rules,
               const std::vector<std::size_t>& path, TextId partition) {
  const EventTable& table = view.table();
  if (path.empty() || path.size() >= rules.pattern.steps.size()) {
    StateReader::fail("its near-miss states are malformed");
  }
  Slots slots;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const TableAtom& atom = rules.atoms.steps[i];
    if (table.partitions[path[i]] != partition || (i > 0 && path[i] <= path[i - 1]) ||
        !atom.accepts(view, path[i], slots)) {
      StateReader::fail("its near-miss states are malformed");
    }
    atom.bind(view, path[i], slots);
  }
  rules.atoms.slots.drop_unread(slots, path.size());
  return slots;
}

}  // namespace

void OpenStarts::save(StateWriter& out, const EventTable& table,
                      const std::function<std::size_t(std::size_t)>& position) const {
  const auto positions = [&](std::vector<std::size_t> rows) {
    for (std::size_t& row : rows) row = position(row);
    return rows;
  };
  std::vector<SavedPartition> partitions;
  for (const auto& [partition, frontier] : partitions_) {
    SavedPartition& saved = partitions.emplace_back();
    saved.partition = std::string(table.texts.text(partition));
    for (const auto& [id, start] : frontier.starts()) {
      SavedStart& s = saved.starts.emplace_back();
      s = {id,           start.ts,     positions(start.best), std::nullopt,
           start.detail, start.serial, start.expanding};
      if (start.blocker != kNone) s.blocker = position(start.blocker);
      if (s.detail)
        for_each_detail_index(*s.detail, [&](std::size_t& row) { row = position(row); });
    }
    frontier.groups().for_each([&](GroupRef, const StateGroup& group) {
      // Groups of starts that completed or stopped growing go at the next sweep.
      const auto start = frontier.starts().find(group.start);
      if (start == frontier.starts().end() || !start->second.expanding) return;
      SavedGroup& g = saved.groups.emplace_back();
      g.start = group.start;
      for (const Member& member : group.members) g.paths.push_back(positions(member.path));
    });
  }
  std::vector<NearMiss> ready = ready_;
  for (NearMiss& miss : ready) for_each_index(miss, [&](std::size_t& row) { row = position(row); });
  out(partitions, ready);
}

void OpenStarts::load(StateReader& in, EventTable& table,
                      const std::function<std::size_t(std::size_t)>& row) {
  std::vector<SavedPartition> partitions;
  in(partitions, ready_);
  for (NearMiss& miss : ready_)
    for_each_index(miss, [&](std::size_t& index) { index = row(index); });
  const TableView view(table);
  partitions_.clear();
  for (SavedPartition& saved : partitions) {
    const TextId id = table.texts.intern(saved.partition);
    StartFrontier& frontier = partitions_.try_emplace(id, *rules_).first->second;
    for (SavedStart& s : saved.starts) {
      OpenStart& start = frontier.starts()[s.id];
      for (std::size_t& position : s.best) position = row(position);
      slots_of(view, *rules_, s.best, id);
      start = {s.ts,
               std::move(s.best),
               GroupRef{},
               s.blocker ? row(*s.blocker) : kNone,
               std::move(s.detail),
               s.serial,
               s.expanding};
      if (start.detail)
        for_each_detail_index(*start.detail, [&](std::size_t& at) { at = row(at); });
    }
    for (SavedGroup& g : saved.groups) {
      const auto start = frontier.starts().find(g.start);
      if (start == frontier.starts().end() || !start->second.expanding || g.paths.empty()) {
        StateReader::fail("its near-miss states are malformed");
      }
      for (std::vector<std::size_t>& path : g.paths) {
        for (std::size_t& position : path) position = row(position);
        const Slots slots = slots_of(view, *rules_, path, id);
        const GroupRef ref =
            frontier.groups().group_for(g.start, static_cast<std::uint32_t>(path.size()), slots);
        frontier.groups().add_member(ref, Member{path, table.timestamps[path.back()]});
      }
    }
    for (auto& [start_id, start] : frontier.starts()) {
      const Slots slots = slots_of(view, *rules_, start.best, id);
      const auto level = static_cast<std::uint32_t>(start.best.size());
      start.best_group = frontier.groups().find(start_id, level, slots);
    }
    frontier.restart_waits();
    if (frontier.empty()) partitions_.erase(id);
  }
}

}  // namespace kestrel
