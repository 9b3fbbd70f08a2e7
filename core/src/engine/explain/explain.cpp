// Near-miss search.
//
// Taken literally, the search tries every viable path of every start, which
// grows exponentially with the pattern. But the best way to extend a partial
// path depends only on the step to match next, the path's last event and its
// bindings; together these form a state. Within one partition run the search
// therefore works on the graph of reachable states, level by level (a level
// is the number of steps matched), with bindings interned to small ids.
//
// States of one level that share their bindings form a group: they test the
// same atom and the same absence atoms under the same bindings, so one sweep
// serves them all. The sweep never walks the run itself: the rows an atom
// could accept under the group's bindings are looked up in the run's index
// (run_index.hpp), by type and, through an `==` reference, by the bound
// value, so a group correlated by a capture visits only its own events. In
// canonical order the candidates that a state may take form an interval
// right after its event, ended by the window (timestamps never decrease)
// and by the first forbidden event (it lies between the state and every
// later candidate). Both ends move right as the state's event does, so
//   - a forward pass collects each group's candidates as a union of such
//     intervals and creates the next level's states, and
//   - a backward pass, deepest level first, picks for each state the first
//     candidate with the deepest outcome, as a sliding-window maximum.
// The first forbidden event after a state is a binary search in each absence
// atom's rows, and a near miss is classified by the first later event of
// the awaited type alone. A group costs time linear in its candidates and
// states (logarithmic per look-up), nothing is recursive, and the outcome
// is exactly that of the exhaustive search: the deepest path, the
// lexicographically smallest among equals, its bindings.
//
// The graph lives in state_graph.hpp and the two passes over it in
// run_search.cpp; this file seeds each run and classifies its near misses.
//
// A state keeps only the bindings that its remaining steps can read, so that
// values captured just to be reported do not split states apart; the full
// bindings of a path are rebuilt by evaluating its steps again.
//
// Atoms are evaluated on events. The table form reads its rows back as
// events holding just the attributes the pattern reads (one pass over rows
// and read columns) and maps rows to their positions at the end; the span
// form's events are its rows already and skip that copy.
//
// Over several threads, each takes a share of whole partition runs
// (runtime/shares.hpp) and does all three passes for it: reading its rows back,
// searching its runs, mapping its records to positions. Runs are searched
// independently and records come in row order, so the shares' records
// joined in share order are the one-thread records. Each worker builds its
// own atoms and run index, a cost per share, not per row.

#include "kestrel/explain.hpp"

#include <algorithm>
#include <utility>

#include "engine/atoms/transition.hpp"
#include "engine/explain/deepest_path.hpp"
#include "engine/explain/overloaded.hpp"
#include "engine/explain/renumber.hpp"
#include "engine/explain/run_index.hpp"
#include "engine/explain/run_search.hpp"
#include "kestrel/event_table.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

std::optional<Value> copy_of(const Value* value) {
  return value ? std::optional<Value>(*value) : std::nullopt;
}

std::vector<PredicateFailure> collect_failures(const Atom& atom, const Event& event,
                                               const Bindings& bindings) {
  std::vector<PredicateFailure> failures;
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) {
      failures.push_back(
          PredicateMismatch{predicate.attribute, predicate.op, predicate.value, copy_of(actual)});
    }
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const Value* actual = event.attrs.find(reference.attribute);
    const Value* bound = bindings.find(reference.binding);
    if (!actual || !bound || !matches(reference.op, *actual, *bound)) {
      failures.push_back(ReferenceMismatch{reference.attribute, reference.op, reference.binding,
                                           copy_of(bound), copy_of(actual)});
    }
  }
  for (const Capture& capture : atom.captures) {
    const Value* bound = bindings.find(capture.name);
    if (!bound) continue;
    const Value* present = event.attrs.find(capture.attribute);
    const Value actual = present ? *present : Value(Null{});
    // Same alternative and equal contents; floats compare as IEEE numbers.
    if (!(*bound == actual)) {
      failures.push_back(CaptureConflict{capture.name, capture.attribute, *bound, actual});
    }
  }
  return failures;
}

