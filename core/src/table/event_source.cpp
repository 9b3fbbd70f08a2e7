// Result indices back to rows: input positions as they are, stream positions
// by binary search, since a stream's rows are a sparse, ascending subset.
#include "kestrel/event_source.hpp"

#include <algorithm>

#include "kestrel/error.hpp"

namespace kestrel {

std::size_t input_position(const EventSource& source, std::size_t index) {
  const std::vector<std::size_t>& stream = source.stream_positions;
  if (stream.empty()) {
    if (index >= source.table.size())
      throw InternalError("a result names a position past the input");
    return index;
  }
  const auto found = std::lower_bound(stream.begin(), stream.end(), index);
  if (found == stream.end() || *found != index) {
    throw InternalError("a result names a stream position the rows lack");
  }
  return static_cast<std::size_t>(found - stream.begin());
}

}  // namespace kestrel
