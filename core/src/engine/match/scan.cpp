// The matcher's pass over one partition run; the algorithm and its cost are
// described in matcher.cpp.
#include "engine/match/scan.hpp"

#include <optional>

#include "engine/atoms/cell_ops.hpp"
#include "engine/atoms/transition.hpp"

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

}  // namespace

Scan::Scan(const CompiledPattern& pattern, const EventTable& table, std::size_t limit,
           Interrupt& interrupt)
    : pattern_(pattern),
      steps_(pattern.steps()),
      table_(table),
      view_(table),
      interrupt_(interrupt),
      first_successor_only_(pattern.consumption() == MatchConsumption::FirstSuccessorPerStart),
      matches_(pattern, table, limit, interrupt) {}

bool Scan::run_partition(RowRange run, ThreadStore& store) {
  store_ = &store;
  for (std::size_t row = run.begin; row < run.end && !matches_.full(); ++row) {
    interrupt_.poll();
    offer(row);
  }
  matches_.end_partition();
  return !matches_.full();
}

void Scan::offer(std::size_t row) {
  const TypeRole* role = pattern_.role_of(table_.types[row]);
  // No atom names the type. Windows it would close stay open until a later
  // event: their threads could not advance anyway.
  if (!role) return;
  expire_windows(table_.timestamps[row]);
  for (const std::uint32_t k : role->advances) advance_step(k, row);
  for (const auto& [k, a] : role->absences) block(k, steps_[k].absence[a], row);
  if (role->starts) start(row);
  for (const ThreadId id : joining_) store_->join(id);
  joining_.clear();
}

// -- Advancing -----------------------------------------------------------

void Scan::advance_step(std::uint32_t k, std::size_t row) {
  const CompiledStep& step = steps_[k];
  if (store_->first_waiting(k) == kNoThread || !step.atom.passes_event_clauses(view_, row)) {
    return;
  }
  const auto advance = polling(interrupt_, [&](ThreadId id) { try_advance(id, step, row); });
  if (!step.advance_index) {
    store_->for_each_in_step(k, advance);
    return;
  }
  const std::optional<EqualityKey> key = equality_key(view_.cell(step.advance_column, row));
  if (!key) return;
  store_->for_each_in_bucket(k, *step.advance_index, *key, advance);
}

void Scan::try_advance(ThreadId id, const CompiledStep& step, std::size_t row) {
  if (!step.atom.passes_slot_clauses(view_, row, store_->thread(id).slots)) return;
  if (first_successor_only_) {
    // The thread is replaced by its successor.
    store_->unlink(id);
    take_step(id, row);
    return;
  }
  const ThreadId child = store_->make();  // may move the threads: take references after
  const Thread& parent = store_->thread(id);
  Thread& successor = store_->thread(child);
  successor.rows.append(parent.rows.begin(), parent.rows.end());
  successor.slots.append(parent.slots.begin(), parent.slots.end());
  successor.step = parent.step;
  take_step(child, row);
}

// Moves an unlinked thread past its step on `row`: it becomes a match or
// joins the next step once the event is done.
void Scan::take_step(ThreadId id, std::size_t row) {
  Thread& thread = store_->thread(id);
  steps_[thread.step].atom.bind(view_, row, thread.slots);
  if (thread.step + 1 == steps_.size()) {
    matches_.record(thread, row);
    store_->release(id);
    return;
  }
  thread.rows.push_back(row);
  thread.step += 1;
  thread.last_ts = table_.timestamps[row];
  joining_.push_back(id);
}

void Scan::start(std::size_t row) {
  const TableAtom& atom = steps_.front().atom;
  if (!atom.passes_event_clauses(view_, row)) return;
  const ThreadId id = store_->make();
  take_step(id, row);
}

// -- Blocking and expiry -------------------------------------------------

void Scan::block(std::uint32_t k, const CompiledAbsence& absence, std::size_t row) {
  if (store_->first_waiting(k) == kNoThread || !absence.atom.passes_event_clauses(view_, row)) {
    return;
  }
  const auto drop_if_blocked = [&](ThreadId id) {
    if (absence.atom.passes_slot_clauses(view_, row, store_->thread(id).slots)) store_->drop(id);
  };
  switch (absence.reach) {
    case AbsenceReach::WholeStep:
      store_->for_each_in_step(k, polling(interrupt_, [&](ThreadId id) { store_->drop(id); }));
      return;
    case AbsenceReach::ByKey:
      if (const auto key = equality_key(view_.cell(absence.key_column, row))) {
        store_->for_each_in_bucket(k, absence.index, *key, polling(interrupt_, drop_if_blocked));
      }
      return;
    case AbsenceReach::EachThread:
      store_->for_each_in_step(k, polling(interrupt_, drop_if_blocked));
      return;
  }
}

// Threads in creation order have ascending last timestamps, so the expired
// ones are a prefix of their step's list.
void Scan::expire_windows(std::int64_t ts) {
  for (const std::uint32_t k : pattern_.windowed_steps()) {
    const std::optional<std::int64_t>& max_elapsed = steps_[k].max_elapsed;
    for (ThreadId first = store_->first_waiting(k);
         first != kNoThread && !within_window(max_elapsed, store_->thread(first).last_ts, ts);
         first = store_->first_waiting(k)) {
      interrupt_.poll();
      store_->drop(first);
    }
  }
}

}  // namespace kestrel
