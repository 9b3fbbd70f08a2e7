// Matching a pattern over events in canonical order.
//
// The compiled matcher simulates the pattern as a non-deterministic automaton:
// one forward pass over each partition keeps threads, each a partial match
// waiting for its next step. It reads the events as an EventTable, so types,
// texts and attributes are ids and fixed-size cells (table_atom.hpp).
//
// An event is offered only to the threads it can concern, so that the cost of
// a partition is linear in its events and in the threads it creates, however
// many threads are open at once:
//   - A step whose atom has an `==` reference to a bound name keeps its
//     threads in a hash index keyed by the bound value (cell_ops.hpp). An
//     event looks up the one bucket of its own value; the exact test still
//     runs on each thread found there.
//   - An absence atom that reads no binding blocks every thread of its step:
//     they are dropped at once, each once. One with an `==` reference blocks
//     the threads under the event's key, one with neither is tested on every
//     thread of its step.
//   - Threads of a step live in a list in creation order, which is also the
//     order of their last timestamps, so expired windows are cut from its
//     front. A thread that could never advance (its key is NaN, its window
//     is negative, its atom never matches) is never kept.
// Threads are pooled and linked into their step's list and indexes in place
// (thread_store.hpp); dropping one unlinks it in constant time. The rules are
// those of a thread list offered every event: each event first advances and
// then blocks the threads that existed before it, and only then do its
// successors and the start it makes join, so one event never fills two steps
// of a match.
// Matches complete in the order of their last events; each partition's are
// sorted by path when it ends.
//
// A bounded call stops at the event that makes its limit + 1st match and
// ends the partition there. Its result is therefore the unbounded result's
// prefix up to the last whole partition, then the limit + 1 - (that prefix)
// matches of the stopping partition that completed first, sorted by path:
// a subsequence of the unbounded result of exactly limit + 1 matches, not
// always its prefix (within a partition, a match that starts earlier may
// complete later). Finding the prefix itself would mean finishing the
// partition, which is the cost the bound exists to avoid. The unbounded path
// pays one comparison per event and one per match.
//
// Over several threads, each scans a share of whole partition runs with the
// same bound (runtime/shares.hpp). A share that one thread would have reached
// with `found` matches already, and in which the bound would have stopped
// it, is scanned again with the bound lowered by `found`, so that even a
// bounded result is the one-thread result: the extra cost falls only on
// calls that end in refusal, and is at most one share's scan. Shares after
// it are dropped; each did at most limit + 1 matches of work.

#include "kestrel/matcher.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/atoms/cell_ops.hpp"
#include "engine/atoms/table_atom.hpp"
#include "engine/atoms/transition.hpp"
#include "engine/match/compiled_pattern.hpp"
#include "engine/match/thread_store.hpp"
#include "kestrel/event_table.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

// `visit` with a poll of the interrupt first: exhaustive threads can multiply
// without bound.
template <class Visit>
auto polling(Interrupt& interrupt, Visit visit) {
  return [&interrupt, visit](ThreadId id) {
    interrupt.poll();
    visit(id);
  };
}

// The matches of one call: each partition's wait in flat buffers until it
// ends, so that sorting moves small numbers and each Match is built once, in
// its final place.
class FoundMatches {
 public:
  FoundMatches(const CompiledPattern& pattern, const EventTable& table, std::size_t limit,
               Interrupt& interrupt)
      : pattern_(pattern),
        length_(pattern.steps().size()),
        table_(table),
        interrupt_(interrupt),
        limit_(limit) {}

  // The bound is passed: more matches than `limit` are found or pending.
  bool full() const noexcept { return found_.size() + pending_order_.size() > limit_; }

  void record(const Thread& thread, std::size_t row) {
    // One event may complete many threads; those past the bound are not kept.
    if (full()) return;
    pending_order_.push_back(static_cast<std::uint32_t>(pending_order_.size()));
    pending_rows_.insert(pending_rows_.end(), thread.rows.begin(), thread.rows.end());
    pending_rows_.push_back(row);
    pending_slots_.insert(pending_slots_.end(), thread.slots.begin(), thread.slots.end());
  }

  void end_partition() {
    sort_pending();
    // Reserving keeps the growth geometric while sparing the moves of Matches.
    if (const std::size_t needed = found_.size() + pending_order_.size();
        needed > found_.capacity()) {
      found_.reserve(std::max(needed, 2 * found_.capacity()));
    }
    for (const std::uint32_t match : pending_order_) {
      interrupt_.poll();
      emit(match);
    }
    pending_order_.clear();
    pending_rows_.clear();
    pending_slots_.clear();
  }

  std::vector<Match> take() { return std::move(found_); }

