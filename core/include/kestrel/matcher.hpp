// Matching a pattern over events in canonical order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"
#include "kestrel/run_options.hpp"

namespace kestrel {

// The single-pass matcher. Throws InternalError for a structurally invalid
// pattern, and Interrupted when `interrupt` stops it.
std::vector<Match> compiled_matches(std::span<const Event> events, const Pattern& pattern,
                                    Interrupt interrupt = {});

// The same over a table whose rows are in canonical order, on
// `options.threads` threads at most with the same result; match indices are
// the rows' positions, matches ordered by their rows. Throws Interrupted when
// `options.stop_requested` stops it.
std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    const RunOptions& options = {});

// The same, stopping as soon as more than `limit` matches are found: the
// result then holds limit + 1 matches, so that a caller can refuse it
// without the engine building them all.
std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    std::size_t limit, const RunOptions& options = {});

}  // namespace kestrel
