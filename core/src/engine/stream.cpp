// Incremental matching by replaying the batch engine over a short buffer.
//
// A start's matches and near miss depend only on the events of its partition
// from the start on. So the stream keeps, per partition, the rows from its
// earliest undecided start onward, adds each batch to them, and runs the
// batch matcher and the near-miss search over that buffer; for every start
// whose rows are all present, what they report is what one call over the
// whole stream reports. The stream hands out only what cannot change:
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
#include "kestrel/stream.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "engine/explain/renumber.hpp"
#include "kestrel/matcher.hpp"
#include "model/canonical_sort.hpp"

namespace kestrel {

namespace {

constexpr TextId kUnmapped = std::numeric_limits<TextId>::max();

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

// A carried temporal column may change unit from batch to batch (timestamps
// in s then ms, date32 then date64, time32 then time64): it is written in the
// finest unit seen, its coarser values scaled up. Formats are "t", a kind
// letter, a unit letter, and for timestamps ":" and the zone.
struct TemporalUnit {
  char letter;
  std::int64_t nanoseconds;
  std::string_view name;
};

std::optional<TemporalUnit> temporal_unit(std::string_view format) {
  static constexpr std::array<TemporalUnit, 5> kUnits{{{'D', 86'400'000'000'000, "days"},
                                                       {'s', 1'000'000'000, "s"},
                                                       {'m', 1'000'000, "ms"},
                                                       {'u', 1'000, "us"},
                                                       {'n', 1, "ns"}}};
  if (format.size() < 3 || format[0] != 't' ||
      std::string_view("sDtd").find(format[1]) == std::string_view::npos) {
    return std::nullopt;
  }
  for (const TemporalUnit& unit : kUnits) {
    if (unit.letter == format[2]) return unit;
  }
  return std::nullopt;
}

// What a value in format `from` is multiplied by to be written in `to`.
std::int64_t unit_factor(std::string_view from, std::string_view to) {
  if (from == to) return 1;
  const std::optional<TemporalUnit> a = temporal_unit(from), b = temporal_unit(to);
  return a && b ? a->nanoseconds / b->nanoseconds : 1;
}

// The format both can be written in: the same, the typed one when the other
// is all null ("n"), or the finer unit of one temporal kind.
std::optional<std::string> joined_format(const std::string& a, const std::string& b) {
  if (a == b || b == "n") return a;
  if (a == "n") return b;
  const std::optional<TemporalUnit> unit_a = temporal_unit(a), unit_b = temporal_unit(b);
  if (!unit_a || !unit_b || a[1] != b[1] || a.substr(3) != b.substr(3)) return std::nullopt;
  return unit_a->nanoseconds <= unit_b->nanoseconds ? a : b;
}

// Copies rows of several sources into one table, re-interning texts, in
// stream order; `finish` puts the rows in canonical order.
class SourceBuilder {
 public:
  SourceBuilder(TimeColumn time, const std::vector<CarriedColumn>& carried_like) {
    source_.time = std::move(time);
    for (const CarriedColumn& carried : carried_like) {
      source_.carried.push_back({carried.name, carried.format, {}});
    }
  }

  void add(const EventSource& from, std::size_t row, std::size_t stream_position) {
    select(from);
    EventTable& table = source_.table;
    const EventTable& in = from.table;
    table.partitions.push_back(text(in.partitions[row]));
    table.timestamps.push_back(in.timestamps[row]);
    table.types.push_back(text(in.types[row]));
    for (std::vector<Cell>& column : table.columns) column.emplace_back();
    for (std::size_t c = 0; c < in.columns.size(); ++c) {
      table.columns[column_of_[c]].back() = cell(in.columns[c][row]);
    }
    const std::size_t position = in.positions[row];
    for (std::size_t c = 0; c < from.carried.size(); ++c) {
      source_.carried[c].values.push_back(scaled(cell(from.carried[c].values[position]), c));
    }
    source_.stream_positions.push_back(stream_position);
  }

  EventSource finish(Interrupt& interrupt) && {
    EventTable& table = source_.table;
    const std::vector<std::size_t> ranks(table.partitions.begin(), table.partitions.end());
    const std::vector<std::size_t> order =
        order_by_partition_and_time(ranks, table.timestamps, interrupt);
    permute(table.partitions, order);
    permute(table.timestamps, order);
    permute(table.types, order);
    for (std::vector<Cell>& column : table.columns) permute(column, order);
    table.positions = order;
    return std::move(source_);
  }

 private:
  template <class T>
  static void permute(std::vector<T>& values, const std::vector<std::size_t>& order) {
    std::vector<T> sorted;
    sorted.reserve(order.size());
    for (const std::size_t from : order) sorted.push_back(values[from]);
    values = std::move(sorted);
  }

  // Rows usually come in long runs from one source; the maps are per source.
  void select(const EventSource& from) {
    if (&from == selected_) return;
    selected_ = &from;
    text_of_.assign(from.table.texts.size(), kUnmapped);
    factor_of_.clear();
    for (std::size_t c = 0; c < from.carried.size(); ++c) {
      factor_of_.push_back(unit_factor(from.carried[c].format, source_.carried[c].format));
    }
    column_of_.clear();
    EventTable& table = source_.table;
    for (const TextId name : from.table.attribute_names) {
      const TextId id = text(name);
      const auto found = std::find(table.attribute_names.begin(), table.attribute_names.end(), id);
      column_of_.push_back(static_cast<std::size_t>(found - table.attribute_names.begin()));
      if (found == table.attribute_names.end()) {
        table.attribute_names.push_back(id);
        table.columns.emplace_back(table.size());
      }
    }
  }

  TextId text(TextId id) {
    if (text_of_[id] == kUnmapped)
      text_of_[id] = source_.table.texts.intern(selected_->table.texts.text(id));
    return text_of_[id];
  }

  Cell cell(const Cell& in) {
    return in.kind == CellKind::String ? Cell::of_text(text(in.text)) : in;
  }

  // Values were checked to fit before the batch was taken.
  Cell scaled(Cell in, std::size_t carried) const {
    if (factor_of_[carried] == 1 || in.kind != CellKind::Int) return in;
    if (__builtin_mul_overflow(in.integer, factor_of_[carried], &in.integer)) {
      throw InternalError("a carried value does not fit its column's unit");
    }
    return in;
  }

  EventSource source_;
  const EventSource* selected_ = nullptr;
  std::vector<TextId> text_of_;
  std::vector<std::int64_t> factor_of_;  // by carried column
  std::vector<std::size_t> column_of_;
};

// The row holding each stream position, through the input positions.
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

// A "no successor" near miss whose path can no longer grow, waiting for the
// next event of the awaited type, which would lie beyond the window.
struct Waiting {
  NearMiss miss;
  std::int64_t last_ts = 0;
  std::int64_t window = 0;
};

std::string describe(const TimeColumn& time) {
  if (time.kind == TimeColumn::Kind::Integer) return "integers";
  return "datetimes in " + time.unit + (time.timezone.empty() ? "" : " (" + time.timezone + ")");
}

// How a stream's results are written: its time column and carried columns
// (names and formats, no values).
struct Columns {
  TimeColumn time;
  std::vector<CarriedColumn> carried;
};

// Datetimes are held as nanoseconds whatever their unit, so batches in
// different units agree; results are written in the finest unit seen, which
// loses nothing of any batch.
int fineness(const std::string& unit) {
  static constexpr std::array<std::string_view, 4> kUnits{"s", "ms", "us", "ns"};
  return static_cast<int>(std::find(kUnits.begin(), kUnits.end(), unit) - kUnits.begin());
}

Result<TimeColumn> joined_time(const TimeColumn& stream, const TimeColumn& batch) {
  if (batch.kind != stream.kind ||
      (stream.kind == TimeColumn::Kind::Datetime && batch.timezone != stream.timezone)) {
    return Error{"a batch's timestamps are " + describe(batch) + ", but the stream's are " +
                 describe(stream)};
  }
  return fineness(batch.unit) > fineness(stream.unit) ? batch : stream;
}

// An all-null column has the null format "n" and takes any later type; a
// typed one takes later all-null batches; see `joined_format`.
Result<std::vector<CarriedColumn>> joined_carried(const std::vector<CarriedColumn>& stream,
                                                  const std::vector<CarriedColumn>& batch) {
  const auto refused = Error{"a batch's carried columns differ in name or type from the stream's"};
  if (stream.size() != batch.size()) return refused;
  std::vector<CarriedColumn> joined;
  for (std::size_t c = 0; c < stream.size(); ++c) {
    const CarriedColumn& old = stream[c];
    const CarriedColumn& now = batch[c];
    const std::optional<std::string> format = joined_format(old.format, now.format);
    if (old.name != now.name || !format) return refused;
    joined.push_back({old.name, *format, {}});
  }
  return joined;
}

// The first input position whose value does not fit 64 bits once scaled.
std::optional<std::size_t> first_unscalable(const std::vector<Cell>& values, std::int64_t factor) {
  if (factor == 1) return std::nullopt;
  std::int64_t product = 0;
  for (std::size_t position = 0; position < values.size(); ++position) {
    const Cell& value = values[position];
    if (value.kind == CellKind::Int && __builtin_mul_overflow(value.integer, factor, &product)) {
      return position;
    }
  }
  return std::nullopt;
}

}  // namespace

struct StreamMatcher::State {
  Pattern pattern;
  Pattern first_step;  // matches once per start
  std::optional<std::int64_t> horizon;
  StreamOptions options;
  bool ended = false;
  bool started = false;
  EventSource buffer;  // stream_positions set, rows in canonical order
  std::unordered_map<std::string, std::int64_t> newest;  // by partition
  std::unordered_set<std::size_t> decided;               // decided starts still in the buffer
  std::vector<Waiting> waiting;
  std::vector<NearMiss> ready;  // settled, not yet taken
  StreamStats stats;

  Result<std::vector<std::size_t>> accepted_rows(const EventSource& batch);
  Result<Columns> joined_columns(const EventSource& batch) const;
  Result<bool> check_scalable(const Columns& columns, const EventSource& batch) const;
  EventSource merged(const EventSource& batch, const std::vector<std::size_t>& rows,
                     const Columns& columns, Interrupt& interrupt);
  std::vector<Match> decide(EventSource& table, std::size_t first_new, Interrupt& interrupt);
  void settle_waiting(const EventSource& table, std::size_t first_new);
  EventSource rows_of(const EventSource& table, const std::vector<std::size_t>& stream_positions,
                      Interrupt& interrupt) const;
};

StreamMatcher::StreamMatcher(Pattern pattern, StreamOptions options)
    : state_(std::make_unique<State>()) {
  if (options.exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
  state_->horizon = horizon_of(pattern);
  state_->first_step = Pattern{{pattern.steps.at(0)}, MatchConsumption::FirstSuccessorPerStart};
  state_->pattern = std::move(pattern);
  state_->options = options;
}

StreamMatcher::~StreamMatcher() = default;
StreamMatcher::StreamMatcher(StreamMatcher&&) noexcept = default;
StreamMatcher& StreamMatcher::operator=(StreamMatcher&&) noexcept = default;

StreamStats StreamMatcher::stats() const noexcept {
  StreamStats stats = state_->stats;
  stats.buffered = state_->buffer.table.size();
  return stats;
}

// The columns after taking the batch, which the first batch sets; a batch
// refused for any reason leaves them as they were.
Result<Columns> StreamMatcher::State::joined_columns(const EventSource& batch) const {
  if (!started) return Columns{batch.time, joined_carried(batch.carried, batch.carried).value()};
  Result<TimeColumn> time = joined_time(buffer.time, batch.time);
  if (!time) return time.failure();
  Result<std::vector<CarriedColumn>> carried = joined_carried(buffer.carried, batch.carried);
  if (!carried) return carried.failure();
  Columns columns{std::move(time.value()), std::move(carried.value())};
  if (Result<bool> scalable = check_scalable(columns, batch); !scalable) {
    return scalable.failure();
  }
  return columns;
}

// Carried values held or pushed in a coarser unit than the columns' must
// fit 64 bits in theirs.
Result<bool> StreamMatcher::State::check_scalable(const Columns& columns,
                                                  const EventSource& batch) const {
  for (std::size_t c = 0; c < columns.carried.size(); ++c) {
    const CarriedColumn& joined = columns.carried[c];
    std::optional<std::size_t> position;
    const CarriedColumn& held = buffer.carried[c];
    const CarriedColumn& pushed = batch.carried[c];
    if (const auto at = first_unscalable(held.values, unit_factor(held.format, joined.format))) {
      position = buffer.stream_positions[*at];
    } else if (const auto in_batch =
                   first_unscalable(pushed.values, unit_factor(pushed.format, joined.format))) {
      position = stats.events + *in_batch;
    }
    if (position) {
      return error_naming("carried column `" + joined.name + "`: the value at stream position ",
                          ErrorNumber::Counts::StreamPositions, *position) +
             " does not fit 64 bits in " + std::string(temporal_unit(joined.format)->name) +
             ", the finest unit of its batches";
    }
  }
  return true;
}

// The batch's rows in input order, late ones refused or left out; the
// partitions' newest timestamps move only when the whole batch is taken.
Result<std::vector<std::size_t>> StreamMatcher::State::accepted_rows(const EventSource& batch) {
  const EventTable& table = batch.table;
  RowFinder finder(batch);
  std::vector<std::optional<std::int64_t>> latest(table.texts.size());
  std::vector<bool> looked(table.texts.size());
  std::vector<std::size_t> rows;
  std::size_t dropped = 0;
  for (std::size_t position = 0; position < table.size(); ++position) {
    const std::size_t row = finder.row(position);
    const TextId partition = table.partitions[row];
    if (!looked[partition]) {
      looked[partition] = true;
      const auto found = newest.find(std::string(table.texts.text(partition)));
      if (found != newest.end()) latest[partition] = found->second;
    }
    const std::int64_t ts = table.timestamps[row];
    if (latest[partition] && ts < *latest[partition]) {
      if (options.late == LateEvents::Drop) {
        ++dropped;
        continue;
      }
      return error_naming("late event at stream position ", ErrorNumber::Counts::StreamPositions,
                          stats.events + position, ErrorKind::LateEvent) +
             ": partition '" + std::string(table.texts.text(partition)) + "' is at timestamp " +
             std::to_string(*latest[partition]) + ", the event at " + std::to_string(ts) +
             "; each partition's events must come in time order";
    }
    latest[partition] = ts;
    rows.push_back(row);
  }
  for (TextId id = 0; id < latest.size(); ++id) {
    if (latest[id]) newest[std::string(table.texts.text(id))] = *latest[id];
  }
  stats.late_dropped += dropped;
  return rows;
}

EventSource StreamMatcher::State::merged(const EventSource& batch,
                                         const std::vector<std::size_t>& rows,
                                         const Columns& columns, Interrupt& interrupt) {
  SourceBuilder builder(columns.time, columns.carried);
  const RowFinder finder(buffer);
  for (const std::size_t position : buffer.stream_positions) {
    interrupt.poll();
    builder.add(buffer, finder.row(position), position);
  }
  // Rows are taken in input order, so their input positions give their
  // stream positions: dropped rows keep theirs.
  for (const std::size_t row : rows) {
    interrupt.poll();
    builder.add(batch, row, stats.events + batch.table.positions[row]);
  }
  return std::move(builder).finish(interrupt);
}

// A waiting near miss becomes "window exceeded" at the first new event of
// its partition and awaited type.
void StreamMatcher::State::settle_waiting(const EventSource& source, std::size_t first_new) {
  if (waiting.empty()) return;
  const EventTable& table = source.table;
  const auto key = [](TextId partition, TextId type) {
    return (static_cast<std::uint64_t>(partition) << 32) | type;
  };
  // Rows of a partition are in stream order, so the first one seen is the first.
  std::unordered_map<std::uint64_t, std::size_t> first_row;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (source.stream_positions[table.positions[row]] >= first_new) {
      first_row.try_emplace(key(table.partitions[row], table.types[row]), row);
    }
  }
  std::vector<Waiting> still;
  for (Waiting& wait : waiting) {
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
    ready.push_back(std::move(wait.miss));
  }
  waiting = std::move(still);
}

// Matches to hand out; settles near misses into `ready` or `waiting`, and
// cuts the buffer down to what undecided starts and unsent near misses need.
std::vector<Match> StreamMatcher::State::decide(EventSource& source, std::size_t first_new,
                                                Interrupt& interrupt) {
  const EventTable& table = source.table;
  const std::vector<std::size_t>& stream = source.stream_positions;
  const RowFinder finder(source);
  const RunOptions one_thread{1, interrupt.question()};
  settle_waiting(source, first_new);

  std::unordered_set<std::size_t> decided_now;
  std::vector<Match> out;
  for (Match& match : compiled_matches(table, pattern, one_thread)) {
    for (std::size_t& index : match.indices) index = stream[index];
    const std::size_t start = match.indices.front();
    if (decided.contains(start) || match.indices.back() < first_new) continue;
    if (pattern.consumption == MatchConsumption::FirstSuccessorPerStart) decided_now.insert(start);
    out.push_back(std::move(match));
  }
  std::sort(out.begin(), out.end(),
            [](const Match& a, const Match& b) { return a.indices < b.indices; });

  // A partition's newest row is in the table whenever one of its starts is
  // undecided: the rows kept run from that start to the partition's end.
  std::vector<std::int64_t> newest_of(table.texts.size(), std::numeric_limits<std::int64_t>::min());
  for (std::size_t row = 0; row < table.size(); ++row) {
    newest_of[table.partitions[row]] =
        std::max(newest_of[table.partitions[row]], table.timestamps[row]);
  }
  const auto horizon_passed = [&](std::size_t row) {
    std::int64_t reach = 0;
    return ended || (horizon && !__builtin_add_overflow(table.timestamps[row], *horizon, &reach) &&
                     reach < newest_of[table.partitions[row]]);
  };
  if (options.explain) {
    for (NearMiss& miss : near_misses(table, pattern, one_thread)) {
      renumber(miss, stream);
      const std::size_t start_row = finder.row(miss.start_index);
      if (decided.contains(miss.start_index) || !horizon_passed(start_row)) continue;
      decided_now.insert(miss.start_index);
      if (!ended && std::holds_alternative<NoSuccessor>(miss.detail)) {
        const std::size_t last_row = finder.row(miss.indices.back());
        const std::int64_t window =
            *pattern.steps[miss.next_step].transition_from_previous->max_elapsed;
        waiting.push_back({std::move(miss), table.timestamps[last_row], window});
      } else {
        ready.push_back(std::move(miss));
      }
    }
  }

  // Keep each partition's rows from its first undecided start, and the rows
  // that unsent near misses name.
  std::vector<bool> keep(table.size());
  std::vector<bool> is_start(table.size());
  for (const Match& start : compiled_matches(table, first_step, one_thread)) {
    is_start[finder.row(stream[start.indices.front()])] = true;
  }
  std::vector<bool> settled(table.size());
  for (std::size_t row = 0, run = 0; row < table.size(); ++row) {
    interrupt.poll();
    if (row > 0 && table.partitions[row] != table.partitions[row - 1]) run = row;
    if (row > run && keep[row - 1]) keep[row] = true;
    if (!is_start[row]) continue;
    const std::size_t position = stream[table.positions[row]];
    settled[row] =
        decided.contains(position) || decided_now.contains(position) || horizon_passed(row);
    if (!settled[row]) keep[row] = true;
  }
  const auto pin = [&](const NearMiss& miss) {
    for (const std::size_t index : miss.indices) keep[finder.row(index)] = true;
  };
  for (const NearMiss& miss : ready) pin(miss);
  for (const Waiting& wait : waiting) pin(wait.miss);
  // A decided start stays decided while its row is kept, pinned or not.
  std::unordered_set<std::size_t> still_decided;
  std::vector<std::size_t> kept;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (!keep[row]) continue;
    const std::size_t position = stream[table.positions[row]];
    kept.push_back(position);
    if (settled[row]) still_decided.insert(position);
  }
  std::sort(kept.begin(), kept.end());
  buffer = rows_of(source, kept, interrupt);
  decided = std::move(still_decided);
  return out;
}

// The rows at the given stream positions (ascending), as a table of their own.
EventSource StreamMatcher::State::rows_of(const EventSource& source,
                                          const std::vector<std::size_t>& stream_positions,
                                          Interrupt& interrupt) const {
  SourceBuilder builder(source.time, source.carried);
  const RowFinder finder(source);
  for (const std::size_t position : stream_positions) {
    interrupt.poll();
    builder.add(source, finder.row(position), position);
  }
  return std::move(builder).finish(interrupt);
}

namespace {

std::vector<std::size_t> named_positions(const std::vector<Match>& matches,
                                         const std::vector<NearMiss>& misses) {
  std::vector<std::size_t> positions;
  for (const Match& match : matches)
    positions.insert(positions.end(), match.indices.begin(), match.indices.end());
  for (const NearMiss& miss : misses)
    positions.insert(positions.end(), miss.indices.begin(), miss.indices.end());
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  return positions;
}

}  // namespace

Result<StreamOutput> StreamMatcher::push(const EventSource& batch, Interrupt interrupt) {
  State& s = *state_;
  if (s.ended) return Error{"the stream has ended; no events can follow flush()"};
  // An empty batch has columns of some kind, but no events to say which.
  if (batch.table.size() == 0) return StreamOutput{s.rows_of(s.buffer, {}, interrupt), {}, {}};
  Result<Columns> columns = s.joined_columns(batch);
  if (!columns) return columns.failure();
  Result<std::vector<std::size_t>> rows = s.accepted_rows(batch);
  if (!rows) return rows.failure();
  s.started = true;
  EventSource table = s.merged(batch, rows.value(), columns.value(), interrupt);
  const std::size_t first_new = s.stats.events;
  s.stats.events += batch.table.size();
  std::vector<Match> matches = s.decide(table, first_new, interrupt);
  s.stats.matches += matches.size();
  EventSource rows_named = s.rows_of(table, named_positions(matches, {}), interrupt);
  return StreamOutput{std::move(rows_named), std::move(matches), {}};
}

StreamOutput StreamMatcher::take_near_misses(Interrupt interrupt) {
  State& s = *state_;
  std::vector<NearMiss> misses = std::move(s.ready);
  s.ready.clear();
  std::sort(misses.begin(), misses.end(),
            [](const NearMiss& a, const NearMiss& b) { return a.start_index < b.start_index; });
  s.stats.near_misses += misses.size();
  EventSource rows_named = s.rows_of(s.buffer, named_positions({}, misses), interrupt);
  return StreamOutput{std::move(rows_named), {}, std::move(misses)};
}

StreamOutput StreamMatcher::flush(Interrupt interrupt) {
  State& s = *state_;
  if (!s.ended) {
    s.ended = true;
    EventSource table = std::move(s.buffer);
    s.decide(table, s.stats.events, interrupt);
    for (Waiting& wait : s.waiting) s.ready.push_back(std::move(wait.miss));
    s.waiting.clear();
  }
  StreamOutput out = take_near_misses(interrupt);
  s.buffer = s.rows_of(s.buffer, {}, interrupt);
  return out;
}

}  // namespace kestrel
