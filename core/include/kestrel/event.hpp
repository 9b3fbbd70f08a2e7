// Events and their canonical order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kestrel/interrupt.hpp"
#include "kestrel/value.hpp"

namespace kestrel {

struct Event {
  std::string partition;
  std::int64_t ts = 0;
  std::string typ;
  Attributes attrs;

  Event with_attr(std::string key, Value value) &&;
};

// Stable permutation that puts events in canonical order: partition
// (byte-wise), then ts, then input order. Sorting millions of events takes
// seconds, so it polls `interrupt`.
std::vector<std::size_t> canonical_order(std::span<const Event> events, Interrupt interrupt = {});

// Whether `events` is in canonical order: partitions ascending byte-wise, each
// partition's timestamps non-decreasing.
bool is_sorted_by_partition_time_index(std::span<const Event> events) noexcept;

}  // namespace kestrel