// Why no event after `last` takes step `level` under `bindings`. Only the
// first later event of the awaited type counts: a later one is no nearer to
// the window, and the first forbidden event before it stands before every
// later one too.
NearMissDetail classify(std::span<const Event> events, RunIndex& rows, const PatternAtoms& atoms,
                        const Step& next, std::size_t level, std::size_t last,
                        const Bindings& bindings, Interrupt& interrupt) {
  const std::optional<TextId> type = atoms.types[level];
  if (!type) return NoSuccessor{};
  const std::span<const std::size_t> of_type = rows.rows_of_type(*type);
  const std::size_t* candidate = first_at_or_after(of_type, last + 1);
  if (candidate == of_type.data() + of_type.size()) return NoSuccessor{};
  const std::size_t c = *candidate;
  const Transition& transition = *next.transition_from_previous;
  const std::int64_t from = events[last].ts;
  if (!within_window(transition.max_elapsed, from, events[c].ts)) {
    return WindowExceeded{c, saturating_elapsed(from, events[c].ts), *transition.max_elapsed};
  }
  const std::size_t blocker = first_forbidden(events, rows, atoms.absence[level], transition,
                                              last + 1, c, bindings, interrupt);
  if (blocker != kNone) {
    return AbsenceBlocked{c, blocker, events[blocker].typ, next.atom.accepts(events[c], bindings)};
  }
  return PredicateFailed{collect_failures(next.atom, events[c], bindings), c};
}

// The bindings after the steps from `first_step` on take the events of
// `path`, starting from `bindings`. The search has accepted every one.
Bindings replay(std::span<const Event> events, const Pattern& pattern,
                std::span<const std::size_t> path, std::size_t first_step, Bindings bindings) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    auto next = pattern.steps[first_step + i].atom.evaluate(events[path[i]], bindings);
    if (!next) throw InternalError("the deepest path is accepted again");
    bindings = std::move(*next);
  }
  return bindings;
}

struct Start {
  std::size_t event;
  Bindings bindings;
  StateRef state;
};

void explain_run(std::span<const Event> events, RunIndex& rows, std::size_t begin, std::size_t end,
                 const Pattern& pattern, const BindingUse& use, const PatternAtoms& atoms,
                 Interrupt& interrupt, std::vector<NearMiss>& out) {
  const Atom& first = pattern.steps.front().atom;
  rows.reset(begin, end);
  RunSearch search(events, end, pattern, use, atoms, rows, 1, interrupt);
  std::vector<Start> starts;
  for (std::size_t s = begin; s < end; ++s) {
    interrupt.poll();
    if (auto bindings = first.evaluate(events[s], Bindings{})) {
      const StateRef state = search.seed(s, *bindings);
      starts.push_back(Start{s, std::move(*bindings), state});
    }
  }
  if (starts.empty()) return;
  search.run();
  for (Start& start : starts) {
    interrupt.poll();
    if (search.depth(start.state) == pattern.steps.size()) continue;
    std::vector<std::size_t> path{start.event};
    search.follow(start.state, path);
    const std::size_t reached = path.size();
    const std::size_t last_event = path.back();
    const Step& next = pattern.steps[reached];
    const Bindings bindings =
        replay(events, pattern, std::span(path).subspan(1), 1, std::move(start.bindings));
    out.push_back(NearMiss{
        .partition = events[start.event].partition,
        .start_index = start.event,
        .indices = std::move(path),
        .reached_steps = reached,
        .next_step = reached,
        .next_event_type = next.atom.event_type,
        .detail = classify(events, rows, atoms, next, reached, last_event, bindings, interrupt),
        .captures = bindings,
    });
  }
}

// The near misses of `events`, row i of `table` as events[i], with row
// numbers for indices, in ascending order of their start's row; `rows` holds
// whole partition runs.
std::vector<NearMiss> search_rows(std::span<const Event> events, const EventTable& table,
                                  const Pattern& pattern, RowRange rows, Interrupt& interrupt) {
  std::vector<NearMiss> out;
  const BindingUse use(pattern);
  const PatternAtoms atoms(pattern, table);
  RunIndex index(table, atoms);
  for (std::size_t begin = rows.begin; begin < rows.end;) {
    // Rows past the share may be another worker's, being written.
    const std::size_t end = partition_run_end(events.first(rows.end), begin);
    explain_run(events, index, begin, end, pattern, use, atoms, interrupt, out);
    begin = end;
  }
  return out;
}

// The search evaluates atoms on events, so it reads the rows back as events
// that hold just the attributes the pattern reads: columns it does not read
// cost nothing, and no row holds an attribute its cell lacks.
void read_rows_back(const EventTable& table, const Pattern& pattern, RowRange rows,
                    std::span<Event> events, Interrupt& interrupt) {
  std::vector<std::pair<std::string, std::size_t>> read;
  for (std::string& name : attributes_read(pattern)) {
    if (const auto column = table.column_of(name)) read.emplace_back(std::move(name), *column);
  }
  std::sort(read.begin(), read.end());
  for (std::size_t row = rows.begin; row < rows.end; ++row) {
    interrupt.poll();
    Event& event = events[row];
    event.partition = table.texts.text(table.partitions[row]);
    event.ts = table.timestamps[row];
    event.typ = table.texts.text(table.types[row]);
    event.attrs.reserve(read.size());
    for (const auto& [name, column] : read) {
      if (auto value = table.value_of(table.columns[column][row])) event.attrs.set(name, *value);
    }
  }
}

