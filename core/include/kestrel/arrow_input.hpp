// Reading events from any producer of the Arrow C stream interface.
#pragma once

#include <nanoarrow/nanoarrow.h>

#include <optional>
#include <string>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/parallel.hpp"

namespace kestrel {

struct ArrowColumns {
  std::string partition = "partition";
  std::string ts = "ts";
  std::string typ = "typ";
  // Attribute columns to keep; none means every column but the three keys.
  std::optional<std::vector<std::string>> attributes;
  // Columns to carry into results; may name key or attribute columns.
  std::vector<std::string> carry;
};

// Every batch of `stream` as one EventSource in canonical order, positions
// being row numbers across all batches. The stream is consumed and released.
// A bad column, cell or batch is an Error naming the column and the row.
Result<EventSource> read_arrow_events(ArrowArrayStream& stream, const ArrowColumns& columns,
                                      Interrupt interrupt = {});

// The same with each batch's columns read on up to `parallel.threads`
// threads; `parallel.stop_requested` also stops the steps that stay on the
// calling thread.
Result<EventSource> read_arrow_events(ArrowArrayStream& stream, const ArrowColumns& columns,
                                      const Parallel& parallel);

}  // namespace kestrel
