// The four order comparisons, shared by Values and table cells.
#pragma once

#include "kestrel/value.hpp"

namespace kestrel {

// Whether `left op right` holds for an order operator; false for == and !=,
// which the callers decide by equality.
template <class T>
bool ordered(ComparisonOperator op, T left, T right) noexcept {
  switch (op) {
    case ComparisonOperator::Gt: return left > right;
    case ComparisonOperator::Gte: return left >= right;
    case ComparisonOperator::Lt: return left < right;
    case ComparisonOperator::Lte: return left <= right;
    default: return false;
  }
}

}  // namespace kestrel
