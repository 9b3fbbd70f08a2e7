// The stream's stage: the matcher itself, keeping each partition's open
// partial matches between pushes, and when it explains, the near-miss
// search that goes along with it (open_starts.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>

#include "engine/match/compiled_pattern.hpp"
#include "engine/match/thread_store.hpp"
#include "engine/stream/open_starts.hpp"
#include "engine/stream/source_builder.hpp"
#include "engine/stream/stream_stage.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

class OpenMatches final : public StreamStage {
 public:
  OpenMatches(const Pattern& pattern, bool explain);
  OpenMatches(const OpenMatches&) = delete;  // the stores point into the compiled pattern
  OpenMatches& operator=(const OpenMatches&) = delete;

  StreamOutput push(const Arrivals& arrivals, const Columns& columns,
                    Interrupt& interrupt) override;
  StreamOutput take_near_misses(Interrupt& interrupt) override;
  void end(Interrupt& interrupt) override;
  void save(StateWriter& out) const override;
  void load(StateReader& in) override;
  const EventSource& held() const noexcept override { return rows_.source(); }
  std::size_t open_matches() const noexcept override;

 private:
  void scan(std::size_t first_new, Interrupt& interrupt, std::vector<Match>& matches);
  // An empty table of the stream's rows, holding the pattern's texts and attributes.
  static SourceBuilder seeded_rows(const EventTable& seed, const Columns& columns);
  std::vector<std::size_t> live_rows() const;
  template <class Visit>
  void for_each_named_row(Visit visit);
  void drop_dead_rows();
  void forget_dead_rows();
  void rebuild(const Columns& columns, Interrupt& interrupt);
  std::size_t rows_bound() const noexcept;

  // Visits each open thread, by partition and step, in its step's order.
  template <class Visit>
  void for_each_open_thread(Visit visit) {
    for (auto& [partition, store] : partitions_) {
      for (std::uint32_t k = 0; k < compiled_.steps().size(); ++k) {
        store.for_each_in_step(k, [&](ThreadId id) { visit(partition, store.thread(id)); });
      }
    }
  }
  template <class Visit>
  void for_each_open_thread(Visit visit) const {
    for (const auto& [partition, store] : partitions_) {
      for (std::uint32_t k = 0; k < compiled_.steps().size(); ++k) {
        store.for_each_in_step(k, [&](ThreadId id) { visit(partition, store.thread(id)); });
      }
    }
  }

  EventTable seed_;  // the pattern's texts and attributes, as compiled
  CompiledPattern compiled_;
  SourceBuilder rows_;  // rows the open threads may name, and the last batch's
  // Only partitions with open partial matches, by partition id in `rows_`.
  std::unordered_map<TextId, ThreadStore> partitions_;
  ThreadStore spare_;                   // for a partition that holds nothing yet
  std::unique_ptr<OpenStarts> starts_;  // when it explains a pattern of two steps or more
  std::size_t texts_after_rebuild_ = 0;
  bool ended_ = false;
};

}  // namespace kestrel
