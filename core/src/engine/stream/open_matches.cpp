// Matching without a replay: the batch matcher's scan, resumed, and when the
// stream explains, the forward near-miss search beside it (open_starts.cpp).
//
// A batch call scans each partition run with a thread store that starts
// empty; here a partition's store is kept between pushes, so each batch's
// run of a partition continues where the last one stopped, and a push costs
// the scan of its own rows, whatever was pushed before. A match is handed
// out when its last event arrives, which is when the scan completes it.
//
// Threads name their rows by row number in one table of the stream's rows,
// whose texts are interned in one pool seeded with the pattern's texts, so
// the pattern is compiled once and a thread's bound values stay comparable
// with every later batch. Each batch is appended to that table in canonical
// order, which makes its partitions' rows runs. The table keeps only the
// rows open threads name: once it holds more than twice what they can name,
// plus a slack, the other rows go and the threads' row numbers are
// renumbered in place. The pool only grows meanwhile; once it holds twice
// the texts it had after its last rebuild, plus a slack, the table is
// rebuilt from the live rows with a fresh pool, each store rebuilt with its
// threads re-linked in order, since text ids are their keys. Each clean-up
// costs the open threads' rows (and stores), and at least as many rows or
// texts came since the last, so the cost is linear overall; memory follows
// the open partial matches, and a partition with none holds nothing. Stores
// hash their text keys (TextKeys::Hashed), so that each one's memory
// follows its own keys, not the pool's size.
#include "engine/stream/open_matches.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/match/scan.hpp"
#include "kestrel/error.hpp"

namespace kestrel {

namespace {

// Rows held past twice what the open threads can name before the rest go,
// and texts past twice the last rebuild's before the pool is rebuilt. The
// texts' slack is large because a batch's texts are the working set: many
// active partitions would otherwise rebuild the pool on every push.
constexpr std::size_t kSlackRows = 1024;
constexpr std::size_t kSlackTexts = std::size_t{1} << 16;

EventTable seed_of(const Pattern& pattern) {
  EventTable seed;
  const auto note_atom = [&](const Atom& atom) {
    seed.texts.intern(atom.event_type);
    for (const Predicate& predicate : atom.predicates) {
      if (const auto* text = std::get_if<std::string>(&predicate.value)) seed.texts.intern(*text);
    }
  };
  for (const Step& step : pattern.steps) {
    note_atom(step.atom);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) note_atom(atom);
    }
  }
  for (const std::string& name : attributes_read(pattern)) {
    seed.attribute_names.push_back(seed.texts.intern(name));
    seed.columns.emplace_back();
  }
  return seed;
}

}  // namespace

SourceBuilder OpenMatches::seeded_rows(const EventTable& seed, const Columns& columns) {
  SourceBuilder rows(columns.time, columns.carried);
  rows.seed(seed);
  return rows;
}

OpenMatches::OpenMatches(const Pattern& pattern, bool explain)
    : seed_(seed_of(pattern)),
      compiled_(pattern, seed_),
      rows_(seeded_rows(seed_, Columns{})),
      spare_(compiled_, TextKeys::Hashed) {
  // A one-step pattern completes at every start.
  if (explain && pattern.steps.size() > 1) starts_ = std::make_unique<OpenStarts>(pattern, seed_);
}

std::size_t OpenMatches::open_matches() const noexcept {
  std::size_t open = 0;
  for (const auto& [partition, store] : partitions_) open += store.open();
  return open;
}

StreamOutput OpenMatches::push(const Arrivals& arrivals, const Columns& columns,
                               Interrupt& interrupt) {
  if (!(columns == Columns{held().time, held().carried})) rebuild(columns, interrupt);
  const std::size_t first_new = held().table.size();
  rows_.add_rows(
      arrivals.source, arrivals.rows, [&](std::size_t row) { return arrivals.position(row); },
      interrupt);
  std::vector<Match> matches;
  scan(first_new, interrupt, matches);
  std::vector<std::size_t> named;
  for (const Match& match : matches)
    named.insert(named.end(), match.indices.begin(), match.indices.end());
  const std::vector<std::size_t>& stream = held().stream_positions;
  std::sort(named.begin(), named.end(),
            [&](std::size_t a, std::size_t b) { return stream[a] < stream[b]; });
  named.erase(std::unique(named.begin(), named.end()), named.end());
  EventSource rows = rows_of(held(), named, interrupt);
  for (Match& match : matches) {
    for (std::size_t& index : match.indices) index = stream[index];
  }
  std::sort(matches.begin(), matches.end(),
            [](const Match& a, const Match& b) { return a.indices < b.indices; });
  if (held().table.size() > 2 * rows_bound() + kSlackRows) drop_dead_rows();
  if (held().table.texts.size() > 2 * texts_after_rebuild_ + kSlackTexts) {
    rebuild(columns, interrupt);
  }
  return StreamOutput{std::move(rows), std::move(matches), {}};
}

// Each new partition run continues its partition's open threads; a store
// left with none is let go.
void OpenMatches::scan(std::size_t first_new, Interrupt& interrupt, std::vector<Match>& matches) {
  const EventTable& table = held().table;
  Scan scan(compiled_, table, SIZE_MAX, interrupt);
  for_each_partition_run(table.partitions, RowRange{first_new, table.size()}, [&](RowRange run) {
    const TextId partition = table.partitions[run.begin];
    const auto kept = partitions_.find(partition);
    ThreadStore& store = kept == partitions_.end() ? spare_ : kept->second;
    scan.run_partition(run, store);
    if (starts_) starts_->scan(TableView(table), run, interrupt);
    if (kept != partitions_.end()) {
      if (store.open() == 0) partitions_.erase(kept);
    } else if (store.open() > 0) {
      partitions_.emplace(partition, std::move(spare_));
      spare_ = ThreadStore(compiled_, TextKeys::Hashed);
    } else {
      spare_.clear();
    }
  });
  matches = scan.take();
}

