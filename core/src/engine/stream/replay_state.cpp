// The replay's checkpoint: its buffer and the near misses it settled. A
// near miss names rows the buffer must hold, since they are written out
// with it; the reader refuses one that names any other.
#include <algorithm>
#include <vector>

#include "engine/stream/replay.hpp"

namespace kestrel {

namespace {

void check_named(const EventSource& buffer, const NearMiss& miss) {
  const std::vector<std::size_t>& held = buffer.stream_positions;
  for (const std::size_t index : miss.indices) {
    if (!std::binary_search(held.begin(), held.end(), index)) {
      StateReader::fail("its near misses name rows it does not hold");
    }
  }
}

}  // namespace

void Replay::save(StateWriter& out) const {
  std::vector<std::size_t> decided(decided_.begin(), decided_.end());
  std::sort(decided.begin(), decided.end());
  std::vector<NearMiss> waiting;
  std::vector<std::int64_t> last_ts, windows;
  for (const Waiting& wait : waiting_) {
    waiting.push_back(wait.miss);
    last_ts.push_back(wait.last_ts);
    windows.push_back(wait.window);
  }
  out(ended_, buffer_, decided, waiting, last_ts, windows, ready_, undecided_);
}

void Replay::load(StateReader& in) {
  std::vector<std::size_t> decided;
  std::vector<NearMiss> waiting;
  std::vector<std::int64_t> last_ts, windows;
  in(ended_, buffer_, decided, waiting, last_ts, windows, ready_, undecided_);
  if (waiting.size() != last_ts.size() || waiting.size() != windows.size()) {
    StateReader::fail("its waiting near misses are malformed");
  }
  decided_ = {decided.begin(), decided.end()};
  waiting_.clear();
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    waiting_.push_back({std::move(waiting[i]), last_ts[i], windows[i]});
  }
  for (const Waiting& wait : waiting_) check_named(buffer_, wait.miss);
  for (const NearMiss& miss : ready_) check_named(buffer_, miss);
}

}  // namespace kestrel
