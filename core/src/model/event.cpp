// Events and their canonical order. Sorting ranks the partitions first so
// that the sort itself compares integers only.

#include "kestrel/event.hpp"

#include "model/canonical_sort.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

namespace kestrel {

Event Event::with_attr(std::string key, Value value) && {
  attrs.set(std::move(key), std::move(value));
  return std::move(*this);
}

namespace {

// Each event's partition as its rank among the distinct partitions in byte
// order, so that sorting compares integers and never touches event text.
std::vector<std::size_t> partition_ranks(std::span<const Event> events, Interrupt& interrupt) {
  std::unordered_map<std::string_view, std::size_t> first_seen;
  std::vector<std::string_view> names;
  std::vector<std::size_t> ids(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    interrupt.poll();
    const std::string_view name = events[i].partition;
    if (i > 0 && name == events[i - 1].partition) {  // runs are the common case
      ids[i] = ids[i - 1];
      continue;
    }
    const auto [entry, added] = first_seen.try_emplace(name, names.size());
    if (added) names.push_back(name);
    ids[i] = entry->second;
  }
  std::vector<std::size_t> by_name(names.size());
  std::iota(by_name.begin(), by_name.end(), std::size_t{0});
  std::sort(by_name.begin(), by_name.end(), [&](std::size_t a, std::size_t b) {
    interrupt.poll();
    return names[a] < names[b];
  });
  std::vector<std::size_t> rank(names.size());
  for (std::size_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;
  for (std::size_t& id : ids) id = rank[id];
  return ids;
}

struct SortKey {
  std::size_t partition;
  std::int64_t ts;
  std::size_t index;  // the tie-break that makes an unstable sort stable

  friend bool operator<(const SortKey& a, const SortKey& b) {
    if (a.partition != b.partition) return a.partition < b.partition;
    if (a.ts != b.ts) return a.ts < b.ts;
    return a.index < b.index;
  }
};

}  // namespace

std::vector<std::size_t> order_by_partition_and_time(std::span<const std::size_t> partition_ranks,
                                                     std::span<const std::int64_t> timestamps,
                                                     Interrupt& interrupt) {
  std::vector<SortKey> keys(timestamps.size());
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = {partition_ranks[i], timestamps[i], i};
  std::sort(keys.begin(), keys.end(), [&](const SortKey& a, const SortKey& b) {
    interrupt.poll();
    return a < b;
  });
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].index;
  return order;
}

std::vector<std::size_t> canonical_order(std::span<const Event> events, Interrupt interrupt) {
  const std::vector<std::size_t> ranks = partition_ranks(events, interrupt);
  std::vector<std::int64_t> timestamps(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) timestamps[i] = events[i].ts;
  return order_by_partition_and_time(ranks, timestamps, interrupt);
}

bool is_sorted_by_partition_time_index(std::span<const Event> events) noexcept {
  for (std::size_t i = 1; i < events.size(); ++i) {
    const Event& a = events[i - 1];
    const Event& b = events[i];
    const int order = a.partition.compare(b.partition);
    if (order > 0 || (order == 0 && a.ts > b.ts)) return false;
  }
  return true;
}

}  // namespace kestrel
