// The deepest-path search of one start, on its own: the near-miss search
// runs it for every start at once, and tests hold it to the literal search.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kestrel/model.hpp"

namespace kestrel {

// A partial path with the bindings its steps captured.
struct Reach {
  std::vector<std::size_t> path;
  Bindings bindings;

  friend bool operator==(const Reach&, const Reach&) = default;
};

// The longest path extending `reach` from step `next_step` on, within the
// partition run that ends (exclusively) at `run_end`; among equally long
// paths the lexicographically smallest. Returns `reach` itself when nothing
// extends it. Events must be in canonical order.
Reach deepest_path(std::span<const Event> events, std::size_t run_end, const Pattern& pattern,
                   std::size_t next_step, Reach reach);

}  // namespace kestrel
