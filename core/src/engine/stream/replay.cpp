// Incremental near misses by replaying the batch engine over a short buffer.
//
// A start's matches and near miss depend only on the events of its partition
// from the start on. So the stage keeps, per partition, the rows from its
// earliest undecided start onward, adds each batch to them, and runs the
// batch matcher and the near-miss search over that buffer; for every start
// whose rows are all present, what they report is what one call over the
// whole stream reports. It hands out only what cannot change:
//  - a match, when its last event is new (older ones went out before);
//  - a near miss, when no later event can extend a path of its start: the
//    partition's newest timestamp is past the start's by more than the
//    horizon (the sum of the pattern's windows; none without a window on
//    every step), or the stream ended. A near miss whose reason would be
//    "no successor" waits longer, with its path rows: the next event of the
//    awaited type would make it "window exceeded".
// A start is decided once it can yield nothing more: its horizon passed,
// its one first-successor match came, or its near miss was settled. Rows
// before a partition's first undecided start are dropped unless a waiting
// near miss names them, so memory follows the undecided starts, not the
// length of the stream.
//
// Cost per push: rebuilding the buffer table, O(n log n) in buffer plus
// batch for the sort, then the batch engine over it. The rebuild interns
// the texts afresh, so the text pool holds only the texts of live rows.
#include "engine/stream/replay.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "engine/explain/renumber.hpp"
#include "engine/stream/source_builder.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/matcher.hpp"

namespace kestrel {

namespace {

// How far after a start its last event can lie: the windows summed, or none
// when a step has no window. Negative windows admit no gap, so count as 0.
std::optional<std::int64_t> horizon_of(const Pattern& pattern) {
  std::int64_t sum = 0;
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    const std::optional<Transition>& transition = pattern.steps[i].transition_from_previous;
    if (!transition || !transition->max_elapsed) return std::nullopt;
    const std::int64_t window = std::max<std::int64_t>(*transition->max_elapsed, 0);
    if (__builtin_add_overflow(sum, window, &sum)) return std::nullopt;
  }
  return sum;
}

std::int64_t saturated_difference(std::int64_t a, std::int64_t b) {
  std::int64_t gap = 0;
  if (!__builtin_sub_overflow(a, b, &gap)) return gap;
  return a > b ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

// The row holding each stream position.
class RowFinder {
 public:
  explicit RowFinder(const EventSource& source) : source_(source), row_of_(source.table.size()) {
    const std::vector<std::size_t>& positions = source.table.positions;
    for (std::size_t row = 0; row < positions.size(); ++row) row_of_[positions[row]] = row;
  }
  std::size_t row(std::size_t stream_position) const {
    return row_of_[input_position(source_, stream_position)];
  }

 private:
  const EventSource& source_;
  std::vector<std::size_t> row_of_;
};

// Each partition's newest timestamp, by partition id. A partition's newest
// row is in the table whenever one of its starts is undecided: the rows kept
// run from that start to the partition's end.
std::vector<std::int64_t> newest_by_partition(const EventTable& table) {
  std::vector<std::int64_t> newest(table.texts.size(), std::numeric_limits<std::int64_t>::min());
  for (std::size_t row = 0; row < table.size(); ++row) {
    newest[table.partitions[row]] = std::max(newest[table.partitions[row]], table.timestamps[row]);
  }
  return newest;
}

// The rows at the given stream positions, in ascending order.
std::vector<std::size_t> rows_at(const EventSource& source, std::vector<std::size_t> positions) {
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  const RowFinder finder(source);
  for (std::size_t& position : positions) position = finder.row(position);
  return positions;
}

}  // namespace

Replay::Replay(Pattern pattern)
    : first_step_{{pattern.steps.at(0)}, MatchConsumption::FirstSuccessorPerStart},
      horizon_(horizon_of(pattern)) {
  pattern_ = std::move(pattern);
}

StreamOutput Replay::push(const Arrivals& arrivals, const Columns& columns, Interrupt& interrupt) {
  std::vector<bool> is_new;
  EventSource source = merged(arrivals, columns, is_new, interrupt);
  std::vector<Match> matches = decide(source, is_new, interrupt);
  std::vector<std::size_t> named;
  for (const Match& match : matches)
    named.insert(named.end(), match.indices.begin(), match.indices.end());
  EventSource rows = rows_of(source, rows_at(source, std::move(named)), interrupt);
  return StreamOutput{std::move(rows), std::move(matches), {}};
}

StreamOutput Replay::take_near_misses(Interrupt& interrupt) {
  std::vector<NearMiss> misses = std::move(ready_);
  ready_.clear();
  std::sort(misses.begin(), misses.end(),
            [](const NearMiss& a, const NearMiss& b) { return a.start_index < b.start_index; });
  std::vector<std::size_t> named;
  for (const NearMiss& miss : misses)
    named.insert(named.end(), miss.indices.begin(), miss.indices.end());
  EventSource rows = rows_of(buffer_, rows_at(buffer_, std::move(named)), interrupt);
  if (ended_) buffer_ = rows_of(buffer_, {}, interrupt);
  return StreamOutput{std::move(rows), {}, std::move(misses)};
}

void Replay::end(Interrupt& interrupt) {
  if (ended_) return;
  ended_ = true;
  EventSource source = std::move(buffer_);
  decide(source, std::vector<bool>(source.table.size()), interrupt);
  for (Waiting& wait : waiting_) ready_.push_back(std::move(wait.miss));
  waiting_.clear();
}

// The buffer's rows and the arrivals, in stream order, which a source's
// input positions must follow; `is_new` tells the arrivals by input
// position. Held-back rows may come after later rows of other partitions,
// so the two are sorted together when they interleave.
EventSource Replay::merged(const Arrivals& arrivals, const Columns& columns,
                           std::vector<bool>& is_new, Interrupt& interrupt) const {
  SourceBuilder builder = held_then_arrivals(buffer_, arrivals, columns, interrupt);
  const std::size_t held = buffer_.table.size();
  const std::vector<std::size_t>& stream = builder.source().stream_positions;
  std::vector<std::size_t> order(stream.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return stream[a] < stream[b]; });
  is_new.resize(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) is_new[i] = order[i] >= held;
  if (std::is_sorted(stream.begin(), stream.end())) return std::move(builder).sorted(interrupt);
  return rows_of(builder.source(), order, interrupt);
}

