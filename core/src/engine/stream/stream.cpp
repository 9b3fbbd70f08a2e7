// The stream: checks each batch against the stream's columns and its late
// events, then hands the rows it takes to the stage that matches. Without
// near misses that is the matcher itself, resumed from push to push
// (open_matches.cpp); with them, a replay of the batch engine over the rows
// undecided starts can reach (replay.cpp).
#include "kestrel/stream.hpp"

#include <optional>
#include <utility>

#include "engine/stream/stream_state.hpp"

namespace kestrel {

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
