// The matches a scan found: each partition's wait in flat buffers until its
// run ends, then are sorted by path and built as Matches, in their final
// place.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/match/compiled_pattern.hpp"
#include "engine/match/thread_store.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

// Sorting moves small numbers, and each Match is built once.
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

}  // namespace kestrel
