// The near-miss search exactly as written, with every viable path of every
// start: the judge of the engine's search. Its recursion is as deep as the
// pattern, which stays small wherever it is used.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "engine/atoms/transition.hpp"
#include "engine/explain/deepest_path.hpp"
#include "kestrel/explain.hpp"

namespace kestrel::literal {

inline Reach deepest_path(std::span<const Event> events, std::size_t end, const Pattern& pattern,
                          std::size_t step, Reach reach) {
  if (step == pattern.steps.size()) return reach;
  const std::size_t last = reach.path.back();
  const Transition& transition = *pattern.steps[step].transition_from_previous;
  std::optional<Reach> best;
  for (std::size_t c = last + 1; c < end; ++c) {
    if (!transition_allows(events, last, c, transition, reach.bindings)) continue;
    auto bindings = pattern.steps[step].atom.evaluate(events[c], reach.bindings);
    if (!bindings) continue;
    Reach extended{reach.path, *bindings};
    extended.path.push_back(c);
    Reach result = literal::deepest_path(events, end, pattern, step + 1, std::move(extended));
    if (!best || result.path.size() > best->path.size() ||
        (result.path.size() == best->path.size() && result.path < best->path)) {
      best = std::move(result);
    }
  }
  return best ? *best : reach;
}

inline bool same_content(const Value& a, const Value& b) {
  if (a.index() != b.index()) return false;
  if (const auto* x = std::get_if<std::string>(&a)) return *x == std::get<std::string>(b);
  if (const auto* x = std::get_if<std::int64_t>(&a)) return *x == std::get<std::int64_t>(b);
  if (const auto* x = std::get_if<double>(&a)) return *x == std::get<double>(b);
  if (const auto* x = std::get_if<bool>(&a)) return *x == std::get<bool>(b);
  return true;
}

inline std::optional<Value> lookup(const ValueMap& map, const std::string& key) {
  const Value* v = map.find(key);
  return v ? std::optional<Value>(*v) : std::nullopt;
}

inline std::vector<PredicateFailure> failures(const Atom& atom, const Event& e, const Bindings& b) {
  std::vector<PredicateFailure> out;
  for (const auto& p : atom.predicates) {
    auto actual = lookup(e.attrs, p.attribute);
    if (!actual || !matches(p.op, *actual, p.value))
      out.push_back(PredicateMismatch{p.attribute, p.op, p.value, actual});
  }
  for (const auto& r : atom.reference_predicates) {
    auto actual = lookup(e.attrs, r.attribute);
    auto bound = lookup(b, r.binding);
    if (!actual || !bound || !matches(r.op, *actual, *bound)) {
      out.push_back(ReferenceMismatch{r.attribute, r.op, r.binding, bound, actual});
    }
  }
  if (!b.empty()) {
    for (const auto& c : atom.captures) {
      auto bound = lookup(b, c.name);
      if (!bound) continue;
      Value would = lookup(e.attrs, c.attribute).value_or(Null{});
      if (!same_content(*bound, would))
        out.push_back(CaptureConflict{c.name, c.attribute, *bound, would});
    }
  }
  return out;
}

inline std::vector<NearMiss> near_misses(std::span<const Event> events, const Pattern& pattern) {
  std::vector<NearMiss> out;
  for (std::size_t begin = 0, end = 0; begin < events.size(); begin = end) {
    end = begin;
    while (end < events.size() && events[end].partition == events[begin].partition) ++end;
    for (std::size_t s = begin; s < end; ++s) {
      auto start = pattern.steps[0].atom.evaluate(events[s], Bindings{});
      if (!start) continue;
      Reach r = literal::deepest_path(events, end, pattern, 1, Reach{{s}, *start});
      if (r.path.size() == pattern.steps.size()) continue;
      const std::size_t k = r.path.size();
      const Step& n = pattern.steps[k];
      const Transition& t = *n.transition_from_previous;
      const std::size_t last = r.path.back();
      const Bindings& b = r.bindings;
      std::optional<WindowExceeded> window;
      std::optional<AbsenceBlocked> absence;
      std::optional<NearMissDetail> detail;
      for (std::size_t c = last + 1; c < end && !detail; ++c) {
        if (events[c].typ != n.atom.event_type) continue;
        const __int128 gap = static_cast<__int128>(events[c].ts) - events[last].ts;
        if (t.max_elapsed && gap > *t.max_elapsed) {
          const __int128 top = std::numeric_limits<std::int64_t>::max();
          const __int128 bottom = std::numeric_limits<std::int64_t>::min();
          const auto saturated = static_cast<std::int64_t>(std::clamp(gap, bottom, top));
          if (!window) window = WindowExceeded{c, saturated, *t.max_elapsed};
          continue;
        }
        if (c > last + 1 && !t.absence.empty()) {
          std::optional<std::size_t> blocking;
          for (std::size_t e = last + 1; e < c && !blocking; ++e) {
            for (const Atom& a : t.absence) {
              if (a.evaluate(events[e], b)) {
                blocking = e;
                break;
              }
            }
          }
          if (blocking) {
            if (!absence) {
              absence = AbsenceBlocked{c, *blocking, events[*blocking].typ,
                                       n.atom.evaluate(events[c], b).has_value()};
            }
            continue;
          }
        }
        detail = PredicateFailed{failures(n.atom, events[c], b), c};
      }
      if (!detail) {
        if (absence) {
          detail = *absence;
        } else if (window) {
          detail = *window;
        } else {
          detail = NoSuccessor{};
        }
      }
      out.push_back(NearMiss{events[s].partition, s, r.path, k, k, n.atom.event_type, *detail, b});
    }
  }
  return out;
}

}  // namespace kestrel::literal
