// ISO-8601 dates and times read as nanoseconds since the epoch.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrel {

struct IsoInstant {
  enum class Status : std::uint8_t { Ok, Malformed, OutOfRange };
  Status status = Status::Malformed;
  std::int64_t nanoseconds = 0;  // when Ok
  bool has_offset = false;       // the text ended in Z or +-HH[:MM]
};

// YYYY-MM-DD, then optionally T (or a space) and HH:MM[:SS[.fraction of up
// to 9 digits]] with an optional Z or +-HH[:MM]. A text without an offset is
// read as UTC.
IsoInstant parse_iso8601(std::string_view text) noexcept;

}  // namespace kestrel
