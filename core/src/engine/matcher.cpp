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
// Threads are pooled and linked into their step's list and indexes in
// place; dropping one unlinks it in constant time. The rules are those of a
// thread list offered every event: each event first advances and then blocks
// the threads that existed before it, and only then do its successors and
// the start it makes join, so one event never fills two steps of a match.
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

#include "engine/cell_ops.hpp"
#include "engine/inline_vector.hpp"
#include "engine/key_buckets.hpp"
#include "engine/table_atom.hpp"
#include "engine/transition.hpp"
#include "kestrel/event_table.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

using ThreadId = std::uint32_t;
constexpr ThreadId kNoThread = UINT32_MAX;

// Rows matched so far, one per completed step.
using Path = InlineVector<std::size_t, 3>;

struct Thread {
  Path rows;
  Slots slots;
  std::int64_t last_ts = 0;
  std::uint32_t step = 0;
  bool linked = false;
};

// A thread's place in one list: its neighbours and, in an index, its bucket.
struct Links {
  ThreadId prev = kNoThread;
  ThreadId next = kNoThread;
  std::uint32_t bucket = kNoBucket;
};

// How an absence atom finds the threads it blocks.
enum class AbsenceReach : std::uint8_t { WholeStep, ByKey, EachThread };

struct CompiledAbsence {
  TableAtom atom;
  AbsenceReach reach = AbsenceReach::EachThread;
  std::uint32_t index = 0;  // ByKey: the step's index to look up
  ColumnId key_column = kNoColumn;
};

// A step with the transition that leads into it.
struct CompiledStep {
  TableAtom atom;
  std::optional<std::int64_t> max_elapsed;
  std::vector<CompiledAbsence> absence;
  // The bound slot each of the step's indexes keys on.
  std::vector<SlotId> index_slots;
  // The index that advancing looks up, when the atom has an `==` reference.
  std::optional<std::uint32_t> advance_index;
  ColumnId advance_column = kNoColumn;
  // No thread waiting for the step could ever take it.
  bool unreachable = false;

  std::uint32_t index_for(SlotId slot) {
    const auto it = std::find(index_slots.begin(), index_slots.end(), slot);
    if (it != index_slots.end()) return static_cast<std::uint32_t>(it - index_slots.begin());
    index_slots.push_back(slot);
    return static_cast<std::uint32_t>(index_slots.size() - 1);
  }
};

// What an event of one type does: the steps it may advance, the absence
// atoms it may satisfy, and whether it may start a match.
struct TypeRole {
  std::vector<std::uint32_t> advances;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> absences;  // step, atom
  bool starts = false;
};

class CompiledPattern {
 public:
  CompiledPattern(const Pattern& pattern, const EventTable& table);

  const std::vector<CompiledStep>& steps() const noexcept { return steps_; }
  MatchConsumption consumption() const noexcept { return consumption_; }
  std::size_t slot_count() const noexcept { return slot_names_.size(); }
  std::size_t index_count() const noexcept { return index_count_; }
  const std::vector<std::uint32_t>& windowed_steps() const noexcept { return windowed_; }

  // Null for a type no atom names.
  const TypeRole* role_of(TextId type) const noexcept {
    const std::int32_t role = role_by_type_[type];
    return role < 0 ? nullptr : &roles_[static_cast<std::size_t>(role)];
  }

  Bindings captures_of(const EventTable& table, const Cell* slots) const {
    return bindings_of(table, slot_names_, slots_by_name_, slots);
  }

 private:
  CompiledStep compile_step(const Step& step, AtomCompiler& compiler) const;
  TypeRole& role(TextId type);

  std::vector<CompiledStep> steps_;
  MatchConsumption consumption_;
  std::vector<std::string> slot_names_;
  std::vector<SlotId> slots_by_name_;
  std::size_t index_count_ = 0;
  std::vector<std::uint32_t> windowed_;
  std::vector<std::int32_t> role_by_type_;
  std::vector<TypeRole> roles_;
};

CompiledPattern::CompiledPattern(const Pattern& pattern, const EventTable& table)
    : consumption_(pattern.consumption), role_by_type_(table.texts.size(), -1) {
  AtomCompiler compiler(table);
  for (const Step& step : pattern.steps) {
    steps_.push_back(compile_step(step, compiler));
    compiler.close_step(step.atom);
  }
  slot_names_ = compiler.slot_names();
  slots_by_name_ = compiler.slots_by_name();
  if (!steps_.front().atom.never_matches()) role(steps_.front().atom.type).starts = true;
  for (std::uint32_t k = 1; k < steps_.size(); ++k) {
    const CompiledStep& step = steps_[k];
    if (step.unreachable) continue;
    index_count_ = std::max(index_count_, step.index_slots.size());
    if (step.max_elapsed) windowed_.push_back(k);
    role(step.atom.type).advances.push_back(k);
    for (std::uint32_t a = 0; a < step.absence.size(); ++a) {
      role(step.absence[a].atom.type).absences.emplace_back(k, a);
    }
  }
}

