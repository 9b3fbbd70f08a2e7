// Events and their canonical order, which the table builder's integer keys
// give: partitions are interned and ranked once.

#include "kestrel/event.hpp"

#include <numeric>
#include <optional>
#include <utility>

#include "table/table_builder.hpp"

namespace kestrel {

Event Event::with_attr(std::string key, Value value) && {
  attrs.set(std::move(key), std::move(value));
  return std::move(*this);
}

std::vector<std::size_t> canonical_order(std::span<const Event> events, Interrupt interrupt) {
  TextPool texts;
  std::vector<TextId> partitions(events.size());
  std::vector<std::int64_t> timestamps(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    interrupt.poll();
    const bool same_run = i > 0 && events[i].partition == events[i - 1].partition;
    partitions[i] = same_run ? partitions[i - 1] : texts.intern(events[i].partition);
    timestamps[i] = events[i].ts;
  }
  const std::vector<std::size_t> rank_of = byte_order_ranks(texts, partitions, interrupt);
  if (std::optional<std::vector<std::size_t>> order =
          order_by_partition_and_time(rank_of, partitions, timestamps, interrupt)) {
    return std::move(*order);
  }
  std::vector<std::size_t> identity(events.size());
  std::iota(identity.begin(), identity.end(), std::size_t{0});
  return identity;
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
