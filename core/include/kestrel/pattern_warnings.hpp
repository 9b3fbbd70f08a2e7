// Why a pattern cannot match some events, found before matching: the mistakes
// that would otherwise return nothing without a word.
#pragma once

#include <string>
#include <vector>

#include "kestrel/event_table.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

// One sentence per problem, in step order:
// - a step (not an absence) whose event type never occurs in `table`, naming
//   the closest types that do occur;
// - a reference to a binding that no earlier step captures.
std::vector<std::string> pattern_warnings(const Pattern& pattern, const EventTable& table);

}  // namespace kestrel