 private:
  // Orders the partition's matches by path. The first rows decide nearly
  // every comparison, so they sit beside the match numbers, and only ties
  // (one start's exhaustive matches) read the whole paths.
  void sort_pending() {
    const std::size_t length = length_;
    std::vector<std::pair<std::size_t, std::uint32_t>>& keys = sort_keys_;
    keys.clear();
    for (const std::uint32_t match : pending_order_) keys.emplace_back(*pending_path(match), match);
    const auto by_path = [&](const auto& a, const auto& b) {
      interrupt_.poll();  // a combinatorial result sorts for a long time
      if (a.first != b.first) return a.first < b.first;
      const std::size_t* x = pending_path(a.second);
      const std::size_t* y = pending_path(b.second);
      return std::lexicographical_compare(x + 1, x + length, y + 1, y + length);
    };
    // Often already in order; the check is cheaper than the sort.
    if (std::is_sorted(keys.begin(), keys.end(), by_path)) return;
    std::sort(keys.begin(), keys.end(), by_path);  // paths are distinct: no ties
    for (std::size_t i = 0; i < keys.size(); ++i) pending_order_[i] = keys[i].second;
  }

  const std::size_t* pending_path(std::uint32_t match) const noexcept {
    return pending_rows_.data() + std::size_t{match} * length_;
  }

  void emit(std::uint32_t match) {
    const std::size_t* path = pending_path(match);
    Match& emitted = found_.emplace_back();
    emitted.indices.reserve(length_);
    for (std::size_t i = 0; i < length_; ++i) {
      emitted.indices.push_back(table_.positions[path[i]]);
    }
    emitted.partition = table_.texts.text(table_.partitions[path[0]]);
    emitted.start = table_.timestamps[path[0]];
    emitted.end = table_.timestamps[path[length_ - 1]];
    emitted.captures = pattern_.captures_of(
        table_, pending_slots_.data() + std::size_t{match} * pattern_.slot_count());
  }

  const CompiledPattern& pattern_;
  const std::size_t length_;
  const EventTable& table_;
  Interrupt& interrupt_;
  const std::size_t limit_;
  std::vector<std::uint32_t> pending_order_;
  std::vector<std::pair<std::size_t, std::uint32_t>> sort_keys_;
  std::vector<std::size_t> pending_rows_;
  std::vector<Cell> pending_slots_;
  std::vector<Match> found_;
};

// One pass over a share of partitions: offers each event to the threads it
// can concern, which advance, are blocked, expire or start.
class Scan {
 public:
  Scan(const CompiledPattern& pattern, const EventTable& table, std::size_t limit,
       Interrupt& interrupt)
      : pattern_(pattern),
        steps_(pattern.steps()),
        table_(table),
        view_(table),
        interrupt_(interrupt),
        first_successor_only_(pattern.consumption() == MatchConsumption::FirstSuccessorPerStart),
        store_(pattern),
        matches_(pattern, table, limit, interrupt) {}

  // Partitions are the runs of equal partition ids; `rows` holds whole runs.
  std::vector<Match> run(RowRange rows) {
    for (std::size_t row = rows.begin; row < rows.end; ++row) {
      if (row > rows.begin && table_.partitions[row] != table_.partitions[row - 1]) {
        end_partition();
      }
      interrupt_.poll();
      offer(row);
      if (matches_.full()) break;
    }
    end_partition();
    return matches_.take();
  }

 private:
  void offer(std::size_t row) {
    const TypeRole* role = pattern_.role_of(table_.types[row]);
    // No atom names the type. Windows it would close stay open until a later
    // event: their threads could not advance anyway.
    if (!role) return;
    expire_windows(table_.timestamps[row]);
    for (const std::uint32_t k : role->advances) advance_step(k, row);
    for (const auto& [k, a] : role->absences) block(k, steps_[k].absence[a], row);
    if (role->starts) start(row);
    for (const ThreadId id : joining_) store_.join(id);
    joining_.clear();
  }

  // -- Advancing -----------------------------------------------------------

  void advance_step(std::uint32_t k, std::size_t row) {
    const CompiledStep& step = steps_[k];
    if (store_.first_waiting(k) == kNoThread || !step.atom.passes_event_clauses(view_, row)) {
      return;
    }
    const auto advance = polling(interrupt_, [&](ThreadId id) { try_advance(id, step, row); });
    if (!step.advance_index) {
      store_.for_each_in_step(k, advance);
      return;
    }
    const std::optional<EqualityKey> key = equality_key(view_.cell(step.advance_column, row));
    if (!key) return;
    store_.for_each_in_bucket(k, *step.advance_index, *key, advance);
  }

