// near_misses on shop sessions: 100,000 events in 1,000 user partitions, a
// three-step pattern without a window, most of whose starts fail.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kestrel/explain.hpp"

namespace {

using kestrel::Atom;
using kestrel::Capture;
using kestrel::ComparisonOperator;
using kestrel::Event;
using kestrel::Pattern;
using kestrel::Predicate;
using kestrel::ReferencePredicate;
using kestrel::Step;
using kestrel::Transition;

constexpr std::size_t kPartitions = 1000;
constexpr std::size_t kEventsPerPartition = 100;
constexpr int kRuns = 5;

// Sessions of login, browsing, carts, checkouts, failed payments and logouts,
// with devices that change between logins.
std::vector<Event> shop_events() {
  std::mt19937_64 rng(20240601);
  const std::array<const char*, 3> devices{"web", "ios", "android"};
  const std::array<std::pair<const char*, int>, 6> types{{{"login", 12},
                                                          {"view", 40},
                                                          {"add_to_cart", 18},
                                                          {"checkout", 12},
                                                          {"payment_failed", 6},
                                                          {"logout", 12}}};
  std::vector<int> weights;
  for (const auto& type : types) weights.push_back(type.second);
  std::discrete_distribution<std::size_t> pick_type(weights.begin(), weights.end());
  std::uniform_int_distribution<std::size_t> pick_device(0, devices.size() - 1);
  std::uniform_int_distribution<std::int64_t> amount(1, 200);
  std::uniform_int_distribution<std::int64_t> pause(1, 90);

  std::vector<Event> events;
  events.reserve(kPartitions * kEventsPerPartition);
  for (std::size_t user = 0; user < kPartitions; ++user) {
    char partition[16];
    std::snprintf(partition, sizeof partition, "user-%04zu", user);
    std::int64_t ts = 1'700'000'000;
    const char* device = devices[pick_device(rng)];
    for (std::size_t i = 0; i < kEventsPerPartition; ++i) {
      const char* type = types[pick_type(rng)].first;
      if (std::string_view(type) == "login") device = devices[pick_device(rng)];
      Event event{partition, ts, type, {}};
      event = std::move(event).with_attr("device", std::string(device));
      if (std::string_view(type) == "add_to_cart" || std::string_view(type) == "checkout") {
        event = std::move(event).with_attr("amount", amount(rng));
      }
      events.push_back(std::move(event));
      ts += pause(rng);
    }
  }
  return events;
}

// login (device) -> add_to_cart over 50, no logout between -> checkout on the
// same device, no failed payment between.
Pattern cart_to_checkout() {
  Pattern pattern;
  pattern.steps.push_back(
      Step{Atom("login").with_capture(Capture{"device", "device"}), std::nullopt});
  pattern.steps.push_back(
      Step{Atom("add_to_cart")
               .with_predicate(Predicate{"amount", ComparisonOperator::Gt, std::int64_t{50}}),
           Transition{}.with_absence(Atom("logout"))});
  pattern.steps.push_back(Step{
      Atom("checkout")
          .with_reference_predicate(ReferencePredicate{"device", ComparisonOperator::Eq, "device"}),
      Transition{}.with_absence(Atom("payment_failed"))});
  return pattern;
}

}  // namespace

int main() {
  const std::vector<Event> events = shop_events();
  const Pattern pattern = cart_to_checkout();
  std::size_t starts = 0;
  for (const Event& event : events) starts += event.typ == "login";

  std::vector<double> seconds;
  std::vector<kestrel::NearMiss> misses;
  for (int run = 0; run < kRuns; ++run) {
    const auto begin = std::chrono::steady_clock::now();
    misses = kestrel::near_misses(events, pattern);
    const auto end = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(end - begin).count());
  }
  std::sort(seconds.begin(), seconds.end());

  std::array<std::size_t, 4> reasons{};
  for (const auto& miss : misses) ++reasons[miss.detail.index()];
  std::printf("near_misses: %zu events, %zu partitions, %zu starts, %zu near misses\n",
              events.size(), kPartitions, starts, misses.size());
  std::printf(
      "  predicate_failed %zu, absence_blocked %zu, window_exceeded %zu, no_successor %zu\n",
      reasons[0], reasons[1], reasons[2], reasons[3]);
  std::printf("  time: median %.2f ms, best %.2f ms over %d runs\n",
              seconds[seconds.size() / 2] * 1e3, seconds.front() * 1e3, kRuns);
  return 0;
}
