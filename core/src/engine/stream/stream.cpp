// The stream: checks each batch against the stream's columns and its late
// events, then hands the rows it takes to the stage that matches. Without
// near misses that is the matcher itself, resumed from push to push
// (open_matches.cpp); with them, a replay of the batch engine over the rows
// undecided starts can reach (replay.cpp).
#include "kestrel/stream.hpp"

#include <optional>
#include <utility>

#include "engine/stream/late_events.hpp"
#include "engine/stream/open_matches.hpp"
#include "engine/stream/reorder.hpp"
#include "engine/stream/replay.hpp"
#include "engine/stream/stream_columns.hpp"

namespace kestrel {

struct StreamMatcher::State {
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
      : stage(options.explain ? std::unique_ptr<StreamStage>(std::make_unique<Replay>(pattern))
                              : std::make_unique<OpenMatches>(pattern)),
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

namespace {

const Error kBroken{
    "the stream was stopped in the middle of a call and cannot go on; start a new one"};

}  // namespace

StreamMatcher::StreamMatcher(Pattern pattern, StreamOptions options) {
  if (options.exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
  state_ = std::make_unique<State>(std::move(pattern), options);
}

StreamMatcher::~StreamMatcher() = default;
StreamMatcher::StreamMatcher(StreamMatcher&&) noexcept = default;
StreamMatcher& StreamMatcher::operator=(StreamMatcher&&) noexcept = default;

StreamStats StreamMatcher::stats() const noexcept {
  StreamStats stats = state_->stats;
  stats.buffered =
      state_->stage->held().table.size() + (state_->reorder ? state_->reorder->size() : 0);
  stats.open = state_->stage->open_matches();
  return stats;
}

Result<StreamOutput> StreamMatcher::push(const EventSource& batch, Interrupt interrupt) {
  State& s = *state_;
  if (s.broken) return kBroken;
  if (s.ended) return Error{"the stream has ended; no events can follow flush()"};
  // An empty batch has columns of some kind, but no events to say which.
  if (batch.table.size() == 0) {
    return StreamOutput{rows_of(s.stage->held(), {}, interrupt), {}, {}};
  }
  Result<Columns> columns = s.columns
                                ? joined_columns(*s.columns, s.stage->held(), batch, s.stats.events)
                                : Result<Columns>(columns_of(batch));
  if (!columns) return columns.failure();
  Result<LateCheck::Taken> taken = s.late.take(batch, s.stats.events);
  if (!taken) return taken.failure();
  s.columns = std::move(columns.value());
  const Arrivals arrivals{batch, taken.value().rows, s.stats.events};
  StreamOutput out = s.guarded([&] { return s.pass_on(arrivals, interrupt); });
  s.stats.events += batch.table.size();
  s.stats.late_dropped += taken.value().dropped;
  s.stats.matches += out.matches.size();
  return out;
}

Result<StreamOutput> StreamMatcher::end(Interrupt interrupt) {
  State& s = *state_;
  if (s.broken) return kBroken;
  if (s.ended) return Error{"the stream has ended; end() returned the matches left"};
  s.ended = true;
  if (!s.reorder || !s.columns)
    return StreamOutput{rows_of(s.stage->held(), {}, interrupt), {}, {}};
  StreamOutput out =
      s.guarded([&] { return s.push_all(s.reorder->release_all(interrupt), interrupt); });
  s.stats.matches += out.matches.size();
  return out;
}

Result<StreamOutput> StreamMatcher::take_near_misses(Interrupt interrupt) {
  State& s = *state_;
  if (s.broken) return kBroken;
  StreamOutput out = s.guarded([&] { return s.stage->take_near_misses(interrupt); });
  s.stats.near_misses += out.near_misses.size();
  return out;
}

Result<StreamOutput> StreamMatcher::flush(Interrupt interrupt) {
  State& s = *state_;
  if (s.broken) return kBroken;
  if (!s.ended) {
    if (Result<StreamOutput> left = end(interrupt); !left) return left.failure();
  }
  if (!s.stage_ended) {
    s.guarded([&] {
      s.stage->end(interrupt);
      return true;
    });
    s.stage_ended = true;
  }
  return take_near_misses(interrupt);
}

}  // namespace kestrel
