// The engine's value semantics on table cells, and the hash key that agrees
// with its equality.
//
// Texts of one table are interned, so text equality is id equality; a text
// that the table never holds gets kForeignText, which equals no cell. The
// results are exactly those of `matches` and of the identity test of
// captures on the corresponding Values.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "kestrel/event_table.hpp"
#include "kestrel/value.hpp"
#include "model/ordered.hpp"

namespace kestrel {

inline constexpr TextId kForeignText = UINT32_MAX;

inline bool is_number(const Cell& cell) noexcept {
  return cell.kind == CellKind::Int || cell.kind == CellKind::Float;
}

// Int converts to the nearest double, as the engine's equality does.
inline double as_double(const Cell& cell) noexcept {
  return cell.kind == CellKind::Int ? static_cast<double>(cell.integer) : cell.number;
}

// Same kind and equal contents; floats by IEEE equality, so NaN is identical
// to nothing and 0.0 to -0.0.
inline bool cells_identical(const Cell& a, const Cell& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case CellKind::String: return a.text == b.text;
    case CellKind::Int: return a.integer == b.integer;
    case CellKind::Float: return a.number == b.number;
    case CellKind::Bool: return a.flag == b.flag;
    case CellKind::Null:
    case CellKind::Missing: return true;
  }
  return false;
}

inline bool cells_equal(const Cell& a, const Cell& b) noexcept {
  if (a.kind == b.kind) return cells_identical(a, b);
  return is_number(a) && is_number(b) && as_double(a) == as_double(b);
}

// `left` is the event's cell (never Missing), `right` the literal or bound one.
inline bool cell_matches(ComparisonOperator op, const Cell& left, const Cell& right) noexcept {
  switch (op) {
    case ComparisonOperator::Eq: return cells_equal(left, right);
    case ComparisonOperator::NotEq: return !cells_equal(left, right);
    default: break;
  }
  if (left.kind == CellKind::Int && right.kind == CellKind::Int) {
    return ordered(op, left.integer, right.integer);
  }
  return is_number(left) && is_number(right) && ordered(op, as_double(left), as_double(right));
}

// Cells that compare equal share a key: numbers by their value as a double
// (an Int and the Float it equals meet, 0.0 and -0.0 meet), texts by id. A
// key says nothing finer, so the exact test still follows a look-up. NaN and
// Missing equal nothing and have no key.
struct EqualityKey {
  std::uint64_t bits = 0;
  std::uint8_t kind = 0;

  friend bool operator==(const EqualityKey&, const EqualityKey&) = default;
};

inline std::optional<EqualityKey> equality_key(const Cell& cell) noexcept {
  switch (cell.kind) {
    case CellKind::String: return EqualityKey{cell.text, 0};
    case CellKind::Int:
    case CellKind::Float: {
      const double number = as_double(cell);
      if (number != number) return std::nullopt;
      return EqualityKey{std::bit_cast<std::uint64_t>(number == 0 ? 0.0 : number), 1};
    }
    case CellKind::Bool: return EqualityKey{cell.flag ? 1u : 0u, 2};
    case CellKind::Null: return EqualityKey{0, 3};
    case CellKind::Missing: break;
  }
  return std::nullopt;
}

inline std::uint64_t hash_of(const EqualityKey& key) noexcept {
  std::uint64_t h = key.bits ^ (std::uint64_t{key.kind} << 61);
  // splitmix64's finaliser spreads ids and doubles alike.
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

}  // namespace kestrel
