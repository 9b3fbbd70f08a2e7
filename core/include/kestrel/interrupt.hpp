// Stopping a long engine call from outside.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <utility>

namespace kestrel {

// Thrown by a long engine call that its Interrupt stopped.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Lets the caller stop a long engine call. The call polls it in its inner
// loops; every kInterval polls it asks `stop_requested`, and unwinds with
// Interrupted when the answer is yes. A default Interrupt never stops.
class Interrupt {
 public:
  static constexpr std::uint32_t kInterval = 4096;

  Interrupt() = default;
  explicit Interrupt(std::function<bool()> stop_requested)
      : stop_requested_(std::move(stop_requested)) {}

  void poll() {
    if (--countdown_ == 0) ask();
  }

  // What it asks, for handing on to a call that takes RunOptions.
  const std::function<bool()>& question() const noexcept { return stop_requested_; }

 private:
  void ask();

  std::function<bool()> stop_requested_;
  std::uint32_t countdown_ = kInterval;
};

}  // namespace kestrel
