// Near-miss records whose indices name rows of a table, renamed to the
// positions those rows stand for.
#pragma once

#include <cstddef>
#include <span>

#include "kestrel/explain.hpp"

namespace kestrel {

// Every index the record holds, i, becomes positions[i].
void renumber(NearMiss& miss, std::span<const std::size_t> positions);

}  // namespace kestrel
