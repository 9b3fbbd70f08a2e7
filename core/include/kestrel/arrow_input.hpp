// Reading events from any producer of the Arrow C stream interface.
#pragma once

#include <nanoarrow/nanoarrow.h>

#include <optional>
#include <string>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/run_options.hpp"

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
// With more than one thread in `options`, each batch's columns are read on
// up to that many threads, with the same result; `options.stop_requested`
// also stops the steps that stay on the calling thread.
Result<EventSource> read_arrow_events(ArrowArrayStream& stream, const ArrowColumns& columns,
                                      const RunOptions& options = {});

// The cells of text column `name` given as a stream of arrays (a chunked
// array's chunks, say), rows numbered across them: texts interned into
// `texts`, null cells Null. The stream is consumed and released. A column
// that is not text, or a bad cell or array, is an Error naming the column
// and the row.
Result<std::vector<Cell>> read_arrow_texts(ArrowArrayStream& stream, const std::string& name,
                                           TextPool& texts, Interrupt& interrupt);

}  // namespace kestrel
