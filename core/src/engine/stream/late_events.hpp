// Which of a batch's events come too late: each partition's events must
// come in time order, so one older than its partition's newest is refused
// or dropped, as the stream's options say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/stream.hpp"

namespace kestrel {

class LateCheck {
 public:
  explicit LateCheck(LateEvents policy) : policy_(policy) {}

  // The rows taken from a batch whose first event is at stream position
  // `first_position`, in the batch's row (canonical) order, and how many
  // were dropped. A refusal takes nothing: the newest timestamps move only
  // when the batch is taken.
  struct Taken {
    std::vector<std::size_t> rows;
    std::size_t dropped = 0;
  };
  Result<Taken> take(const EventSource& batch, std::size_t first_position);

 private:
  LateEvents policy_;
  // One timestamp for every partition seen: a later event of a partition
  // that holds nothing else must still be refused when late.
  std::unordered_map<std::string, std::int64_t> newest_;
};

}  // namespace kestrel
