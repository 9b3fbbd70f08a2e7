// The rules between two steps, shared by the matchers and the near-miss
// search: the time window, the absence test and the pairwise transition test,
// and the partition runs they all work within.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "kestrel/event.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

// The exact difference `to - from`, saturated to the signed 64-bit range.
std::int64_t saturating_elapsed(std::int64_t from, std::int64_t to) noexcept;

// Whether `to - from`, computed exactly (never wrapping), is at most
// `max_elapsed`; always true without a window. Inline: the matcher asks it
// for every thread an event reaches.
inline bool within_window(const std::optional<std::int64_t>& max_elapsed, std::int64_t from,
                          std::int64_t to) noexcept {
  if (!max_elapsed) return true;
  if (to < from) return *max_elapsed >= 0 || saturating_elapsed(from, to) <= *max_elapsed;
  if (*max_elapsed < 0) return false;
  // Unsigned arithmetic gives the exact gap where a signed difference would wrap.
  const std::uint64_t gap = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
  return gap <= static_cast<std::uint64_t>(*max_elapsed);
}

// Whether any of the transition's absence atoms accepts `event`.
bool forbids(const Transition& transition, const Event& event, const Bindings& bindings) noexcept;

// Whether `transition` lets the event at `candidate` follow the one at
// `previous` (same partition, candidate > previous), under the bindings
// captured before the candidate's step. Windows use the exact difference.
bool transition_allows(std::span<const Event> events, std::size_t previous, std::size_t candidate,
                       const Transition& transition, const Bindings& bindings);

// One past the last event of the partition run that starts at `begin`.
std::size_t partition_run_end(std::span<const Event> events, std::size_t begin) noexcept;

// The transition into step `step_index`; InternalError when it has none.
const Transition& transition_into(const Pattern& pattern, std::size_t step_index);

}  // namespace kestrel
