// The events a stream with lateness holds back: each partition's events
// that a later arrival, up to the lateness older, may still come before.
#pragma once

#include <cstddef>

#include "engine/stream/late_events.hpp"
#include "engine/stream/stream_stage.hpp"

namespace kestrel {

class Reorder {
 public:
  // Takes the arrivals; returns the rows held so far that no later arrival
  // can come before, in canonical order, stream positions set.
  EventSource release(const Arrivals& arrivals, const Columns& columns, const LateCheck& late,
                      Interrupt& interrupt);
  // Every row held, for the stream's end.
  EventSource release_all(Interrupt& interrupt);

  std::size_t size() const noexcept { return held_.table.size(); }
  const EventSource& held() const noexcept { return held_; }

  void save(StateWriter& out) const { out(held_); }
  void load(StateReader& in) { in(held_); }

 private:
  EventSource held_;  // stream_positions set
};

}  // namespace kestrel