// Absence atoms see the names bound before the step, as its atom does; an
// atom that can never match can never block.
CompiledStep CompiledPattern::compile_step(const Step& step, AtomCompiler& compiler) const {
  CompiledStep compiled;
  compiled.atom = compiler.compile(step.atom);
  if (const ReferenceTest* reference = compiled.atom.equality_reference()) {
    compiled.advance_index = compiled.index_for(reference->slot);
    compiled.advance_column = reference->column;
  }
  if (!step.transition_from_previous) return compiled;
  compiled.max_elapsed = step.transition_from_previous->max_elapsed;
  // A later event is never less than zero after the last one.
  compiled.unreachable =
      compiled.atom.never_matches() || (compiled.max_elapsed && *compiled.max_elapsed < 0);
  for (const Atom& atom : step.transition_from_previous->absence) {
    CompiledAbsence absent{compiler.compile(atom)};
    if (absent.atom.never_matches()) continue;
    if (!absent.atom.reads_slots()) {
      absent.reach = AbsenceReach::WholeStep;
    } else if (const ReferenceTest* reference = absent.atom.equality_reference()) {
      absent.reach = AbsenceReach::ByKey;
      absent.index = compiled.index_for(reference->slot);
      absent.key_column = reference->column;
    }
    compiled.absence.push_back(std::move(absent));
  }
  return compiled;
}

TypeRole& CompiledPattern::role(TextId type) {
  std::int32_t& role = role_by_type_[type];
  if (role < 0) {
    role = static_cast<std::int32_t>(roles_.size());
    roles_.emplace_back();
  }
  return roles_[static_cast<std::size_t>(role)];
}

// The threads waiting for one step: all of them in creation order, and the
// same threads again in each of the step's key indexes.
struct StepThreads {
  struct Index {
    KeyBuckets buckets;
    std::vector<ThreadId> heads;  // by bucket
  };
  ThreadId first = kNoThread;
  ThreadId last = kNoThread;
  std::vector<Index> indexes;
};

// The working state of one call.
class Scan {
 public:
  Scan(const CompiledPattern& pattern, const EventTable& table, std::size_t limit,
       Interrupt& interrupt)
      : pattern_(pattern),
        steps_(pattern.steps()),
        table_(table),
        view_(table),
        interrupt_(interrupt),
        limit_(limit),
        first_successor_only_(pattern.consumption() == MatchConsumption::FirstSuccessorPerStart),
        waiting_(steps_.size()),
        links_(1 + pattern.index_count()) {
    for (std::size_t k = 0; k < steps_.size(); ++k) {
      waiting_[k].indexes.resize(steps_[k].index_slots.size());
    }
  }

  // Partitions are the runs of equal partition ids; `rows` holds whole runs.
  std::vector<Match> run(RowRange rows) {
    for (std::size_t row = rows.begin; row < rows.end; ++row) {
      if (row > rows.begin && table_.partitions[row] != table_.partitions[row - 1]) {
        end_partition();
      }
      interrupt_.poll();
      offer(row);
      if (full()) break;
    }
    end_partition();
    return std::move(found_);
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
    for (const ThreadId id : joining_) join(id);
    joining_.clear();
  }

  // -- Advancing -----------------------------------------------------------

  void advance_step(std::uint32_t k, std::size_t row) {
    const StepThreads& waiting = waiting_[k];
    const CompiledStep& step = steps_[k];
    if (waiting.first == kNoThread || !step.atom.passes_event_clauses(view_, row)) return;
    if (!step.advance_index) {
      for_each_in_step(k, [&](ThreadId id) { try_advance(id, step, row); });
      return;
    }
    const std::optional<EqualityKey> key = equality_key(view_.cell(step.advance_column, row));
    if (!key) return;
    for_each_in_bucket(k, *step.advance_index, *key,
                       [&](ThreadId id) { try_advance(id, step, row); });
  }

  void try_advance(ThreadId id, const CompiledStep& step, std::size_t row) {
    if (!step.atom.passes_slot_clauses(view_, row, threads_[id].slots)) return;
    if (first_successor_only_) {
      // The thread is replaced by its successor.
      unlink(id);
      take_step(id, row);
      return;
    }
    const ThreadId child = make_thread();  // may move the threads: take references after
    const Thread& parent = threads_[id];
    Thread& successor = threads_[child];
    successor.rows.append(parent.rows.begin(), parent.rows.end());
    successor.slots.append(parent.slots.begin(), parent.slots.end());
    successor.step = parent.step;
    take_step(child, row);
  }

