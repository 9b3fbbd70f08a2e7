// A visitor made of lambdas, one per alternative of a variant.
#pragma once

namespace kestrel {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace kestrel
