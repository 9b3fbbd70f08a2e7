// A pattern compiled against one event table for the matcher: each step's
// atoms, window and key indexes, and for each event type the steps it may
// advance, the absence atoms it may satisfy and whether it starts a match.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/atoms/table_atom.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/pattern.hpp"

namespace kestrel {

// How an absence atom finds the threads it blocks.
enum class AbsenceReach : std::uint8_t { WholeStep, ByKey, EachThread };

struct CompiledAbsence {
  TableAtom atom;
  AbsenceReach reach = AbsenceReach::EachThread;
  std::uint32_t index = 0;  // ByKey: the step's index to look up
  ColumnId key_column = kNoColumn;
};

// A step with the transition that leads into it.
struct CompiledStep {
  TableAtom atom;
  std::optional<std::int64_t> max_elapsed;
  std::vector<CompiledAbsence> absence;
  // The bound slot each of the step's indexes keys on.
  std::vector<SlotId> index_slots;
  // The index that advancing looks up, when the atom has an `==` reference.
  std::optional<std::uint32_t> advance_index;
  ColumnId advance_column = kNoColumn;
  // No thread waiting for the step could ever take it.
  bool unreachable = false;

  std::uint32_t index_for(SlotId slot) {
    const auto it = std::find(index_slots.begin(), index_slots.end(), slot);
    if (it != index_slots.end()) return static_cast<std::uint32_t>(it - index_slots.begin());
    index_slots.push_back(slot);
    return static_cast<std::uint32_t>(index_slots.size() - 1);
  }
};

// What an event of one type does: the steps it may advance, the absence
// atoms it may satisfy, and whether it may start a match.
struct TypeRole {
  std::vector<std::uint32_t> advances;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> absences;  // step, atom
  bool starts = false;
};

class CompiledPattern {
 public:
  CompiledPattern(const Pattern& pattern, const EventTable& table);

  const std::vector<CompiledStep>& steps() const noexcept { return steps_; }
  MatchConsumption consumption() const noexcept { return consumption_; }
  std::size_t slot_count() const noexcept { return slot_names_.size(); }
  std::size_t index_count() const noexcept { return index_count_; }
  const std::vector<std::uint32_t>& windowed_steps() const noexcept { return windowed_; }

  // Null for a type no atom names. A stream's texts grow after compiling;
  // the pattern's own were interned first, so a later id names none.
  const TypeRole* role_of(TextId type) const noexcept {
    if (type >= role_by_type_.size()) return nullptr;
    const std::int32_t role = role_by_type_[type];
    return role < 0 ? nullptr : &roles_[static_cast<std::size_t>(role)];
  }

  Bindings captures_of(const EventTable& table, const Cell* slots) const {
    return bindings_of(table, slot_names_, slots_by_name_, slots);
  }

 private:
  CompiledStep compile_step(const Step& step, AtomCompiler& compiler) const;
  TypeRole& role(TextId type);

  std::vector<CompiledStep> steps_;
  MatchConsumption consumption_;
  std::vector<std::string> slot_names_;
  std::vector<SlotId> slots_by_name_;
  std::size_t index_count_ = 0;
  std::vector<std::uint32_t> windowed_;
  std::vector<std::int32_t> role_by_type_;
  std::vector<TypeRole> roles_;
};

}  // namespace kestrel
