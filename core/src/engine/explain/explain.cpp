// Near-miss search.
//
// Taken literally, the search tries every viable path of every start, which
// grows exponentially with the pattern. But the best way to extend a partial
// path depends only on the step to match next, the path's last event and its
// bindings; together these form a state. Within one partition run the search
// therefore works on the graph of reachable states, level by level (a level
// is the number of steps matched), with bound slots interned to small ids.
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
// The graph lives in state_graph.hpp, the two passes over it in
// run_search.cpp and the compiled atoms in pattern_atoms.hpp; this file
// seeds each run and classifies its near misses.
//
// A state keeps only the slots that its remaining steps can read, so that
// values captured just to be reported do not split states apart; the full
// bindings of a path are rebuilt by taking its steps again.
//
// Atoms are evaluated on the table itself, compiled as the matcher's are
// (table_atom.hpp): types, texts and attribute names are ids, and bindings
// live in slots of cells. The index's rows have passed an atom's type and
// event clauses already, so a candidate is tested on the clauses that read
// the slots alone. Values are made of cells only when a record is written:
// its captures and the failing clauses of its reason. The table form maps
// rows to their positions at the end; the span form builds a table whose
// rows are its events, positions and all.
//
// Over several threads, each takes a share of whole partition runs
// (runtime/shares.hpp), searches its runs and maps its records to positions.
// Runs are searched independently and records come in row order, so the
// shares' records joined in share order are the one-thread records. The
// atoms are compiled once and shared; each worker builds its own run index.

#include "kestrel/explain.hpp"

#include <utility>

#include "engine/atoms/table_atom.hpp"
#include "engine/explain/deepest_path.hpp"
#include "engine/explain/near_miss_record.hpp"
#include "engine/explain/pattern_atoms.hpp"
#include "engine/explain/renumber.hpp"
#include "engine/explain/run_index.hpp"
#include "engine/explain/run_search.hpp"
#include "kestrel/event_table.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

// The near misses of whole partition runs of one table, each run searched
// on its own, with rows for indices.
class RunExplainer {
 public:
  RunExplainer(const EventTable& table, const Pattern& pattern, const PatternAtoms& atoms,
               Interrupt& interrupt)
      : table_(table),
        view_(table),
        pattern_(pattern),
        atoms_(atoms),
        rows_(table, atoms),
        interrupt_(interrupt) {}

  // Appends the records of the run's starts, in ascending row order.
  void explain(RowRange run, std::vector<NearMiss>& out) {
    rows_.reset(run.begin, run.end);
    RunSearch search(table_, run.end, pattern_, atoms_, rows_, 1, interrupt_);
    std::vector<Start> starts = seed(search);
    if (starts.empty()) return;
    search.run();
    for (const Start& start : starts) {
      interrupt_.poll();
      if (search.depth(start.state) == pattern_.steps.size()) continue;
      out.push_back(record(search, start));
    }
  }

 private:
  struct Start {
    std::size_t row;
    StateRef state;
  };

  // Every row the first atom accepts starts a path.
  std::vector<Start> seed(RunSearch& search) {
    const TableAtom& first = atoms_.steps.front();
    const Slots unbound;
    std::vector<Start> starts;
    for (const std::size_t row : rows_.candidates(first, unbound)) {
      interrupt_.poll();
      if (!first.passes_slot_clauses(view_, row, unbound)) continue;
      Slots slots;
      first.bind(view_, row, slots);
      starts.push_back(Start{row, search.seed(row, std::move(slots))});
    }
    return starts;
  }

  NearMiss record(const RunSearch& search, const Start& start) {
    std::vector<std::size_t> path{start.row};
    search.follow(start.state, path);
    NearMissDetail detail = classify(path);
    return near_miss_of(view_, pattern_, atoms_, std::move(path), std::move(detail));
  }

  // Why no row after the path's last takes its next step. Only the first
  // later row of the awaited type counts: a later one is no nearer to the
  // window, and the first forbidden row before it stands before every later
  // one too.
  NearMissDetail classify(const std::vector<std::size_t>& path) {
    const std::size_t level = path.size();
    const std::size_t last = path.back();
    const std::optional<TextId> type = atoms_.types[level];
    if (!type) return NoSuccessor{};
    const std::span<const std::size_t> of_type = rows_.rows_of_type(*type);
    const std::size_t* candidate = first_at_or_after(of_type, last + 1);
    if (candidate == of_type.data() + of_type.size()) return NoSuccessor{};
    const std::size_t c = *candidate;
    Slots slots;
    replay_path(view_, atoms_, path, 0, slots);
    const std::size_t blocker =
        beyond_window(table_, pattern_, level, last, c)
            ? kNone
            : first_forbidden(view_, rows_, atoms_.absence[level], last + 1, c, slots, interrupt_);
    return reason_at(view_, pattern_, atoms_, level, last, c, blocker, slots);
  }