bool Replay::horizon_passed(const EventTable& table, const std::vector<std::int64_t>& newest_of,
                            std::size_t row) const {
  std::int64_t reach = 0;
  return ended_ || (horizon_ && !__builtin_add_overflow(table.timestamps[row], *horizon_, &reach) &&
                    reach < newest_of[table.partitions[row]]);
}

// A waiting near miss becomes "window exceeded" at the first new event of
// its partition and awaited type.
void Replay::settle_waiting(const EventSource& source, const std::vector<bool>& is_new) {
  if (waiting_.empty()) return;
  const EventTable& table = source.table;
  const auto key = [](TextId partition, TextId type) {
    return (static_cast<std::uint64_t>(partition) << 32) | type;
  };
  // Rows are in canonical order, so the first one seen is the first.
  std::unordered_map<std::uint64_t, std::size_t> first_row;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (is_new[table.positions[row]]) {
      first_row.try_emplace(key(table.partitions[row], table.types[row]), row);
    }
  }
  std::vector<Waiting> still;
  for (Waiting& wait : waiting_) {
    const std::optional<TextId> partition = table.texts.find(wait.miss.partition);
    const std::optional<TextId> type = table.texts.find(wait.miss.next_event_type);
    const auto found = partition && type ? first_row.find(key(*partition, *type)) : first_row.end();
    if (found == first_row.end()) {
      still.push_back(std::move(wait));
      continue;
    }
    const std::size_t row = found->second;
    wait.miss.detail =
        WindowExceeded{source.stream_positions[table.positions[row]],
                       saturated_difference(table.timestamps[row], wait.last_ts), wait.window};
    ready_.push_back(std::move(wait.miss));
  }
  waiting_ = std::move(still);
}

