// The columnar table: its text pool, its cells converted back, and the
// attributes a pattern reads.

#include "kestrel/event_table.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "table/table_builder.hpp"

namespace kestrel {

namespace {

// Interning is the inner loop of reading a text column, so the pool keeps its
// own open-addressing table: one probe usually settles a look-up, where a
// node-based map costs a pointer chase and a division. The hash reads eight
// bytes at a time and mixes with multiplications; texts here are short.
std::uint64_t text_hash(std::string_view text) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  std::uint64_t hash = text.size() * kMultiplier;
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  }
  std::uint64_t tail = 0;
  if (at < text.size()) std::memcpy(&tail, text.data() + at, text.size() - at);
  hash = (hash ^ tail) * kMultiplier;
  return hash ^ (hash >> 32);
}

}  // namespace

namespace {

constexpr std::uint64_t kIdBits = 0xFFFF'FFFFULL;

std::uint64_t tag_of(std::uint64_t hash) noexcept { return hash & ~kIdBits; }

}  // namespace

std::size_t TextPool::slot_of(std::string_view text, std::uint64_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = tag_of(hash);
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) return slot;
    if (tag_of(entry) == tag && views_[(entry & kIdBits) - 1] == text) return slot;
  }
}

void TextPool::grow() {
  std::vector<std::uint64_t> slots(std::max<std::size_t>(64, slots_.size() * 2), 0);
  const std::size_t mask = slots.size() - 1;
  for (TextId id = 0; id < views_.size(); ++id) {
    const std::uint64_t hash = text_hash(views_[id]);
    std::size_t slot = hash & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = tag_of(hash) | (std::uint64_t{id} + 1);
  }
  slots_ = std::move(slots);
}

TextId TextPool::intern(std::string_view text) {
  if (2 * (views_.size() + 1) > slots_.size()) grow();  // at most half full
  const std::uint64_t hash = text_hash(text);
  const std::size_t slot = slot_of(text, hash);
  if (slots_[slot] != 0) return static_cast<TextId>((slots_[slot] & kIdBits) - 1);
  const auto id = static_cast<TextId>(views_.size());
  views_.push_back(texts_.emplace_back(text));
  slots_[slot] = tag_of(hash) | (std::uint64_t{id} + 1);
  return id;
}

std::optional<TextId> TextPool::find(std::string_view text) const noexcept {
  if (slots_.empty()) return std::nullopt;
  const std::uint64_t entry = slots_[slot_of(text, text_hash(text))];
  if (entry == 0) return std::nullopt;
  return static_cast<TextId>((entry & kIdBits) - 1);
}

std::optional<std::size_t> EventTable::column_of(std::string_view name) const noexcept {
  const std::optional<TextId> id = texts.find(name);
  if (!id) return std::nullopt;
  for (std::size_t column = 0; column < attribute_names.size(); ++column) {
    if (attribute_names[column] == *id) return column;
  }
  return std::nullopt;
}

// Each Value is made in place: gcc 12 misreads a Value moved into an
// optional as maybe uninitialized.
std::optional<Value> EventTable::value_of(const Cell& cell) const {
  std::optional<Value> value;
  switch (cell.kind) {
    case CellKind::Missing: break;
    case CellKind::Null: value.emplace(Null{}); break;
    case CellKind::String:
      value.emplace(std::in_place_type<std::string>, texts.text(cell.text));
      break;
    case CellKind::Int: value.emplace(cell.integer); break;
    case CellKind::Float: value.emplace(cell.number); break;
    case CellKind::Bool: value.emplace(cell.flag); break;
  }
  return value;
}

Cell EventTable::cell_of(const Value& value) {
  switch (kind_of(value)) {
    case ValueKind::String: return Cell::of_text(texts.intern(std::get<std::string>(value)));
    case ValueKind::Int: return Cell::of_int(std::get<std::int64_t>(value));
    case ValueKind::Float: return Cell::of_float(std::get<double>(value));
    case ValueKind::Bool: return Cell::of_bool(std::get<bool>(value));
    case ValueKind::Null: break;
  }
  return Cell::null();
}

EventTable EventTable::from_events(std::span<const Event> events,
                                   std::span<const std::string> attributes, Interrupt interrupt) {
  TableBuilder builder;
  builder.add_events(events, attributes, std::move(interrupt));
  return std::move(builder).in_input_order();
}

std::vector<std::string> attributes_read(const Pattern& pattern) {
  std::vector<std::string> names;
  std::unordered_set<std::string_view> seen;
  const auto note = [&](const std::string& name) {
    if (seen.insert(name).second) names.push_back(name);
  };
  const auto note_atom = [&](const Atom& atom) {
    for (const Predicate& predicate : atom.predicates) note(predicate.attribute);
    for (const ReferencePredicate& reference : atom.reference_predicates) note(reference.attribute);
    for (const Capture& capture : atom.captures) note(capture.attribute);
  };
  for (const Step& step : pattern.steps) {
    note_atom(step.atom);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) note_atom(atom);
    }
  }
  return names;
}

}  // namespace kestrel
