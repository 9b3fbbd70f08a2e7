// The pattern parser's pieces, which its tests, the fuzz targets and the
// binding's name checks use on their own.
#pragma once

#include <string_view>

#include "kestrel/model.hpp"

namespace kestrel {

// One atom: an event type, optionally followed by a bracketed clause list.
Result<Atom> parse_atom(std::string_view text);

// The leading part of `text` up to the first `->` or `-[` at bracket depth 0
// (all of `text` when there is none), without trailing white space.
std::string_view take_until_transition(std::string_view text);

// `text` without leading and trailing Unicode White_Space. Only complete,
// valid UTF-8 encodings are removed; other bytes are kept as they are.
std::string_view trim_white_space(std::string_view text);

}  // namespace kestrel
