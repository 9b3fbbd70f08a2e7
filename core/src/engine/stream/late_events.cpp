// Lateness is judged in arrival order, so a batch is walked by input
// position, each partition's newest looked up once per batch, by its text,
// in a pool of the partitions seen.
#include "engine/stream/late_events.hpp"

#include <algorithm>
#include <optional>

namespace kestrel {

Result<LateCheck::Taken> LateCheck::take(const EventSource& batch, std::size_t first_position) {
  const EventTable& table = batch.table;
  std::vector<std::size_t> row_of(table.size());
  for (std::size_t row = 0; row < table.size(); ++row) row_of[table.positions[row]] = row;
  std::vector<std::optional<std::int64_t>> latest(table.texts.size());
  std::vector<bool> looked(table.texts.size());
  std::vector<bool> taken(table.size());
  Taken out;
  for (std::size_t position = 0; position < table.size(); ++position) {
    const std::size_t row = row_of[position];
    const TextId partition = table.partitions[row];
    if (!looked[partition]) {
      looked[partition] = true;
      if (const auto known = partitions_.find(table.texts.text(partition))) {
        latest[partition] = newest_[*known];
      }
    }
    const std::int64_t ts = table.timestamps[row];
    if (latest[partition] && too_late(ts, *latest[partition])) {
      if (policy_ == LateEvents::Drop) {
        ++out.dropped;
        continue;
      }
      return error_naming("late event at stream position ", ErrorNumber::Counts::StreamPositions,
                          first_position + position, ErrorKind::LateEvent) +
             ": partition '" + std::string(table.texts.text(partition)) + "' is at timestamp " +
             std::to_string(*latest[partition]) + ", the event at " + std::to_string(ts) +
             (lateness_ == 0 ? "; each partition's events must come in time order"
                             : "; events may come at most " + std::to_string(lateness_) +
                                   " before their partition's newest");
    }
    latest[partition] = std::max(ts, latest[partition].value_or(ts));
    taken[row] = true;
  }
  for (TextId id = 0; id < latest.size(); ++id) {
    if (!latest[id]) continue;
    const TextId known = partitions_.intern(table.texts.text(id));
    if (known == newest_.size()) newest_.emplace_back();
    newest_[known] = *latest[id];
  }
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (taken[row]) out.rows.push_back(row);
  }
  return out;
}

bool LateCheck::too_late(std::int64_t ts, std::int64_t newest) const noexcept {
  std::int64_t earliest = 0;
  return !__builtin_sub_overflow(newest, lateness_, &earliest) && ts < earliest;
}

std::optional<std::int64_t> LateCheck::earliest_to_come(std::string_view partition) const {
  const std::optional<TextId> known = partitions_.find(partition);
  std::int64_t earliest = 0;
  if (!known || __builtin_sub_overflow(newest_[*known], lateness_, &earliest)) {
    return std::nullopt;
  }
  return earliest;
}

// By name, so that equal streams save equal bytes.
void LateCheck::save(StateWriter& out) const {
  std::vector<std::pair<std::string, std::int64_t>> newest;
  for (TextId id = 0; id < newest_.size(); ++id) {
    newest.emplace_back(partitions_.text(id), newest_[id]);
  }
  std::sort(newest.begin(), newest.end());
  std::vector<std::string> names;
  std::vector<std::int64_t> times;
  for (auto& [name, ts] : newest) {
    names.push_back(std::move(name));
    times.push_back(ts);
  }
  out(names, times);
}

void LateCheck::load(StateReader& in) {
  std::vector<std::string> names;
  std::vector<std::int64_t> times;
  in(names, times);
  if (names.size() != times.size()) StateReader::fail("its partitions' timestamps are malformed");
  partitions_ = TextPool();
  newest_.clear();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (partitions_.intern(names[i]) != newest_.size()) {
      StateReader::fail("its partitions' timestamps are malformed");
    }
    newest_.push_back(times[i]);
  }
}

}  // namespace kestrel
