// What the stream hands the stage that matches: the rows it took from a
// batch, and what a stage gives back.
#pragma once

#include <cstddef>
#include <span>

#include "engine/stream/source_builder.hpp"
#include "engine/stream/stream_columns.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/stream.hpp"
#include "model/state_codec.hpp"

namespace kestrel {

// Rows of `source` in canonical order. Input position p is stream position
// first_position + p in a batch, and stream_positions[p] in rows the stream
// held back (which have them).
struct Arrivals {
  const EventSource& source;
  std::span<const std::size_t> rows;
  std::size_t first_position = 0;

  std::size_t position(std::size_t row) const noexcept {
    const std::size_t input = source.table.positions[row];
    return source.stream_positions.empty() ? first_position + input
                                           : source.stream_positions[input];
  }
};

class StreamStage {
 public:
  virtual ~StreamStage() = default;

  // Takes the rows, written in `columns` from now on; returns the matches
  // they completed.
  virtual StreamOutput push(const Arrivals& arrivals, const Columns& columns,
                            Interrupt& interrupt) = 0;
  // The near misses settled since the last call.
  virtual StreamOutput take_near_misses(Interrupt& interrupt) = 0;
  // Decides every start; near misses left wait for `take_near_misses`.
  virtual void end(Interrupt& interrupt) = 0;

  // The stage's state for a checkpoint; `load` reads it into a new stage of
  // the same pattern, refusing (StateRefused) what it could trip on later.
  virtual void save(StateWriter& out) const = 0;
  virtual void load(StateReader& in) = 0;

  // The rows kept, in the stream's columns, stream_positions set.
  virtual const EventSource& held() const noexcept = 0;
  virtual std::size_t open_matches() const noexcept = 0;
};

// The rows of `held`, a source the stream kept, in stream order, then the
// arrivals, in `columns`; input positions follow that order.
SourceBuilder held_then_arrivals(const EventSource& held, const Arrivals& arrivals,
                                 const Columns& columns, Interrupt& interrupt);

// `rows` of `from` (ascending stream positions), as a source of their own.
EventSource rows_of(const EventSource& from, std::span<const std::size_t> rows,
                    Interrupt& interrupt);

}  // namespace kestrel
