// Matching a pattern over events in canonical order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kestrel/model.hpp"

namespace kestrel {

// Whether `events` is in canonical order: partitions ascending byte-wise, each
// partition's timestamps non-decreasing.
bool is_sorted_by_partition_time_index(std::span<const Event> events) noexcept;

// The exact difference `to - from`, saturated to the signed 64-bit range.
std::int64_t saturating_elapsed(std::int64_t from, std::int64_t to) noexcept;

// Whether `to - from`, computed exactly (never wrapping), is at most
// `max_elapsed`; always true without a window.
bool within_window(const std::optional<std::int64_t>& max_elapsed, std::int64_t from,
                   std::int64_t to) noexcept;

// Whether `transition` lets the event at `candidate` follow the one at
// `previous` (same partition, candidate > previous), under the bindings
// captured before the candidate's step. Windows use the exact difference.
bool transition_allows(std::span<const Event> events, std::size_t previous, std::size_t candidate,
                       const Transition& transition, const Bindings& bindings);

// The single-pass matcher. Throws InternalError for a structurally invalid
// pattern, and Interrupted when `interrupt` stops it.
std::vector<Match> compiled_matches(std::span<const Event> events, const Pattern& pattern,
                                    Interrupt interrupt = {});

// The reference matcher; returns exactly what compiled_matches returns.
std::vector<Match> oracle_matches(std::span<const Event> events, const Pattern& pattern,
                                  Interrupt interrupt = {});

}  // namespace kestrel
