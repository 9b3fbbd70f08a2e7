// How a stream's results are written, and whether a batch agrees with it:
// its time column and carried columns (names and formats, no values).
#pragma once

#include <cstddef>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"

namespace kestrel {

struct Columns {
  TimeColumn time;
  std::vector<CarriedColumn> carried;

  friend bool operator==(const Columns& a, const Columns& b) {
    if (a.time.kind != b.time.kind || a.time.unit != b.time.unit ||
        a.time.timezone != b.time.timezone || a.carried.size() != b.carried.size()) {
      return false;
    }
    for (std::size_t c = 0; c < a.carried.size(); ++c) {
      if (a.carried[c].name != b.carried[c].name || a.carried[c].format != b.carried[c].format) {
        return false;
      }
    }
    return true;
  }
};

// The columns of the first batch.
Columns columns_of(const EventSource& batch);

// The stream's columns once it takes `batch`, whose first row is at stream
// position `first_position`; `held` is what the stream keeps, written in
// `stream`. A batch whose time kind or zone, or carried names or types,
// disagree is refused, and so is one that would scale a held or pushed
// carried value past 64 bits.
Result<Columns> joined_columns(const Columns& stream, const EventSource& held,
                               const EventSource& batch, std::size_t first_position);

}  // namespace kestrel
