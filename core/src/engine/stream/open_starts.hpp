// The stream's near misses, found as the rows come: per partition, the
// undecided starts and their states (start_frontier.hpp), and the records
// settled but not yet taken.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/explain/renumber.hpp"
#include "engine/stream/start_frontier.hpp"
#include "kestrel/event_source.hpp"
#include "model/state_codec.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

class OpenStarts {
 public:
  // `seed` holds the pattern's texts, with the ids every table of the
  // stream gives them.
  OpenStarts(const Pattern& pattern, const EventTable& seed);

  // The rows of `run`, one partition's and new to the stream, in canonical
  // order; then settles what they decided.
  void scan(const TableView& view, RowRange run, Interrupt& interrupt);
  // Settles every start: no row follows.
  void end(const TableView& view);
  // The records settled since the last call, with rows for indices.
  std::vector<NearMiss> take() { return std::exchange(ready_, {}); }

  std::size_t open() const noexcept;
  // At least the number of rows it names.
  std::size_t rows_bound() const noexcept;

  // Visits every row it names, by reference, so it can be read or renamed.
  template <class Visit>
  void for_each_row(Visit visit) {
    for (auto& [partition, frontier] : partitions_) frontier.for_each_row(visit);
    for (NearMiss& miss : ready_) for_each_index(miss, visit);
  }
  template <class Visit>
  void for_each_row(Visit visit) const {
    for (const auto& [partition, frontier] : partitions_) frontier.for_each_row(visit);
    for (const NearMiss& miss : ready_) for_each_index(miss, visit);
  }
  // After the table's texts were interned afresh: `text` maps an old id to
  // its new one.
  template <class Text>
  void retext(Text text) {
    std::unordered_map<TextId, StartFrontier> moved;
    for (auto& [partition, frontier] : partitions_) {
      frontier.retext(text);
      moved.emplace(text(partition), std::move(frontier));
    }
    partitions_ = std::move(moved);
  }

  // Rows are written as stream positions: `position` gives a row's, and
  // `row` the row of a position, refusing one the reader does not hold.
  void save(StateWriter& out, const EventTable& table,
            const std::function<std::size_t(std::size_t)>& position) const;
  void load(StateReader& in, EventTable& table, const std::function<std::size_t(std::size_t)>& row);

 private:
  std::unique_ptr<const SearchRules> rules_;  // frontiers point to it
  std::unordered_map<TextId, StartFrontier> partitions_;
  StartFrontier spare_;  // for a partition that holds nothing yet
  std::vector<NearMiss> ready_;
};

}  // namespace kestrel