// Matches to hand out; settles near misses into `ready_` or `waiting_`, and
// cuts the buffer down to what undecided starts and unsent near misses need.
std::vector<Match> Replay::decide(EventSource& source, const std::vector<bool>& is_new,
                                  Interrupt& interrupt) {
  const EventTable& table = source.table;
  const std::vector<std::size_t>& stream = source.stream_positions;
  settle_waiting(source, is_new);

  std::unordered_set<std::size_t> decided_now;
  std::vector<Match> out;
  for (Match& match : compiled_matches(table, pattern_, RunOptions{1, interrupt.question()})) {
    const bool completed_now = is_new[match.indices.back()];
    for (std::size_t& index : match.indices) index = stream[index];
    const std::size_t start = match.indices.front();
    if (decided_.contains(start) || !completed_now) continue;
    if (pattern_.consumption == MatchConsumption::FirstSuccessorPerStart) decided_now.insert(start);
    out.push_back(std::move(match));
  }
  std::sort(out.begin(), out.end(),
            [](const Match& a, const Match& b) { return a.indices < b.indices; });
  const std::vector<std::int64_t> newest_of = newest_by_partition(table);
  for (const std::size_t start : settle_near_misses(source, newest_of, interrupt)) {
    decided_now.insert(start);
  }
  keep_undecided(source, newest_of, decided_now, interrupt);
  return out;
}

// Puts the near misses whose horizon passed in `ready_` or `waiting_`;
// returns their starts.
std::vector<std::size_t> Replay::settle_near_misses(const EventSource& source,
                                                    const std::vector<std::int64_t>& newest_of,
                                                    Interrupt& interrupt) {
  const EventTable& table = source.table;
  const RowFinder finder(source);
  std::vector<std::size_t> settled;
  for (NearMiss& miss : near_misses(table, pattern_, RunOptions{1, interrupt.question()})) {
    renumber(miss, source.stream_positions);
    if (decided_.contains(miss.start_index) ||
        !horizon_passed(table, newest_of, finder.row(miss.start_index))) {
      continue;
    }
    settled.push_back(miss.start_index);
    if (!ended_ && std::holds_alternative<NoSuccessor>(miss.detail)) {
      const std::int64_t last_ts = table.timestamps[finder.row(miss.indices.back())];
      const std::int64_t window =
          *pattern_.steps[miss.next_step].transition_from_previous->max_elapsed;
      waiting_.push_back({std::move(miss), last_ts, window});
    } else {
      ready_.push_back(std::move(miss));
    }
  }
  return settled;
}

// Keeps each partition's rows from its first undecided start, and the rows
// that unsent near misses name.
void Replay::keep_undecided(const EventSource& source, const std::vector<std::int64_t>& newest_of,
                            const std::unordered_set<std::size_t>& decided_now,
                            Interrupt& interrupt) {
  const EventTable& table = source.table;
  const std::vector<std::size_t>& stream = source.stream_positions;
  const RowFinder finder(source);
  std::vector<bool> keep(table.size());
  std::vector<bool> is_start(table.size());
  for (const Match& start :
       compiled_matches(table, first_step_, RunOptions{1, interrupt.question()})) {
    is_start[finder.row(stream[start.indices.front()])] = true;
  }
  std::vector<bool> settled(table.size());
  undecided_ = 0;
  for (std::size_t row = 0, run = 0; row < table.size(); ++row) {
    interrupt.poll();
    if (row > 0 && table.partitions[row] != table.partitions[row - 1]) run = row;
    if (row > run && keep[row - 1]) keep[row] = true;
    if (!is_start[row]) continue;
    const std::size_t position = stream[table.positions[row]];
    settled[row] = decided_.contains(position) || decided_now.contains(position) ||
                   horizon_passed(table, newest_of, row);
    if (!settled[row]) {
      keep[row] = true;
      ++undecided_;
    }
  }
  const auto pin = [&](const NearMiss& miss) {
    for (const std::size_t index : miss.indices) keep[finder.row(index)] = true;
  };
  for (const NearMiss& miss : ready_) pin(miss);
  for (const Waiting& wait : waiting_) pin(wait.miss);
  // A decided start stays decided while its row is kept, pinned or not.
  std::unordered_set<std::size_t> still_decided;
  std::vector<std::size_t> kept;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (!keep[row]) continue;
    kept.push_back(row);
    if (settled[row]) still_decided.insert(stream[table.positions[row]]);
  }
  std::sort(kept.begin(), kept.end(), [&](std::size_t a, std::size_t b) {
    return stream[table.positions[a]] < stream[table.positions[b]];
  });
  buffer_ = rows_of(source, kept, interrupt);
  decided_ = std::move(still_decided);
}

}  // namespace kestrel
