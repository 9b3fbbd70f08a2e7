// Windows are judged on the exact difference of two timestamps: a signed
// subtraction could wrap and let an event from the far past or future in.

#include "engine/atoms/transition.hpp"

#include "kestrel/error.hpp"

namespace kestrel {

std::int64_t saturating_elapsed(std::int64_t from, std::int64_t to) noexcept {
  if (to >= from) {
    const std::uint64_t gap = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
    return gap > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(gap);
  }
  const std::uint64_t gap = static_cast<std::uint64_t>(from) - static_cast<std::uint64_t>(to);
  return gap > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MIN : -static_cast<std::int64_t>(gap);
}

bool forbids(const Transition& transition, const Event& event, const Bindings& bindings) noexcept {
  for (const Atom& atom : transition.absence) {
    if (atom.accepts(event, bindings)) return true;
  }
  return false;
}

bool transition_allows(std::span<const Event> events, std::size_t previous, std::size_t candidate,
                       const Transition& transition, const Bindings& bindings) {
  if (previous >= candidate || candidate >= events.size()) {
    throw InternalError("transition_allows needs previous < candidate < events.size()");
  }
  const std::int64_t from = events[previous].ts;
  const std::int64_t to = events[candidate].ts;
  if (to < from) return false;
  if (!within_window(transition.max_elapsed, from, to)) return false;
  for (std::size_t between = previous + 1; between < candidate; ++between) {
    if (forbids(transition, events[between], bindings)) return false;
  }
  return true;
}

std::size_t partition_run_end(std::span<const Event> events, std::size_t begin) noexcept {
  std::size_t end = begin + 1;
  while (end < events.size() && events[end].partition == events[begin].partition) ++end;
  return end;
}

const Transition& transition_into(const Pattern& pattern, std::size_t step_index) {
  const std::optional<Transition>& transition = pattern.steps[step_index].transition_from_previous;
  if (!transition) throw InternalError("transition exists after first step");
  return *transition;
}

}  // namespace kestrel
