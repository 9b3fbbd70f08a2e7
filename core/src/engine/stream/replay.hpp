// The stage that explains: it replays the batch matcher and the near-miss
// search over the rows an undecided start can still reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/stream/stream_stage.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

class Replay final : public StreamStage {
 public:
  explicit Replay(Pattern pattern);

  StreamOutput push(const Arrivals& arrivals, const Columns& columns,
                    Interrupt& interrupt) override;
  StreamOutput take_near_misses(Interrupt& interrupt) override;
  void end(Interrupt& interrupt) override;
  void save(StateWriter& out) const override;
  void load(StateReader& in) override;
  const EventSource& held() const noexcept override { return buffer_; }
  std::size_t open_matches() const noexcept override { return undecided_; }

 private:
  // A "no successor" near miss whose path can no longer grow, waiting for
  // the next event of the awaited type, which would lie beyond the window.
  struct Waiting {
    NearMiss miss;
    std::int64_t last_ts = 0;
    std::int64_t window = 0;
  };

  EventSource merged(const Arrivals& arrivals, const Columns& columns, std::vector<bool>& is_new,
                     Interrupt& interrupt) const;
  std::vector<Match> decide(EventSource& source, const std::vector<bool>& is_new,
                            Interrupt& interrupt);
  void settle_waiting(const EventSource& source, const std::vector<bool>& is_new);
  std::vector<std::size_t> settle_near_misses(const EventSource& source,
                                              const std::vector<std::int64_t>& newest_of,
                                              Interrupt& interrupt);
  void keep_undecided(const EventSource& source, const std::vector<std::int64_t>& newest_of,
                      const std::unordered_set<std::size_t>& decided_now, Interrupt& interrupt);
  bool horizon_passed(const EventTable& table, const std::vector<std::int64_t>& newest_of,
                      std::size_t row) const;

  Pattern pattern_;
  Pattern first_step_;  // matches once per start
  std::optional<std::int64_t> horizon_;
  bool ended_ = false;
  EventSource buffer_;                       // stream_positions set, rows in canonical order
  std::unordered_set<std::size_t> decided_;  // decided starts still in the buffer
  std::vector<Waiting> waiting_;
  std::vector<NearMiss> ready_;  // settled, not yet taken
  std::size_t undecided_ = 0;
};

}  // namespace kestrel