StreamOutput OpenMatches::take_near_misses(Interrupt& interrupt) {
  if (!starts_) return StreamOutput{rows_of(held(), {}, interrupt), {}, {}};
  std::vector<NearMiss> misses = starts_->take();
  const std::vector<std::size_t>& stream = held().stream_positions;
  std::vector<std::size_t> named;
  for (NearMiss& miss : misses) {
    for_each_index(miss, [&](std::size_t& row) { named.push_back(row); });
  }
  std::sort(named.begin(), named.end(),
            [&](std::size_t a, std::size_t b) { return stream[a] < stream[b]; });
  named.erase(std::unique(named.begin(), named.end()), named.end());
  EventSource rows = rows_of(held(), named, interrupt);
  for (NearMiss& miss : misses) {
    for_each_index(miss, [&](std::size_t& row) { row = stream[row]; });
  }
  std::sort(misses.begin(), misses.end(),
            [](const NearMiss& a, const NearMiss& b) { return a.start_index < b.start_index; });
  if (ended_) forget_dead_rows();
  return StreamOutput{std::move(rows), {}, std::move(misses)};
}

void OpenMatches::end(Interrupt&) {
  if (starts_) starts_->end(TableView(held().table));
  partitions_.clear();
  ended_ = true;
  forget_dead_rows();
}

// After the end: the rows records still name, or nothing at all, the texts
// included.
void OpenMatches::forget_dead_rows() {
  if (rows_bound() > 0) {
    drop_dead_rows();
  } else {
    rows_ = seeded_rows(seed_, Columns{held().time, held().carried});
  }
}

// A thread names at most one row per step it has taken.
std::size_t OpenMatches::rows_bound() const noexcept {
  const std::size_t threads = open_matches() * (compiled_.steps().size() - 1);
  return threads + (starts_ ? starts_->rows_bound() : 0);
}

// Visits, by reference, each row that an open thread or the near-miss
// search names.
template <class Visit>
void OpenMatches::for_each_named_row(Visit visit) {
  for_each_open_thread([&](TextId, Thread& thread) {
    for (std::size_t& row : thread.rows) visit(row);
  });
  if (starts_) starts_->for_each_row(visit);
}

// The rows the open threads and the near-miss search name, ascending: marked,
// then collected, which costs the held rows once rather than a sort of
// every name.
std::vector<std::size_t> OpenMatches::live_rows() const {
  std::vector<bool> named(held().table.size());
  const auto mark = [&](std::size_t row) {
    if (row >= named.size()) throw InternalError("an open match names a row the stream lacks");
    named[row] = true;
  };
  for_each_open_thread([&](TextId, const Thread& thread) {
    for (const std::size_t row : thread.rows) mark(row);
  });
  if (starts_) starts_->for_each_row(mark);
  std::vector<std::size_t> live;
  for (std::size_t row = 0; row < named.size(); ++row) {
    if (named[row]) live.push_back(row);
  }
  return live;
}

// Keeps the rows named, renumbering them; texts stay.
void OpenMatches::drop_dead_rows() {
  const std::vector<std::size_t> live = live_rows();
  std::vector<std::size_t> row_of(held().table.size());
  for (std::size_t i = 0; i < live.size(); ++i) row_of[live[i]] = i;
  for_each_named_row([&](std::size_t& row) { row = row_of[row]; });
  rows_.keep_rows(live);
}

// Rebuilds the table from the rows the open threads name, in `columns`,
// with a pool of their texts alone; each store is rebuilt, since its keys
// are text ids.
void OpenMatches::rebuild(const Columns& columns, Interrupt& interrupt) {
  const EventSource& old = held();
  const std::vector<std::size_t> live = live_rows();
  SourceBuilder fresh = seeded_rows(seed_, columns);
  fresh.add_rows(old, live, [&](std::size_t row) { return old.stream_positions[row]; }, interrupt);
  std::vector<std::size_t> row_of(old.table.size());
  for (std::size_t i = 0; i < live.size(); ++i) row_of[live[i]] = i;
  std::unordered_map<TextId, ThreadStore> partitions;
  for (auto& [partition, store] : partitions_) {
    ThreadStore& moved =
        partitions.emplace(fresh.text(partition), ThreadStore(compiled_, TextKeys::Hashed))
            .first->second;
    for (std::uint32_t k = 0; k < compiled_.steps().size(); ++k) {
      store.for_each_in_step(k, [&](ThreadId id) {
        interrupt.poll();
        const Thread& thread = store.thread(id);
        const ThreadId copy = moved.make();
        Thread& into = moved.thread(copy);
        for (const std::size_t row : thread.rows) into.rows.push_back(row_of[row]);
        for (const Cell& slot : thread.slots) {
          into.slots.push_back(slot.kind == CellKind::String ? Cell::of_text(fresh.text(slot.text))
                                                             : slot);
        }
        into.last_ts = thread.last_ts;
        into.step = thread.step;
        moved.join(copy);
      });
    }
  }
  if (starts_) {
    starts_->for_each_row([&](std::size_t& row) { row = row_of[row]; });
    starts_->retext([&](TextId text) { return fresh.text(text); });
  }
  rows_ = std::move(fresh);
  partitions_ = std::move(partitions);
  texts_after_rebuild_ = held().table.texts.size();
}

}  // namespace kestrel
