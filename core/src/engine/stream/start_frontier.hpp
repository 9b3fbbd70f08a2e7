// One partition's undecided starts for the stream's near-miss search: each
// start's deepest path so far, what its reason waits for, and its states
// (open_starts.cpp tells the algorithm).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/explain/pattern_atoms.hpp"
#include "engine/explain/renumber.hpp"
#include "engine/explain/state_graph.hpp"
#include "engine/stream/state_groups.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

// What every partition's search shares: the pattern, its atoms compiled
// against the stream's first texts, and what each of those types concerns.
struct SearchRules {
  struct Role {
    std::vector<std::uint32_t> advances;                        // levels
    std::vector<std::pair<std::uint32_t, std::size_t>> blocks;  // level, absence atom
    bool starts = false;
  };

  SearchRules(Pattern pattern, const EventTable& seed);
  const Role* role_of(TextId type) const noexcept {
    return type < roles.size() ? &roles[type] : nullptr;
  }

  Pattern pattern;
  PatternAtoms atoms;
  std::optional<std::int64_t> horizon;  // the windows summed; none without one on every step
  std::vector<Role> roles;              // by type id
};

struct OpenStart {
  std::int64_t ts = 0;
  std::vector<std::size_t> best;         // the deepest path so far, the smallest of equals
  GroupRef best_group;                   // the group of the state that ends it
  std::size_t blocker = kNone;           // the first row since that forbids its next step
  std::optional<NearMissDetail> detail;  // once the first row of the awaited type came
  std::uint32_t serial = 0;              // tells its current wait from stale ones
  bool expanding = true;                 // false once its horizon passed
};

class StartFrontier {
 public:
  explicit StartFrontier(const SearchRules& rules)
      : rules_(&rules), groups_(rules.pattern, rules.atoms) {}

  // The partition's next row, in canonical order.
  void offer(const TableView& view, std::size_t row, Interrupt& interrupt);
  // Records the starts no row can extend once the partition's newest
  // timestamp is `newest`, whose reason is known; the others wait for it.
  void settle(const TableView& view, std::int64_t newest, std::vector<NearMiss>& ready);
  // Records every start: no row follows.
  void end(const TableView& view, std::vector<NearMiss>& ready);

  bool empty() const noexcept { return starts_.empty(); }
  // Empty, and holding nothing stale either.
  bool pristine() const noexcept {
    return starts_.empty() && groups_.live() == 0 && waits_ == 0 && by_age_.empty();
  }
  std::size_t open() const noexcept { return starts_.size(); }
  // At least the number of rows it names.
  std::size_t rows_bound() const noexcept;

  // Visits every row it names, by reference, so it can be read or renamed.
  template <class Visit>
  void for_each_row(Visit visit) {
    visit_rows(*this, visit);
  }
  template <class Visit>
  void for_each_row(Visit visit) const {
    visit_rows(*this, visit);
  }
  // After texts were interned afresh: `text` maps an old id to its new one.
  template <class Text>
  void retext(Text text) {
    groups_.for_each([&](GroupRef, StateGroup& group) {
      for (Cell& slot : group.slots) {
        if (slot.kind == CellKind::String) slot = Cell::of_text(text(slot.text));
      }
    });
    groups_.reindex();
  }

  // For checkpoints (open_starts_state.cpp).
  std::unordered_map<std::uint64_t, OpenStart>& starts() noexcept { return starts_; }
  const std::unordered_map<std::uint64_t, OpenStart>& starts() const noexcept { return starts_; }
  StateGroups& groups() noexcept { return groups_; }
  const StateGroups& groups() const noexcept { return groups_; }
  // After a checkpoint's starts and groups are put in place: their waits.
  void restart_waits();

 private:
  struct Pending {
    std::uint64_t start;
    std::uint32_t level;
    Slots slots;
    Member member;
  };

  template <class Self, class Visit>
  static void visit_rows(Self& self, Visit visit) {
    self.groups_.for_each([&](GroupRef, auto& group) {
      for (auto& member : group.members) {
        for (auto& row : member.path) visit(row);
      }
    });
    for (auto& [id, start] : self.starts_) {
      for (auto& row : start.best) visit(row);
      if (start.blocker != kNone) visit(start.blocker);
      if (start.detail) for_each_detail_index(*start.detail, visit);
    }
  }

  // The live groups an entry list names, each visited once; stale entries go.
  template <class Visit>
  void for_each_live(std::vector<GroupRef>* entries, Interrupt& interrupt, Visit visit);

  void advance(const TableView& view, std::uint32_t level, std::size_t row, Interrupt& interrupt);
  void decide(const TableView& view, std::size_t row, Interrupt& interrupt);
  void block(const TableView& view, std::uint32_t level, std::size_t atom, std::size_t row,
             Interrupt& interrupt);
  void start(const TableView& view, std::size_t row);
  void join();
  void improve(OpenStart& start, std::uint64_t id, const Member& member, GroupRef group);
  void record(const TableView& view, std::uint64_t id, std::vector<NearMiss>& ready);
  void sweep_if_stale(std::int64_t ts);

  const SearchRules* rules_;
  StateGroups groups_;
  std::unordered_map<std::uint64_t, OpenStart> starts_;
  std::deque<std::uint64_t> by_age_;  // with a horizon: starts in creation order
  // By awaited type: the starts whose reason waits for a row of it, by serial.
  std::unordered_map<TextId, std::vector<std::pair<std::uint64_t, std::uint32_t>>> awaiting_;
  std::size_t waits_ = 0;
  std::uint64_t next_start_ = 0;
  std::size_t groups_after_sweep_ = 0;
  std::vector<Pending> pending_;  // the next states the row being offered makes
  std::vector<std::uint64_t> settled_;
};

}  // namespace kestrel
