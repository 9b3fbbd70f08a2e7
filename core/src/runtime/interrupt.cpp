// Stopping a long engine call from outside.

#include "kestrel/interrupt.hpp"

namespace kestrel {

void Interrupt::ask() {
  countdown_ = kInterval;
  if (stop_requested_ && stop_requested_()) throw Interrupted();
}

}  // namespace kestrel
