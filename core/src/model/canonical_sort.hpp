// The sort behind the canonical order, shared by every way events come in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kestrel/interrupt.hpp"

namespace kestrel {

// The row numbers ordered by partition rank, then timestamp, then row number.
std::vector<std::size_t> order_by_partition_and_time(std::span<const std::size_t> partition_ranks,
                                                     std::span<const std::int64_t> timestamps,
                                                     Interrupt& interrupt);

}  // namespace kestrel
