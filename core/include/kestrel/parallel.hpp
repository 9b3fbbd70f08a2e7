// Spreading an engine call over threads, a share of the partition runs each.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace kestrel {

// How many threads a call may use, and how it learns that its caller wants
// it stopped. While the workers run, the calling thread waits and asks
// `stop_requested` every kCheckPeriod; a yes stops every worker at its next
// Interrupt poll, and the call throws Interrupted. The question is asked on
// the calling thread only, so it may need what only that thread holds.
struct Parallel {
  static constexpr std::chrono::milliseconds kCheckPeriod{20};

  std::size_t threads = 1;
  std::function<bool()> stop_requested;
};

}  // namespace kestrel
