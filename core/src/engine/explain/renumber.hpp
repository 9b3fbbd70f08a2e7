// Near-miss records whose indices name rows of a table, renamed to the
// positions those rows stand for.
#pragma once

#include <cstddef>
#include <span>
#include <variant>

#include "kestrel/explain.hpp"

namespace kestrel {

// Visits, by reference, every index the reason holds (`Detail` is a
// NearMissDetail, const or not).
template <class Detail, class Visit>
void for_each_detail_index(Detail& detail, Visit visit) {
  if (auto* failed = std::get_if<PredicateFailed>(&detail)) visit(failed->event_index);
  if (auto* blocked = std::get_if<AbsenceBlocked>(&detail)) {
    visit(blocked->candidate_index);
    visit(blocked->blocking_index);
  }
  if (auto* late = std::get_if<WindowExceeded>(&detail)) visit(late->candidate_index);
}

// Visits, by reference, every index the record holds (`Miss` is a
// NearMiss, const or not).
template <class Miss, class Visit>
void for_each_index(Miss& miss, Visit visit) {
  visit(miss.start_index);
  for (auto& index : miss.indices) visit(index);
  for_each_detail_index(miss.detail, visit);
}

// Every index the record holds, i, becomes positions[i].
inline void renumber(NearMiss& miss, std::span<const std::size_t> positions) {
  for_each_index(miss, [&](std::size_t& index) { index = positions[index]; });
}

}  // namespace kestrel