  const EventTable& table_;
  TableView view_;
  const Pattern& pattern_;
  const PatternAtoms& atoms_;
  RunIndex rows_;
  Interrupt& interrupt_;
};

// The near misses of the runs in `rows`, whole partition runs, with rows for
// indices, in ascending order of their start's row.
std::vector<NearMiss> search_rows(const EventTable& table, const Pattern& pattern,
                                  const PatternAtoms& atoms, RowRange rows, Interrupt& interrupt) {
  std::vector<NearMiss> out;
  RunExplainer explainer(table, pattern, atoms, interrupt);
  for (std::size_t begin = rows.begin; begin < rows.end;) {
    std::size_t end = begin + 1;
    while (end < rows.end && table.partitions[end] == table.partitions[begin]) ++end;
    explainer.explain({begin, end}, out);
    begin = end;
  }
  return out;
}

// The cell of a bound value, read against the table's texts: a text the
// table never holds equals no cell.
Cell cell_of_bound(const EventTable& table, const Value& value) {
  switch (kind_of(value)) {
    case ValueKind::String:
      return Cell::of_text(table.texts.find(std::get<std::string>(value)).value_or(kForeignText));
    case ValueKind::Int: return Cell::of_int(std::get<std::int64_t>(value));
    case ValueKind::Float: return Cell::of_float(std::get<double>(value));
    case ValueKind::Bool: return Cell::of_bool(std::get<bool>(value));
    case ValueKind::Null: break;
  }
  return Cell::null();
}

}  // namespace

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
  const EventTable table = EventTable::from_events(events, attributes_read(pattern));
  // The starting bindings are bound before the step, whatever earlier steps bind.
  std::vector<std::string> bound;
  Slots slots;  // the starting bindings, then the path's too
  for (const auto& [name, value] : reach.bindings) {
    bound.push_back(name);
    slots.push_back(cell_of_bound(table, value));
  }
  const PatternAtoms atoms(pattern, table, next_step, std::move(bound));
  RunIndex rows(table, atoms);
  rows.reset(last, run_end);
  Interrupt never;
  RunSearch search(table, run_end, pattern, atoms, rows, next_step, never);
  Slots seed;
  seed.append(slots.begin(), slots.end());
  const StateRef state = search.seed(last, std::move(seed));
  search.run();
  const std::size_t known = reach.path.size();
  search.follow(state, reach.path);
  replay_path(TableView(table), atoms, std::span(reach.path).subspan(known), next_step, slots);
  reach.bindings = atoms.slots.captured(table, slots, std::move(reach.bindings));
  return reach;
}

std::vector<NearMiss> near_misses(const EventTable& table, const Pattern& pattern,
                                  const RunOptions& options) {
  check_structure(pattern);
  // A one-step pattern completes at every start.
  if (pattern.steps.size() == 1) return {};
  const PatternAtoms atoms(pattern, table);
  const std::vector<RowRange> shares =
      partition_shares(table.partitions, options.threads_for(table.size()));
  return joined(
      pieces_of<std::vector<NearMiss>>(shares, options, [&](RowRange share, Interrupt& interrupt) {
        std::vector<NearMiss> out = search_rows(table, pattern, atoms, share, interrupt);
        for (NearMiss& miss : out) {
          interrupt.poll();
          renumber(miss, table.positions);
        }
        return out;
      }));
}

std::vector<NearMiss> near_misses(std::span<const Event> events, const Pattern& pattern,
                                  Interrupt interrupt) {
  check_structure(pattern);
  if (pattern.steps.size() == 1) return {};
  // Row i holds events[i], so rows are the indices already.
  const EventTable table = EventTable::from_events(events, attributes_read(pattern), interrupt);
  const PatternAtoms atoms(pattern, table);
  return search_rows(table, pattern, atoms, {0, table.size()}, interrupt);
}

}  // namespace kestrel