  // Moves an unlinked thread past its step on `row`: it becomes a match or
  // joins the next step once the event is done.
  void take_step(ThreadId id, std::size_t row) {
    Thread& thread = threads_[id];
    steps_[thread.step].atom.bind(view_, row, thread.slots);
    if (thread.step + 1 == steps_.size()) {
      record_match(thread, row);
      release(id);
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
    const ThreadId id = make_thread();
    take_step(id, row);
  }

  // -- Blocking and expiry -------------------------------------------------

  void block(std::uint32_t k, const CompiledAbsence& absence, std::size_t row) {
    if (waiting_[k].first == kNoThread || !absence.atom.passes_event_clauses(view_, row)) return;
    const auto drop_if_blocked = [&](ThreadId id) {
      if (absence.atom.passes_slot_clauses(view_, row, threads_[id].slots)) drop(id);
    };
    switch (absence.reach) {
      case AbsenceReach::WholeStep: for_each_in_step(k, [&](ThreadId id) { drop(id); }); return;
      case AbsenceReach::ByKey:
        if (const auto key = equality_key(view_.cell(absence.key_column, row))) {
          for_each_in_bucket(k, absence.index, *key, drop_if_blocked);
        }
        return;
      case AbsenceReach::EachThread: for_each_in_step(k, drop_if_blocked); return;
    }
  }

  // Threads in creation order have ascending last timestamps, so the expired
  // ones are a prefix of their step's list.
  void expire_windows(std::int64_t ts) {
    for (const std::uint32_t k : pattern_.windowed_steps()) {
      const std::optional<std::int64_t>& max_elapsed = steps_[k].max_elapsed;
      StepThreads& waiting = waiting_[k];
      while (waiting.first != kNoThread &&
             !within_window(max_elapsed, threads_[waiting.first].last_ts, ts)) {
        interrupt_.poll();
        drop(waiting.first);
      }
    }
  }

  // -- Thread lists --------------------------------------------------------

  // Visits the step's threads; `visit` may drop the one it is given.
  template <class Visit>
  void for_each_in_step(std::uint32_t k, Visit visit) {
    for (ThreadId id = waiting_[k].first; id != kNoThread;) {
      const ThreadId next = links_[0][id].next;
      interrupt_.poll();  // exhaustive threads can multiply without bound
      visit(id);
      id = next;
    }
  }

  template <class Visit>
  void for_each_in_bucket(std::uint32_t k, std::uint32_t index, const EqualityKey& key,
                          Visit visit) {
    const StepThreads::Index& keyed = waiting_[k].indexes[index];
    const std::uint32_t bucket = keyed.buckets.find(key);
    if (bucket == kNoBucket) return;
    const std::vector<Links>& links = links_[1 + index];
    for (ThreadId id = keyed.heads[bucket]; id != kNoThread;) {
      const ThreadId next = links[id].next;
      interrupt_.poll();
      visit(id);
      id = next;
    }
  }

  // Links a successor or a start into its step, unless it could never
  // advance there.
  void join(ThreadId id) {
    Thread& thread = threads_[id];
    const CompiledStep& step = steps_[thread.step];
    if (step.unreachable) return release(id);
    std::vector<std::optional<EqualityKey>>& keys = join_keys_;
    keys.resize(step.index_slots.size());
    for (std::size_t j = 0; j < keys.size(); ++j) {
      keys[j] = equality_key(thread.slots[step.index_slots[j]]);
    }
    // A NaN bound value equals nothing, so the thread could never advance.
    if (step.advance_index && !keys[*step.advance_index]) return release(id);
    StepThreads& waiting = waiting_[thread.step];
    link_after(links_[0], waiting.first, waiting.last, id);
    for (std::size_t j = 0; j < keys.size(); ++j) {
      Links& link = links_[1 + j][id];
      link = Links{};          // a successor still holds its place in the previous step
      if (!keys[j]) continue;  // an absence atom keyed on NaN never blocks it
      StepThreads::Index& keyed = waiting.indexes[j];
      link.bucket = keyed.buckets.bucket_for(*keys[j]);
      if (link.bucket == keyed.heads.size()) keyed.heads.push_back(kNoThread);
      ThreadId& head = keyed.heads[link.bucket];
      link.next = head;
      if (head != kNoThread) links_[1 + j][head].prev = id;
      head = id;
    }
    thread.linked = true;
  }

  static void link_after(std::vector<Links>& links, ThreadId& first, ThreadId& last, ThreadId id) {
    links[id].prev = last;
    links[id].next = kNoThread;
    if (last != kNoThread) {
      links[last].next = id;
    } else {
      first = id;
    }
    last = id;
  }

  void unlink(ThreadId id) {
    Thread& thread = threads_[id];
    if (!thread.linked) return;
    thread.linked = false;
    StepThreads& waiting = waiting_[thread.step];
    Links& all = links_[0][id];
    (all.prev == kNoThread ? waiting.first : links_[0][all.prev].next) = all.next;
    (all.next == kNoThread ? waiting.last : links_[0][all.next].prev) = all.prev;
    for (std::size_t j = 0; j < waiting.indexes.size(); ++j) {
      Links& link = links_[1 + j][id];
      if (link.bucket == kNoBucket) continue;
      if (link.prev == kNoThread) {
        waiting.indexes[j].heads[link.bucket] = link.next;
      } else {
        links_[1 + j][link.prev].next = link.next;
      }
      if (link.next != kNoThread) links_[1 + j][link.next].prev = link.prev;
    }
  }

  void drop(ThreadId id) {
    unlink(id);
    release(id);
  }

  ThreadId make_thread() {
    ThreadId id;
    if (!free_.empty()) {
      id = free_.back();
      free_.pop_back();
    } else {
      id = static_cast<ThreadId>(threads_.size());
      threads_.emplace_back();
      for (std::vector<Links>& links : links_) links.emplace_back();
    }
    // Its links are set when it joins a step; until then it is unlinked.
    threads_[id].step = 0;
    threads_[id].linked = false;
    return id;
  }

  void release(ThreadId id) {
    Thread& thread = threads_[id];
    thread.rows.clear();
    thread.slots.clear();
    free_.push_back(id);
  }

  // -- Results -------------------------------------------------------------

  // Matches wait in flat buffers until their partition ends: sorting then
  // moves small numbers, and each Match is built once, in its final place.
  void record_match(const Thread& thread, std::size_t row) {
    // One event may complete many threads; those past the bound are not kept.
    if (full()) return;
    pending_order_.push_back(static_cast<std::uint32_t>(pending_order_.size()));
    pending_rows_.insert(pending_rows_.end(), thread.rows.begin(), thread.rows.end());
    pending_rows_.push_back(row);
    pending_slots_.insert(pending_slots_.end(), thread.slots.begin(), thread.slots.end());
  }

  void end_partition() {
    clear_threads();
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

  // Orders the partition's matches by path. The first rows decide nearly
  // every comparison, so they sit beside the match numbers, and only ties
  // (one start's exhaustive matches) read the whole paths.
  void sort_pending() {
    const std::size_t length = steps_.size();
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

  void clear_threads() {
    threads_.clear();
    free_.clear();
    for (std::vector<Links>& links : links_) links.clear();
    for (StepThreads& waiting : waiting_) {
      waiting.first = waiting.last = kNoThread;
      for (StepThreads::Index& keyed : waiting.indexes) {
        keyed.buckets.clear();
        keyed.heads.clear();
      }
    }
  }

  bool full() const noexcept { return found_.size() + pending_order_.size() > limit_; }

  const std::size_t* pending_path(std::uint32_t match) const noexcept {
    return pending_rows_.data() + std::size_t{match} * steps_.size();
  }

  void emit(std::uint32_t match) {
    const std::size_t* path = pending_path(match);
    Match& emitted = found_.emplace_back();
    emitted.indices.reserve(steps_.size());
    for (std::size_t i = 0; i < steps_.size(); ++i) {
      emitted.indices.push_back(table_.positions[path[i]]);
    }
    emitted.partition = table_.texts.text(table_.partitions[path[0]]);
    emitted.start = table_.timestamps[path[0]];
    emitted.end = table_.timestamps[path[steps_.size() - 1]];
    emitted.captures = pattern_.captures_of(
        table_, pending_slots_.data() + std::size_t{match} * pattern_.slot_count());
  }

  const CompiledPattern& pattern_;
  const std::vector<CompiledStep>& steps_;
  const EventTable& table_;
  TableView view_;
  Interrupt& interrupt_;
  const std::size_t limit_;
  const bool first_successor_only_;
  std::vector<Thread> threads_;
  std::vector<ThreadId> free_;
  std::vector<StepThreads> waiting_;
  // links_[0]: the step lists; links_[1 + j]: the step's index j.
  std::vector<std::vector<Links>> links_;
  std::vector<ThreadId> joining_;
  std::vector<std::optional<EqualityKey>> join_keys_;  // reused by every join
  std::vector<std::uint32_t> pending_order_;
  std::vector<std::pair<std::size_t, std::uint32_t>> sort_keys_;
  std::vector<std::size_t> pending_rows_;
  std::vector<Cell> pending_slots_;
  std::vector<Match> found_;
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
