// The near-miss search's interned slots: bit-identical cells get one id, so
// that the states of a level that share them form one group.
#include "engine/explain/state_graph.hpp"

#include <bit>
#include <cstdint>
#include <utility>

namespace kestrel {

namespace {

// Equal keys mean bit-identical cells (floats by their bits), which
// certainly behave alike; unlike value equality it also lets a NaN be shared.
// Texts of one table are equal exactly when their ids are.
std::string identity_key(const Slots& slots) {
  std::string key;
  key.reserve(slots.size() * (1 + sizeof(std::uint64_t)));
  for (const Cell& cell : slots) {
    std::uint64_t bits = 0;
    switch (cell.kind) {
      case CellKind::String: bits = cell.text; break;
      case CellKind::Int: bits = static_cast<std::uint64_t>(cell.integer); break;
      case CellKind::Float: bits = std::bit_cast<std::uint64_t>(cell.number); break;
      case CellKind::Bool: bits = cell.flag ? 1 : 0; break;
      case CellKind::Null:
      case CellKind::Missing: break;
    }
    key += static_cast<char>(cell.kind);
    key.append(static_cast<const char*>(static_cast<const void*>(&bits)), sizeof bits);
  }
  return key;
}

}  // namespace

std::size_t SlotsTable::intern(Slots slots) {
  auto [it, inserted] = ids_.try_emplace(identity_key(slots), all_.size());
  if (inserted) all_.push_back(std::move(slots));
  return it->second;
}

}  // namespace kestrel