// The records of the runs in `rows`, with positions for indices; reads
// those rows back into `events` first.
std::vector<NearMiss> search_share(const EventTable& table, const Pattern& pattern, RowRange rows,
                                   std::span<Event> events, Interrupt& interrupt) {
  read_rows_back(table, pattern, rows, events, interrupt);
  std::vector<NearMiss> out = search_rows(events, table, pattern, rows, interrupt);
  // Freed here, each worker's events go back to its own heap arena rather
  // than all to the calling thread at the end.
  for (Event& event : events.subspan(rows.begin, rows.end - rows.begin)) event = Event{};
  for (NearMiss& miss : out) {
    interrupt.poll();
    renumber(miss, table.positions);
  }
  return out;
}

}  // namespace

void renumber(NearMiss& miss, std::span<const std::size_t> positions) {
  miss.start_index = positions[miss.start_index];
  for (std::size_t& index : miss.indices) index = positions[index];
  std::visit(Overloaded{
                 [&](PredicateFailed& d) { d.event_index = positions[d.event_index]; },
                 [&](AbsenceBlocked& d) {
                   d.candidate_index = positions[d.candidate_index];
                   d.blocking_index = positions[d.blocking_index];
                 },
                 [&](WindowExceeded& d) { d.candidate_index = positions[d.candidate_index]; },
                 [](NoSuccessor&) {},
             },
             miss.detail);
}

std::string_view failure_type_text(const PredicateFailure& failure) noexcept {
  switch (failure.index()) {
    case 0: return "predicate";
    case 1: return "reference";
    default: return "capture";
  }
}

std::string_view reason_text(const NearMissDetail& detail) noexcept {
  switch (detail.index()) {
    case 0: return "predicate_failed";
    case 1: return "absence_blocked";
    case 2: return "window_exceeded";
    default: return "no_successor";
  }
}

Reach deepest_path(std::span<const Event> events, std::size_t run_end, const Pattern& pattern,
                   std::size_t next_step, Reach reach) {
  const std::size_t steps = pattern.steps.size();
  if (next_step > steps) throw InternalError("step index lies within the pattern");
  if (next_step == steps) return reach;
  if (reach.path.empty()) throw InternalError("path is non-empty");
  if (!pattern.steps[next_step].transition_from_previous) {
    throw InternalError("transition exists after first step");
  }
  if (run_end > events.size()) throw InternalError("run end lies within the events");
  const std::size_t last = reach.path.back();
  if (last + 1 >= run_end) return reach;
  const BindingUse use(pattern);
  const EventTable table = EventTable::from_events(events, attributes_read(pattern));
  const PatternAtoms atoms(pattern, table);
  RunIndex rows(table, atoms);
  rows.reset(last, run_end);
  Interrupt never;
  RunSearch search(events, run_end, pattern, use, atoms, rows, next_step, never);
  const StateRef seed = search.seed(last, reach.bindings);
  search.run();
  const std::size_t known = reach.path.size();
  search.follow(seed, reach.path);
  const auto added = std::span(reach.path).subspan(known);
  reach.bindings = replay(events, pattern, added, next_step, std::move(reach.bindings));
  return reach;
}

std::vector<NearMiss> near_misses(const EventTable& table, const Pattern& pattern,
                                  const RunOptions& options) {
  check_structure(pattern);
  // A one-step pattern completes at every start.
  if (pattern.steps.size() == 1) return {};
  std::vector<Event> events(table.size());  // each share fills its own rows
  const std::vector<RowRange> shares = partition_shares(table.partitions, options.threads);
  return joined(
      pieces_of<std::vector<NearMiss>>(shares, options, [&](RowRange share, Interrupt& interrupt) {
        return search_share(table, pattern, share, events, interrupt);
      }));
}

std::vector<NearMiss> near_misses(std::span<const Event> events, const Pattern& pattern,
                                  Interrupt interrupt) {
  check_structure(pattern);
  if (pattern.steps.size() == 1) return {};
  // The events are the rows already, in the same order: the table form's
  // search without reading them back.
  const EventTable table = EventTable::from_events(events, attributes_read(pattern), interrupt);
  return search_rows(events, table, pattern, {0, table.size()}, interrupt);
}

}  // namespace kestrel
