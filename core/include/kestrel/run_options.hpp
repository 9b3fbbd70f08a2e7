// How an engine call runs: on how many threads, and how its caller stops it.
#pragma once

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
struct RunOptions {
  static constexpr std::chrono::milliseconds kCheckPeriod{20};

  std::size_t threads = 1;
  std::function<bool()> stop_requested;
};

}  // namespace kestrel
