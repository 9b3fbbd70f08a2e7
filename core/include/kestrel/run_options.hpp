// How an engine call runs: on how many threads, and how its caller stops it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>

namespace kestrel {

// Every long engine call takes one of these. With one thread (or none asked)
// the call runs on the calling thread and polls an Interrupt that asks
// `stop_requested`. With more, the work is shared out among worker threads
// while the calling thread waits and asks `stop_requested` every
// kCheckPeriod; a yes stops every worker at its next Interrupt poll. Either
// way a yes makes the call throw Interrupted, and the question is asked on
// the calling thread only, so it may need what only that thread holds. An
// empty `stop_requested` never stops.
//
// A thread is given at least `min_rows_per_thread` rows: starting and
// joining one costs about what reading and matching a few thousand rows
// does, so a small call runs on the calling thread whatever `threads` says.
struct RunOptions {
  static constexpr std::chrono::milliseconds kCheckPeriod{20};
  static constexpr std::size_t kMinRowsPerThread = 16384;

  std::size_t threads = 1;
  std::function<bool()> stop_requested;
  std::size_t min_rows_per_thread = kMinRowsPerThread;

  // The threads worth starting for `rows` rows: at most `threads`, at least 1.
  std::size_t threads_for(std::size_t rows) const noexcept {
    const std::size_t worth = rows / std::max<std::size_t>(min_rows_per_thread, 1);
    return std::clamp<std::size_t>(worth, 1, std::max<std::size_t>(threads, 1));
  }
};

}  // namespace kestrel
