// The resumed matcher's checkpoint: the rows its open threads and its
// near-miss search name, as an event source in stream order, each open
// partition's threads in their steps' order, then the search's state. A thread names its rows by
// stream position and holds its bound values as values, not text ids, so that the reader rebuilds
// the table and the stores as a clean-up would, and nothing it reads can point outside them.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/stream/open_matches.hpp"

namespace kestrel {

namespace {

struct SavedThread {
  std::uint32_t step = 0;
  std::int64_t last_ts = 0;
  std::vector<std::size_t> rows;  // stream positions
  std::vector<std::optional<Value>> slots;
};

struct SavedPartition {
  std::string partition;
  std::vector<SavedThread> threads;
};

void describe(auto& io, Is<SavedThread> auto& t) { io(t.step, t.last_ts, t.rows, t.slots); }
void describe(auto& io, Is<SavedPartition> auto& p) { io(p.partition, p.threads); }

// The row of the stream position in `source`, which must hold it.
std::size_t row_at(const EventSource& source, const std::vector<std::size_t>& row_of_input,
                   std::size_t position) {
  const std::vector<std::size_t>& held = source.stream_positions;
  const auto found = std::lower_bound(held.begin(), held.end(), position);
  if (found == held.end() || *found != position) {
    StateReader::fail("its open matches name rows it does not hold");
  }
  return row_of_input[static_cast<std::size_t>(found - held.begin())];
}

// The slots a thread waiting for step `step` holds: the names its steps bound.
std::size_t slots_before(const CompiledPattern& pattern, std::uint32_t step) {
  std::size_t slots = 0;
  for (std::uint32_t k = 0; k < step; ++k) slots += pattern.steps()[k].atom.binds.size();
  return slots;
}

}  // namespace

void OpenMatches::save(StateWriter& out) const {
  const EventSource& table = held();
  std::vector<std::size_t> live = live_rows();
  std::sort(live.begin(), live.end(), [&](std::size_t a, std::size_t b) {
    return table.stream_positions[a] < table.stream_positions[b];
  });
  Interrupt never;
  const EventSource rows = rows_of(table, live, never);
  std::vector<SavedPartition> partitions;
  std::unordered_map<TextId, std::size_t> saved_at;
  for_each_open_thread([&](TextId partition, const Thread& thread) {
    const auto [at, added] = saved_at.try_emplace(partition, partitions.size());
    if (added) partitions.push_back({std::string(table.table.texts.text(partition)), {}});
    SavedThread& saved = partitions[at->second].threads.emplace_back();
    saved.step = thread.step;
    saved.last_ts = thread.last_ts;
    for (const std::size_t row : thread.rows) saved.rows.push_back(table.stream_positions[row]);
    for (const Cell& slot : thread.slots) saved.slots.push_back(table.table.value_of(slot));
  });
  out(ended_, rows, partitions);
  if (starts_) {
    starts_->save(out, table.table, [&](std::size_t row) { return table.stream_positions[row]; });
  }
}

void OpenMatches::load(StateReader& in) {
  EventSource saved;
  std::vector<SavedPartition> partitions;
  in(ended_, saved, partitions);
  SourceBuilder fresh = seeded_rows(seed_, Columns{saved.time, saved.carried});
  std::vector<std::size_t> rows(saved.table.size()), row_of_input(saved.table.size());
  for (std::size_t row = 0; row < rows.size(); ++row) {
    rows[row] = row;
    row_of_input[saved.table.positions[row]] = row;
  }
  Interrupt never;
  fresh.add_rows(
      saved, rows,
      [&](std::size_t row) { return saved.stream_positions[saved.table.positions[row]]; }, never);
  EventTable& table = fresh.source().table;
  partitions_.clear();
  for (const SavedPartition& partition : partitions) {
    const TextId id = table.texts.intern(partition.partition);
    ThreadStore& store =
        partitions_.try_emplace(id, ThreadStore(compiled_, TextKeys::Hashed)).first->second;
    for (const SavedThread& saved_thread : partition.threads) {
      if (saved_thread.step == 0 || saved_thread.step >= compiled_.steps().size() ||
          saved_thread.rows.size() != saved_thread.step ||
          saved_thread.slots.size() != slots_before(compiled_, saved_thread.step)) {
        StateReader::fail("its open matches are malformed");
      }
      const ThreadId copy = store.make();
      Thread& thread = store.thread(copy);
      for (const std::size_t position : saved_thread.rows) {
        const std::size_t row = row_at(saved, row_of_input, position);
        if (table.partitions[row] != id) StateReader::fail("its open matches are malformed");
        thread.rows.push_back(row);
      }
      for (const std::optional<Value>& slot : saved_thread.slots) {
        thread.slots.push_back(slot ? table.cell_of(*slot) : Cell{});
      }
      thread.last_ts = saved_thread.last_ts;
      thread.step = saved_thread.step;
      store.join(copy);
    }
    if (store.open() == 0) partitions_.erase(id);
  }
  if (starts_) {
    starts_->load(in, table,
                  [&](std::size_t position) { return row_at(saved, row_of_input, position); });
  }
  rows_ = std::move(fresh);
  texts_after_rebuild_ = held().table.texts.size();
}

}  // namespace kestrel
