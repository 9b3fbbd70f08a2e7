// What a stream holds: the parts stream.cpp drives and checkpoint.cpp
// saves and restores.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "engine/stream/late_events.hpp"
#include "engine/stream/open_matches.hpp"
#include "engine/stream/reorder.hpp"
#include "engine/stream/stream_columns.hpp"
#include "kestrel/stream.hpp"

namespace kestrel {

struct StreamMatcher::State {
  Pattern pattern;
  StreamOptions options;
  std::unique_ptr<StreamStage> stage;
  LateCheck late;
  std::optional<Reorder> reorder;  // with a lateness
  std::optional<Columns> columns;  // set by the first batch
  StreamStats stats;
  bool ended = false;        // no events can follow
  bool stage_ended = false;  // every start decided
  // A push, take or flush stopped half way (Ctrl-C): what the stage holds
  // is no longer what the batches taken so far leave.
  bool broken = false;

  State(Pattern pattern, const StreamOptions& options)
      : pattern(pattern),
        options(options),
        stage(std::make_unique<OpenMatches>(pattern, options.explain)),
        late(options.late, options.lateness) {
    if (options.lateness > 0) reorder.emplace();
  }

  // Hands the rows on, through the reorder buffer when there is one.
  StreamOutput pass_on(const Arrivals& arrivals, Interrupt& interrupt) {
    if (!reorder) return stage->push(arrivals, *columns, interrupt);
    const EventSource released = reorder->release(arrivals, *columns, late, interrupt);
    return push_all(released, interrupt);
  }

  StreamOutput push_all(const EventSource& released, Interrupt& interrupt) {
    std::vector<std::size_t> rows(released.table.size());
    for (std::size_t row = 0; row < rows.size(); ++row) rows[row] = row;
    return stage->push(Arrivals{released, rows, 0}, *columns, interrupt);
  }

  // Runs `work`, marking the stream broken if it does not finish.
  template <class Work>
  auto guarded(Work work) {
    broken = true;
    auto out = work();
    broken = false;
    return out;
  }
};

}  // namespace kestrel
