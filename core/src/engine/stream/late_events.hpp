// Which of a batch's events come too late: each partition's events must
// come in time order, give or take the stream's lateness, so one older than
// its partition's newest by more is refused or dropped, as the stream's
// options say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/stream.hpp"
#include "model/state_codec.hpp"

namespace kestrel {

class LateCheck {
 public:
  LateCheck(LateEvents policy, std::int64_t lateness) : policy_(policy), lateness_(lateness) {}

  // The rows taken from a batch whose first event is at stream position
  // `first_position`, in the batch's row (canonical) order, and how many
  // were dropped. A refusal takes nothing: the newest timestamps move only
  // when the batch is taken.
  struct Taken {
    std::vector<std::size_t> rows;
    std::size_t dropped = 0;
  };
  Result<Taken> take(const EventSource& batch, std::size_t first_position);

  // The earliest timestamp a later event of `partition` may have: its
  // newest minus the lateness. None when it has none, or it underflows.
  std::optional<std::int64_t> earliest_to_come(std::string_view partition) const;

  void save(StateWriter& out) const;
  void load(StateReader& in);

 private:
  bool too_late(std::int64_t ts, std::int64_t newest) const noexcept;

  LateEvents policy_;
  std::int64_t lateness_;
  // One timestamp for every partition seen, by its id in `partitions_`: a
  // later event of a partition that holds nothing else must still be
  // refused when late.
  TextPool partitions_;
  std::vector<std::int64_t> newest_;
};

}  // namespace kestrel
