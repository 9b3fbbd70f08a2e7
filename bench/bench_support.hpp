// What the engine benchmarks share: a clock and medians, `--name=value`
// flags, and the sweep that skips the larger sizes of a series once the
// engine has become too slow for them, so that a slow engine still finishes.
#pragma once

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/model.hpp"
#include "kestrel/parser.hpp"

namespace kestrel::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

// Seconds that `work` takes.
template <class Work>
double timed(Work&& work) {
  const auto begin = Clock::now();
  work();
  return seconds_since(begin);
}

// The pattern of `text`, in the given consumption mode.
inline Pattern pattern_with(const char* text, MatchConsumption consumption) {
  auto parsed = parse_pattern(text);
  if (!parsed) throw InternalError(parsed.error());
  Pattern pattern = std::move(parsed).value();
  pattern.consumption = consumption;
  return pattern;
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The exponent e in t ~ n^e between two measurements.
inline double growth_exponent(double n1, double t1, double n2, double t2) {
  return std::log(t2 / t1) / std::log(n2 / n1);
}

// The same stream of pseudo-random numbers as bench/datasets.py, so that the
// C++ and Python benchmarks see the same events.
inline std::uint64_t mix(std::uint64_t seed, std::uint64_t i) {
  std::uint64_t z = seed + (i + 1) * 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// `--name=value` arguments. Each accessor names a flag the program knows;
// finish() rejects any other, so that a typo is not silently ignored.
class Flags {
 public:
  Flags(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
      const std::string_view argument = argv[i];
      const std::size_t equals = argument.find('=');
      if (!argument.starts_with("--") || equals == std::string_view::npos) {
        fail("arguments take the form --name=value, not `" + std::string(argument) + "`");
      }
      values_[std::string(argument.substr(2, equals - 2))] =
          std::string(argument.substr(equals + 1));
    }
  }

  std::int64_t integer(const std::string& name, std::int64_t fallback) {
    known_.insert(name);
    const auto it = values_.find(name);
    return it == values_.end() ? fallback : parse(name, it->second);
  }

  double real(const std::string& name, double fallback) {
    known_.insert(name);
    const auto it = values_.find(name);
    if (it == values_.end()) return fallback;
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != '\0' || !(value > 0))
      fail("--" + name + " needs a positive number");
    return value;
  }

  // A comma-separated list of positive integers, such as --sizes=1000,10000.
  std::vector<std::int64_t> integers(const std::string& name, std::vector<std::int64_t> fallback) {
    known_.insert(name);
    const auto it = values_.find(name);
    if (it == values_.end()) return fallback;
    std::vector<std::int64_t> list;
    std::string_view rest = it->second;
    while (true) {
      const std::size_t comma = rest.find(',');
      list.push_back(parse(name, rest.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    return list;
  }

  void finish() const {
    for (const auto& [name, value] : values_) {
      if (known_.count(name)) continue;
      std::string known;
      for (const std::string& flag : known_) known += " --" + flag + "=";
      fail("unknown flag --" + name + "; this program takes" + known);
    }
  }

 private:
  [[noreturn]] static void fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(2);
  }

  static std::int64_t parse(const std::string& name, std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) {
      fail("--" + name + " needs a positive integer, not `" + std::string(text) + "`");
    }
    return value;
  }

  std::map<std::string, std::string> values_;
  std::set<std::string> known_;
};

// One series of measurements at growing sizes. A size is skipped once the
// previous one took more than `cap` seconds, or when the growth seen so far
// (at least linear) predicts more than two caps; a run that passes five caps
// is stopped through the engine's Interrupt.
class Sweep {
 public:
  explicit Sweep(double cap) : cap_(cap) {}

  // Why `size` is not measured, or nothing when it is.
  std::optional<std::string> skip_reason(double size) const {
    if (stopped_) return "skipped: a smaller size was stopped";
    if (sizes_.empty()) return std::nullopt;
    const double last = seconds_.back();
    char text[160];
    if (last > cap_) {
      std::snprintf(text, sizeof text, "skipped: previous size took %.1f s", last);
      return text;
    }
    const double exponent = std::max(1.0, last_exponent().value_or(1.0));
    const double predicted = last * std::pow(size / sizes_.back(), exponent);
    if (predicted > 2 * cap_) {
      std::snprintf(text, sizeof text,
                    "skipped: previous size took %.1f s, this one would take about %.0f s", last,
                    predicted);
      return text;
    }
    return std::nullopt;
  }

  // Stops an engine call that runs past the limit, counted from this call.
  Interrupt interrupt() {
    begin_ = Clock::now();
    return Interrupt([this] { return seconds_since(begin_) > limit(); });
  }

  void record(double size, double seconds) {
    sizes_.push_back(size);
    seconds_.push_back(seconds);
  }

  void record_stopped() { stopped_ = true; }

  double limit() const { return 5 * cap_; }

  // The growth exponent between the last two sizes recorded.
  std::optional<double> last_exponent() const {
    const std::size_t n = sizes_.size();
    if (n < 2) return std::nullopt;
    return growth_exponent(sizes_[n - 2], seconds_[n - 2], sizes_[n - 1], seconds_[n - 1]);
  }

 private:
  double cap_;
  std::vector<double> sizes_;
  std::vector<double> seconds_;
  bool stopped_ = false;
  Clock::time_point begin_ = Clock::now();
};

// Runs `work` (which calls the engine with the Interrupt it is given) up to
// `runs` times, fewer when one run takes over a second, and returns the median
// time, or nothing when the sweep's limit stopped it.
template <class Work>
std::optional<double> measure(Sweep& sweep, int runs, Work&& work) {
  std::vector<double> seconds;
  for (int run = 0; run < runs; ++run) {
    try {
      Interrupt interrupt = sweep.interrupt();
      seconds.push_back(timed([&] { work(interrupt); }));
    } catch (const Interrupted&) {
      sweep.record_stopped();
      return std::nullopt;
    }
    if (seconds.back() > 1.0) break;
  }
  return median(seconds);
}

}  // namespace kestrel::bench
