// Events as read from a caller's table, with what is needed to write results
// back in the caller's terms: the timestamps' unit and zone, and the columns
// the caller asked to carry into each result.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kestrel/event_table.hpp"

namespace kestrel {

// How the caller wrote the timestamps. Integers are in the caller's own unit
// and pass through unchanged; datetimes (and ISO-8601 text) are held as
// nanoseconds since the epoch and written back as `unit` in `timezone`.
struct TimeColumn {
  enum class Kind { Integer, Datetime };
  Kind kind = Kind::Integer;
  std::string unit = "ns";  // "s", "ms", "us" or "ns"; meaningful for Datetime
  std::string timezone;     // Arrow's zone text; empty when naive
};

// A column copied into every result that names one of its rows. Values are
// indexed by input position (EventTable::positions), text interned in the
// source table's pool. `format` is the Arrow format string the values are
// written back as ("l", "g", "b", "u", "tsu:UTC", ...), so an int64 event id
// comes back an int64 and a timestamp a timestamp.
struct CarriedColumn {
  std::string name;
  std::string format;
  std::vector<Cell> values;
};

struct EventSource {
  EventTable table;  // rows in canonical order
  TimeColumn time;
  std::vector<CarriedColumn> carried;
  // Set for a stream's rows, whose results name stream positions: input
  // position p stands for stream position stream_positions[p], ascending.
  std::vector<std::size_t> stream_positions;
};

// The input position of the row a result index names. Throws InternalError
// when no row has it.
std::size_t input_position(const EventSource& source, std::size_t index);

}  // namespace kestrel
