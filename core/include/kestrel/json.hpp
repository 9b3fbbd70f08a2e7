// The stable JSON form of a pattern: one object per record, keys in field
// order, in a compact or an indented layout.
#pragma once

#include <string>
#include <string_view>

#include "kestrel/model.hpp"

namespace kestrel {

// The compact layout: no whitespace between tokens.
std::string pattern_to_json(const Pattern& pattern);

// The indented layout: two spaces per level, one member per line.
std::string pattern_to_json_pretty(const Pattern& pattern);

// The pattern written in `text`, checked against the structural rules, or the
// message of the first error. Messages about the text end with
// " at line L column C" (C counts bytes and points at the offending byte).
// Malformed JSON anywhere in `text` is reported in preference to a
// well-formed value of the wrong shape. Texts must be valid UTF-8.
Result<Pattern> pattern_from_json(std::string_view text);

}  // namespace kestrel
