// Matching a pattern over events in canonical order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kestrel/event_table.hpp"
#include "kestrel/model.hpp"
#include "kestrel/parallel.hpp"

namespace kestrel {

// The single-pass matcher. Throws InternalError for a structurally invalid
// pattern, and Interrupted when `interrupt` stops it.
std::vector<Match> compiled_matches(std::span<const Event> events, const Pattern& pattern,
                                    Interrupt interrupt = {});

// The same over a table whose rows are in canonical order; match indices are
// the rows' positions, matches ordered by their rows.
std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    Interrupt interrupt = {});

// The same, stopping as soon as more than `limit` matches are found: the
// result then holds limit + 1 matches, so that a caller can refuse it
// without the engine building them all.
std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    std::size_t limit, Interrupt interrupt = {});

// The same over `parallel.threads` threads at most, with the same result.
std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    std::size_t limit, const Parallel& parallel);

}  // namespace kestrel
