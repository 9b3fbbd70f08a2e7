// Events in columns: the form the matchers and the near-miss search read.
//
// Texts (partitions, types, text values) are interned once into dense ids, so
// the hot loops compare integers; timestamps sit in one flat array and each
// attribute in a column of fixed-size cells with an explicit null and an
// explicit "missing". Nothing is allocated per cell. Rows are in canonical
// order; `positions` maps each row back to the caller's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/event.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/pattern.hpp"
#include "kestrel/value.hpp"

namespace kestrel {

using TextId = std::uint32_t;

// Equal texts get equal ids, in order of first appearance.
class TextPool {
 public:
  // The views point into the texts, so a copy would point into its source.
  TextPool() = default;
  TextPool(const TextPool&) = delete;
  TextPool& operator=(const TextPool&) = delete;
  TextPool(TextPool&&) noexcept = default;
  TextPool& operator=(TextPool&&) noexcept = default;

  TextId intern(std::string_view text);
  std::optional<TextId> find(std::string_view text) const noexcept;
  std::string_view text(TextId id) const noexcept { return views_[id]; }
  std::size_t size() const noexcept { return views_.size(); }

 private:
  std::size_t slot_of(std::string_view text, std::uint64_t hash) const noexcept;
  void grow();

  std::deque<std::string> texts_;        // a deque keeps the views valid as it grows
  std::vector<std::string_view> views_;  // by id
  // Open addressing; a slot holds the hash's high half and id + 1 (0: free),
  // so a probe rarely reads a text it does not match.
  std::vector<std::uint64_t> slots_;
};

enum class CellKind : std::uint8_t { Missing, Null, String, Int, Float, Bool };

// One attribute of one event. A Missing cell means the event lacks the
// attribute, which predicates treat differently from a null value.
struct Cell {
  CellKind kind = CellKind::Missing;
  union {
    std::int64_t integer = 0;
    double number;
    TextId text;
    bool flag;
  };

  static Cell null() noexcept { return with_kind(CellKind::Null); }
  static Cell of_text(TextId id) noexcept {
    Cell cell = with_kind(CellKind::String);
    cell.text = id;
    return cell;
  }
  static Cell of_int(std::int64_t value) noexcept {
    Cell cell = with_kind(CellKind::Int);
    cell.integer = value;
    return cell;
  }
  static Cell of_float(double value) noexcept {
    Cell cell = with_kind(CellKind::Float);
    cell.number = value;
    return cell;
  }
  static Cell of_bool(bool value) noexcept {
    Cell cell = with_kind(CellKind::Bool);
    cell.flag = value;
    return cell;
  }

 private:
  static Cell with_kind(CellKind kind) noexcept {
    Cell cell;
    cell.kind = kind;
    return cell;
  }
};

struct EventTable {
  TextPool texts;
  // One entry per row.
  std::vector<TextId> partitions;
  std::vector<std::int64_t> timestamps;
  std::vector<TextId> types;
  std::vector<std::size_t> positions;
  // One entry per attribute column.
  std::vector<TextId> attribute_names;
  std::vector<std::vector<Cell>> columns;

  std::size_t size() const noexcept { return timestamps.size(); }

  // The column holding the attribute, if any.
  std::optional<std::size_t> column_of(std::string_view name) const noexcept;

  // The cell back as a Value; a Missing cell has none.
  std::optional<Value> value_of(const Cell& cell) const;

  // A cell for `value`, interning its text.
  Cell cell_of(const Value& value);

  // The events as rows in their given order, with the named attributes as
  // columns; row i holds events[i] and positions[i] == i. Polls `interrupt`
  // once per row and column.
  static EventTable from_events(std::span<const Event> events,
                                std::span<const std::string> attributes, Interrupt interrupt = {});
};

// The attribute names a pattern reads, in first appearance, each once.
std::vector<std::string> attributes_read(const Pattern& pattern);

}  // namespace kestrel
