// A stream's checkpoint: the pattern (its literals bit for bit, which JSON
// cannot hold for NaN) and the options, then what
// each part holds, in the order the stream hands rows through them. The
// stream's columns are those of the stage's rows (set by the first batch),
// which every other part must share. The bytes use the state codec, so a
// newer version, truncated or hostile bytes are refused, never trusted.
#include <string>
#include <utility>

#include "engine/stream/stream_state.hpp"

namespace kestrel {

template <>
inline constexpr std::uint8_t kEnumCount<LateEvents> = 2;

namespace {

constexpr char kStreamState = 'S';
// The first version whose stream state this one reads: version 2 keeps near
// misses as states of their starts, not as rows to search again.
constexpr std::uint8_t kStreamStateSince = 2;

Columns columns_held(const EventSource& source) { return Columns{source.time, source.carried}; }

}  // namespace

Result<std::string> StreamMatcher::checkpoint() const {
  const State& s = *state_;
  if (s.broken) {
    return Error{"the stream was stopped in the middle of a call; it has no state to save"};
  }
  StateWriter out(kStreamState);
  out(s.pattern, s.options.explain, s.options.late, s.options.lateness);
  out(s.columns.has_value(), s.ended, s.stage_ended, s.stats.events, s.stats.late_dropped,
      s.stats.matches, s.stats.near_misses);
  s.late.save(out);
  if (s.reorder) s.reorder->save(out);
  s.stage->save(out);
  return out.bytes();
}

Result<StreamMatcher> StreamMatcher::restore(std::string_view bytes) {
  try {
    StateReader in(bytes, kStreamState);
    if (in.version() < kStreamStateSince) {
      StateReader::fail("it has version " + std::to_string(in.version()) +
                        ", whose streams this kestrel cannot go on with; start a new one");
    }
    Pattern pattern;
    StreamOptions options;
    in(pattern, options.explain, options.late, options.lateness);
    if (options.lateness < 0) StateReader::fail("its lateness is negative");
    auto state = std::make_unique<State>(std::move(pattern), options);
    State& s = *state;
    bool started = false;
    in(started, s.ended, s.stage_ended, s.stats.events, s.stats.late_dropped, s.stats.matches,
       s.stats.near_misses);
    s.late.load(in);
    if (s.reorder) s.reorder->load(in);
    s.stage->load(in);
    in.finish();
    if (started) s.columns = columns_held(s.stage->held());
    const Columns columns = s.columns.value_or(columns_held(EventSource{}));
    if (!(columns_held(s.stage->held()) == columns) ||
        (s.reorder && !(columns_held(s.reorder->held()) == columns))) {
      StateReader::fail("its parts disagree on the stream's columns");
    }
    return StreamMatcher(std::move(state));
  } catch (const StateRefused& refused) {
    return Error{refused.what()};
  }
}

StreamMatcher::StreamMatcher(std::unique_ptr<State> state) : state_(std::move(state)) {}

const Pattern& StreamMatcher::pattern() const noexcept { return state_->pattern; }

}  // namespace kestrel
