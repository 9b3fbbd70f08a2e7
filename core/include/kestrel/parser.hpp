// The pattern text language: `login[user as $u] -[<=300, no logout[user == $u]]-> purchase`.
#pragma once

#include <string_view>

#include "kestrel/model.hpp"

namespace kestrel {

// The pattern written in `text`, with consumption FirstSuccessorPerStart, or
// the message of the first error found.
Result<Pattern> parse_pattern(std::string_view text);

}  // namespace kestrel
