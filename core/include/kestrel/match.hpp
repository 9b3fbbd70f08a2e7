// What the matchers return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/value.hpp"

namespace kestrel {

struct Match {
  std::string partition;
  std::vector<std::size_t> indices;
  std::int64_t start = 0;
  std::int64_t end = 0;
  Bindings captures;

  friend bool operator==(const Match&, const Match&) = default;
};

}  // namespace kestrel
