// A funnel from its pieces: per group and step, the counts of the pieces
// that reached it and the quantiles of their times, which come from
// selection rather than sorting. Linear in the pieces and their times.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kestrel/error.hpp"
#include "kestrel/funnel.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

// Linear interpolation between the closest ranks; reorders `values`.
double quantile(std::vector<double>& values, double q) {
  const double rank = q * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(std::floor(rank));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(low), values.end());
  const double below = values[low];
  if (low + 1 == values.size()) return below;
  const double above =
      *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(low) + 1, values.end());
  return below + (rank - static_cast<double>(low)) * (above - below);
}

class Reducer {
 public:
  Reducer(const FunnelPieces& pieces, const Pattern& pattern, Interrupt& interrupt)
      : pieces_(pieces), pattern_(pattern), interrupt_(interrupt) {}

  std::vector<FunnelGroup> reduce() {
    if (pattern_.steps.size() != pieces_.steps) {
      throw InternalError("funnel pieces have as many steps as their pattern");
    }
    std::vector<std::vector<std::size_t>> members(pieces_.keys.size());
    for (std::size_t i = 0; i < pieces_.pieces.size(); ++i) {
      interrupt_.poll();
      members.at(pieces_.pieces[i].group).push_back(i);
    }
    std::vector<FunnelGroup> out;
    for (std::size_t g = 0; g < members.size(); ++g) out.push_back(group(g, members[g]));
    return out;
  }

 private:
  FunnelGroup group(std::size_t g, const std::vector<std::size_t>& members) {
    FunnelGroup out{pieces_.keys[g], {}};
    std::vector<double> times;
    for (std::size_t k = 1; k <= pieces_.steps; ++k) {
      FunnelStep& step = out.steps.emplace_back();
      step.step = k;
      step.event_type = pattern_.steps[k - 1].atom.event_type;
      times.clear();
      for (const std::size_t i : members) {
        interrupt_.poll();
        const FunnelPiece& piece = pieces_.pieces[i];
        if (piece.depth < k) continue;
        ++step.entered;
        if (piece.depth == k && piece.reason != kFunnelComplete) ++step.dropped.at(piece.reason);
        if (k < 2) continue;
        if (const std::optional<std::int64_t> time = pieces_.time(i, k)) {
          times.push_back(static_cast<double>(*time));
        }
      }
      if (k >= 2) {
        const std::size_t before = out.steps[k - 2].entered;
        if (before > 0) {
          step.conversion = static_cast<double>(step.entered) / static_cast<double>(before);
        }
      }
      if (!times.empty()) {
        step.time_p50 = quantile(times, 0.5);
        step.time_p90 = quantile(times, 0.9);
      }
    }
    return out;
  }

  const FunnelPieces& pieces_;
  const Pattern& pattern_;
  Interrupt& interrupt_;
};

}  // namespace

std::vector<FunnelGroup> reduce_funnel(const FunnelPieces& pieces, const Pattern& pattern,
                                       const RunOptions& options) {
  std::vector<FunnelGroup> groups;
  run_shares(1, options, [&](std::size_t, Interrupt& interrupt) {
    groups = Reducer(pieces, pattern, interrupt).reduce();
  });
  return groups;
}

}  // namespace kestrel