  void try_advance(ThreadId id, const CompiledStep& step, std::size_t row) {
    if (!step.atom.passes_slot_clauses(view_, row, store_.thread(id).slots)) return;
    if (first_successor_only_) {
      // The thread is replaced by its successor.
      store_.unlink(id);
      take_step(id, row);
      return;
    }
    const ThreadId child = store_.make();  // may move the threads: take references after
    const Thread& parent = store_.thread(id);
    Thread& successor = store_.thread(child);
    successor.rows.append(parent.rows.begin(), parent.rows.end());
    successor.slots.append(parent.slots.begin(), parent.slots.end());
    successor.step = parent.step;
    take_step(child, row);
  }

  // Moves an unlinked thread past its step on `row`: it becomes a match or
  // joins the next step once the event is done.
  void take_step(ThreadId id, std::size_t row) {
    Thread& thread = store_.thread(id);
    steps_[thread.step].atom.bind(view_, row, thread.slots);
    if (thread.step + 1 == steps_.size()) {
      matches_.record(thread, row);
      store_.release(id);
      return;
    }
    thread.rows.push_back(row);
    thread.step += 1;
    thread.last_ts = table_.timestamps[row];
    joining_.push_back(id);
  }

  void start(std::size_t row) {
    const TableAtom& atom = steps_.front().atom;
    if (!atom.passes_event_clauses(view_, row)) return;
    const ThreadId id = store_.make();
    take_step(id, row);
  }

  // -- Blocking and expiry -------------------------------------------------

  void block(std::uint32_t k, const CompiledAbsence& absence, std::size_t row) {
    if (store_.first_waiting(k) == kNoThread || !absence.atom.passes_event_clauses(view_, row)) {
      return;
    }
    const auto drop_if_blocked = [&](ThreadId id) {
      if (absence.atom.passes_slot_clauses(view_, row, store_.thread(id).slots)) store_.drop(id);
    };
    switch (absence.reach) {
      case AbsenceReach::WholeStep:
        store_.for_each_in_step(k, polling(interrupt_, [&](ThreadId id) { store_.drop(id); }));
        return;
      case AbsenceReach::ByKey:
        if (const auto key = equality_key(view_.cell(absence.key_column, row))) {
          store_.for_each_in_bucket(k, absence.index, *key, polling(interrupt_, drop_if_blocked));
        }
        return;
      case AbsenceReach::EachThread:
        store_.for_each_in_step(k, polling(interrupt_, drop_if_blocked));
        return;
    }
  }

  // Threads in creation order have ascending last timestamps, so the expired
  // ones are a prefix of their step's list.
  void expire_windows(std::int64_t ts) {
    for (const std::uint32_t k : pattern_.windowed_steps()) {
      const std::optional<std::int64_t>& max_elapsed = steps_[k].max_elapsed;
      for (ThreadId first = store_.first_waiting(k);
           first != kNoThread && !within_window(max_elapsed, store_.thread(first).last_ts, ts);
           first = store_.first_waiting(k)) {
        interrupt_.poll();
        store_.drop(first);
      }
    }
  }

  void end_partition() {
    store_.clear();
    matches_.end_partition();
  }

  const CompiledPattern& pattern_;
  const std::vector<CompiledStep>& steps_;
  const EventTable& table_;
  TableView view_;
  Interrupt& interrupt_;
  const bool first_successor_only_;
  ThreadStore store_;
  std::vector<ThreadId> joining_;  // successors and starts of the event being offered
  FoundMatches matches_;
};

}  // namespace

std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    std::size_t limit, const RunOptions& options) {
  check_structure(pattern);
  if (table.size() == 0) return {};
  const CompiledPattern compiled(pattern, table);
  const std::vector<RowRange> shares = partition_shares(table.partitions, options.threads);
  auto scan = [&](std::size_t share_limit) {
    return [&, share_limit](RowRange share, Interrupt& interrupt) {
      return Scan(compiled, table, share_limit, interrupt).run(share);
    };
  };
  std::vector<std::vector<Match>> pieces =
      pieces_of<std::vector<Match>>(shares, options, scan(limit));
  std::size_t found = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].size() > limit - found) {
      // One thread would have come to this share with `found` matches and
      // stopped within it at an earlier event, unless none came before.
      if (found > 0) {
        pieces[i] = std::move(pieces_of<std::vector<Match>>(std::span(shares).subspan(i, 1),
                                                            options, scan(limit - found))
                                  .front());
      }
      pieces.resize(i + 1);
      break;
    }
    found += pieces[i].size();
  }
  return joined(std::move(pieces));
}

std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    const RunOptions& options) {
  return compiled_matches(table, pattern, SIZE_MAX, options);
}

std::vector<Match> compiled_matches(std::span<const Event> events, const Pattern& pattern,
                                    Interrupt interrupt) {
  check_structure(pattern);
  const EventTable table = EventTable::from_events(events, attributes_read(pattern), interrupt);
  return compiled_matches(table, pattern, RunOptions{1, interrupt.question()});
}

}  // namespace kestrel
