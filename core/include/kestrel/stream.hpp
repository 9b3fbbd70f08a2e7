// Matching events that arrive in batches, with results exactly those of one
// call over the whole stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

enum class LateEvents { Refuse, Drop };

struct StreamOptions {
  bool exhaustive = false;
  bool explain = true;  // also work out near misses
  LateEvents late = LateEvents::Refuse;
  // How much older than its partition's newest an event may come, in the
  // timestamps' unit (nanoseconds for datetimes); 0 or more. The events a
  // later one may still come before are held back until it cannot.
  std::int64_t lateness = 0;
};

// Results that became final, with indices that are stream positions. The
// source holds the rows they name, with `stream_positions` set.
struct StreamOutput {
  EventSource source;
  std::vector<Match> matches;
  std::vector<NearMiss> near_misses;
};

struct StreamStats {
  std::size_t events = 0;        // pushed, late ones included
  std::size_t late_dropped = 0;  // dropped under LateEvents::Drop
  std::size_t matches = 0;       // handed out so far
  std::size_t near_misses = 0;   // handed out so far
  std::size_t buffered = 0;      // rows held now, those held back for lateness too
  // Open partial matches now; with near misses, the starts not yet decided.
  std::size_t open = 0;
};

// Matches events that arrive in batches, holding only what results not yet
// final need: without near misses, the open partial matches and the rows
// they name; with them, the rows that a start not yet decided can still
// reach. Each partition's events must come in timestamp order; partitions
// may interleave. A call stopped by its Interrupt leaves the stream broken:
// every later call is refused.
class StreamMatcher {
 public:
  StreamMatcher(Pattern pattern, StreamOptions options);
  ~StreamMatcher();
  StreamMatcher(StreamMatcher&&) noexcept;
  StreamMatcher& operator=(StreamMatcher&&) noexcept;

  // Takes the batch's rows as the next stream positions, in the batch's
  // input order, and returns the matches that completed. Near misses that
  // became final wait for `take_near_misses`. A late event is refused (the
  // whole batch, with nothing taken) or dropped, as the options say. A batch
  // whose time kind or zone, or whose carried types, disagree with the
  // stream's is refused; units may differ, and results take the finest. An
  // empty batch agrees with any stream but an ended one.
  Result<StreamOutput> push(const EventSource& batch, Interrupt interrupt = {});

  // Ends the stream: the events held back for lateness go on, and the
  // matches they complete are returned. Events cannot follow.
  Result<StreamOutput> end(Interrupt interrupt = {});

  // The near misses that became final since the last call, by start.
  Result<StreamOutput> take_near_misses(Interrupt interrupt = {});

  // Ends the stream, if `end` did not, dropping the matches held-back events
  // complete: every start is decided, and the near misses left are
  // returned. Events cannot follow.
  Result<StreamOutput> flush(Interrupt interrupt = {});

  StreamStats stats() const noexcept;
  const Pattern& pattern() const noexcept;

  // The stream's state as bytes, from which `restore` makes a stream that
  // goes on exactly as this one would. They open with a format version: a
  // kestrel reads its own version and older ones, and refuses a newer one.
  // A stream stopped half way has no state to save.
  Result<std::string> checkpoint() const;
  static Result<StreamMatcher> restore(std::string_view bytes);

 private:
  struct State;
  explicit StreamMatcher(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace kestrel
