// Near-miss explanation: for every start that cannot complete a pattern, the
// deepest partial path and why no event could take the next step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"
#include "kestrel/run_options.hpp"

namespace kestrel {

// A predicate against a literal that failed; `actual` is absent when the
// event lacks the attribute.
struct PredicateMismatch {
  std::string attribute;
  ComparisonOperator op = ComparisonOperator::Eq;
  Value expected;
  std::optional<Value> actual;

  friend bool operator==(const PredicateMismatch&, const PredicateMismatch&) = default;
};

// A predicate against a binding that failed; `bound` is absent when the
// binding is unbound, `actual` when the event lacks the attribute.
struct ReferenceMismatch {
  std::string attribute;
  ComparisonOperator op = ComparisonOperator::Eq;
  std::string binding;
  std::optional<Value> bound;
  std::optional<Value> actual;

  friend bool operator==(const ReferenceMismatch&, const ReferenceMismatch&) = default;
};

// A capture whose name is already bound to another value; `actual` is always
// present (Null when the event lacks the attribute).
struct CaptureConflict {
  std::string name;
  std::string attribute;
  Value bound;
  std::optional<Value> actual;

  friend bool operator==(const CaptureConflict&, const CaptureConflict&) = default;
};

using PredicateFailure = std::variant<PredicateMismatch, ReferenceMismatch, CaptureConflict>;

// "predicate", "reference" or "capture".
std::string_view failure_type_text(const PredicateFailure& failure) noexcept;

// The first in-window, unblocked candidate, which the step's atom rejects.
struct PredicateFailed {
  std::vector<PredicateFailure> failures;
  std::size_t event_index = 0;

  friend bool operator==(const PredicateFailed&, const PredicateFailed&) = default;
};

// The first in-window candidate preceded by a forbidden event.
struct AbsenceBlocked {
  std::size_t candidate_index = 0;
  std::size_t blocking_index = 0;
  std::string blocking_event_type;
  bool candidate_satisfies = false;

  friend bool operator==(const AbsenceBlocked&, const AbsenceBlocked&) = default;
};

// The first candidate beyond the window; `gap` is saturated to 64 bits.
struct WindowExceeded {
  std::size_t candidate_index = 0;
  std::int64_t gap = 0;
  std::int64_t max_elapsed = 0;

  friend bool operator==(const WindowExceeded&, const WindowExceeded&) = default;
};

// No later event of the partition has the next step's type.
struct NoSuccessor {
  friend bool operator==(const NoSuccessor&, const NoSuccessor&) = default;
};

// Variant numbers 0 to 3 (`index()`) select the reason text.
using NearMissDetail = std::variant<PredicateFailed, AbsenceBlocked, WindowExceeded, NoSuccessor>;

// "predicate_failed", "absence_blocked", "window_exceeded" or "no_successor".
std::string_view reason_text(const NearMissDetail& detail) noexcept;

// One start that cannot complete. Indices are positions in the whole event
// list; `reached_steps` == `next_step` == `indices.size()`.
struct NearMiss {
  std::string partition;
  std::size_t start_index = 0;
  std::vector<std::size_t> indices;
  std::size_t reached_steps = 0;
  std::size_t next_step = 0;
  std::string next_event_type;
  NearMissDetail detail;
  Bindings captures;

  friend bool operator==(const NearMiss&, const NearMiss&) = default;
};

// One record per start that cannot complete, in ascending start order.
// Events must be in canonical order. Throws InternalError for a structurally
// invalid pattern, and Interrupted when `interrupt` stops it.
std::vector<NearMiss> near_misses(std::span<const Event> events, const Pattern& pattern,
                                  Interrupt interrupt = {});

// The same over a table whose rows are in canonical order, on
// `options.threads` threads at most with the same result; indices are the
// rows' positions, records in ascending order of their start's row. Throws
// Interrupted when `options.stop_requested` stops it.
std::vector<NearMiss> near_misses(const EventTable& table, const Pattern& pattern,
                                  const RunOptions& options = {});

}  // namespace kestrel
