// The reference matcher, which states the matching rules directly: the
// judge of the compiled matcher in the tests, and behind the binding's
// use_oracle.
#pragma once

#include <span>
#include <vector>

#include "kestrel/interrupt.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

// Returns exactly what compiled_matches returns.
std::vector<Match> oracle_matches(std::span<const Event> events, const Pattern& pattern,
                                  Interrupt interrupt = {});

}  // namespace kestrel
