// The groups of a funnel: starts (or pieces) by their cell in the `by`
// column, in order of their first one.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "kestrel/event_table.hpp"
#include "kestrel/funnel.hpp"

namespace kestrel {

// A cell as a group key: equal values meet, NaNs meet, and Null meets
// Missing (neither names a group value).
struct GroupKey {
  CellKind kind = CellKind::Missing;
  std::uint64_t bits = 0;

  friend bool operator==(const GroupKey&, const GroupKey&) = default;
};

inline GroupKey group_key(const Cell& cell) {
  switch (cell.kind) {
    case CellKind::Missing:
    case CellKind::Null: return {};
    case CellKind::String: return {cell.kind, cell.text};
    case CellKind::Int: return {cell.kind, static_cast<std::uint64_t>(cell.integer)};
    case CellKind::Bool: return {cell.kind, cell.flag ? 1u : 0u};
    case CellKind::Float: {
      const double number = std::isnan(cell.number) ? NAN : cell.number == 0 ? 0.0 : cell.number;
      return {cell.kind, std::bit_cast<std::uint64_t>(number)};
    }
  }
  return {};
}

struct GroupKeyHash {
  std::size_t operator()(const GroupKey& key) const noexcept {
    return std::hash<std::uint64_t>{}(key.bits * 31 + static_cast<std::uint64_t>(key.kind));
  }
};

class FunnelGrouping {
 public:
  FunnelGrouping(const EventTable& table, std::optional<std::size_t> by) : table_(table), by_(by) {}

  // The group of the row's cell, which comes `first` in the funnel's order
  // at the latest.
  std::size_t group_of(std::size_t row, std::size_t first) {
    const Cell cell = by_ ? table_.columns[*by_][row] : Cell{};
    const auto [it, inserted] = ids_.try_emplace(group_key(cell), groups_.size());
    if (inserted) groups_.push_back({key_of(cell), first});
    groups_[it->second].first = std::min(groups_[it->second].first, first);
    return it->second;
  }

  // The keys in order into `pieces`, their pieces renumbered to match.
  // Without `by` there is one group, pieces or not.
  void order_into(FunnelPieces& pieces) const {
    std::vector<std::size_t> order(groups_.size());
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return groups_[a].first < groups_[b].first; });
    std::vector<std::size_t> place(order.size());
    pieces.keys.clear();
    for (const std::size_t g : order) {
      place[g] = pieces.keys.size();
      pieces.keys.push_back(groups_[g].key);
    }
    for (FunnelPiece& piece : pieces.pieces) piece.group = place[piece.group];
    if (!by_ && pieces.keys.empty()) pieces.keys.emplace_back();
  }

 private:
  struct Group {
    std::optional<Value> key;
    std::size_t first = 0;
  };

  // Null is no group value.
  std::optional<Value> key_of(const Cell& cell) const {
    if (!by_) return std::nullopt;
    std::optional<Value> key = table_.value_of(cell);
    if (key && std::holds_alternative<Null>(*key)) key.reset();
    return key;
  }

  const EventTable& table_;
  std::optional<std::size_t> by_;
  std::vector<Group> groups_;
  std::unordered_map<GroupKey, std::size_t, GroupKeyHash> ids_;
};

}  // namespace kestrel
