// Warnings about a pattern that cannot match the events it is given.
//
// Two mistakes make a pattern silently match nothing: a step naming an event
// type that the events never hold (usually a typo, so the message offers the
// nearest types by edit distance) and a reference to a name that no earlier
// step captures (an atom's own captures bind only after its tests, and
// absence atoms capture nothing, so neither counts). Absence atoms that name
// an absent type forbid nothing and are no mistake. A negative window cannot
// be met either, as a step's event never comes before the previous step's;
// a zero window can, by events at the same timestamp.

#include "kestrel/pattern_warnings.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

namespace kestrel {

namespace {

constexpr std::size_t kClosest = 3;
constexpr std::size_t kListed = 10;

// Levenshtein distance, one row at a time.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

template <class Items, class Show>
std::string listed(const Items& items, std::size_t limit, Show show) {
  std::string out;
  for (std::size_t i = 0; i < items.size() && i < limit; ++i) {
    if (i > 0) out += ", ";
    out += show(items[i]);
  }
  if (items.size() > limit) out += " and " + std::to_string(items.size() - limit) + " more";
  return out;
}

std::string quoted(std::string_view text) { return "`" + std::string(text) + "`"; }
std::string binding(std::string_view name) { return "`$" + std::string(name) + "`"; }

// The distinct types of the rows, in order of first appearance.
std::vector<std::string_view> types_present(const EventTable& table) {
  std::vector<std::string_view> types;
  std::vector<bool> seen(table.texts.size());
  for (const TextId type : table.types) {
    if (seen[type]) continue;
    seen[type] = true;
    types.push_back(table.texts.text(type));
  }
  return types;
}

std::string missing_type(std::size_t step, std::string_view type,
                         const std::vector<std::string_view>& present) {
  std::string out = "step " + std::to_string(step) + ": event type " + quoted(type) +
                    " never occurs in the events";
  if (present.empty()) return out + "; there are no events";
  const std::size_t within = std::max<std::size_t>(2, type.size() / 3);
  std::vector<std::pair<std::size_t, std::size_t>> close;  // distance, order of appearance
  for (std::size_t i = 0; i < present.size(); ++i) {
    const std::size_t distance = edit_distance(type, present[i]);
    if (distance <= within) close.emplace_back(distance, i);
  }
  std::sort(close.begin(), close.end());
  if (close.empty()) {
    return out + "; the types present are " + listed(present, kListed, quoted);
  }
  close.resize(std::min(close.size(), kClosest));
  return out + "; closest: " + listed(close, kClosest, [&](const auto& entry) {
           return quoted(present[entry.second]);
         });
}

std::string unbound_reference(std::size_t step, std::string_view name,
                              const std::vector<std::string>& captured) {
  std::string out = "step " + std::to_string(step) + ": " + binding(name) +
                    " is never captured before it is used";
  if (captured.empty()) return out + "; no step captures a name";
  return out + "; captured names are " +
         listed(captured, captured.size(), [](const std::string& n) { return binding(n); });
}

std::optional<std::string> negative_window(std::size_t step, const Step& of) {
  const std::optional<Transition>& transition = of.transition_from_previous;
  if (!transition || !transition->max_elapsed || *transition->max_elapsed >= 0) return std::nullopt;
  return "step " + std::to_string(step) +
         ": window `<=" + std::to_string(*transition->max_elapsed) +
         "` is negative, so no event can follow the previous step's within it";
}

// The names the steps' atoms capture, in first capture order.
std::vector<std::string> captured_names(const Pattern& pattern) {
  std::vector<std::string> names;
  for (const Step& step : pattern.steps) {
    for (const Capture& capture : step.atom.captures) {
      if (std::find(names.begin(), names.end(), capture.name) == names.end()) {
        names.push_back(capture.name);
      }
    }
  }
  return names;
}

// The names the step's atom and its absence atoms refer to, each once.
std::vector<std::string_view> referenced_names(const Step& step) {
  std::vector<std::string_view> names;
  const auto note = [&](const Atom& atom) {
    for (const ReferencePredicate& reference : atom.reference_predicates) {
      if (std::find(names.begin(), names.end(), reference.binding) == names.end()) {
        names.push_back(reference.binding);
      }
    }
  };
  note(step.atom);
  if (step.transition_from_previous) {
    for (const Atom& atom : step.transition_from_previous->absence) note(atom);
  }
  return names;
}

}  // namespace

std::vector<std::string> pattern_warnings(const Pattern& pattern, const EventTable& table) {
  const std::vector<std::string_view> present = types_present(table);
  const std::vector<std::string> captured = captured_names(pattern);
  std::vector<std::string> warnings;
  std::set<std::string_view> bound;
  for (std::size_t k = 0; k < pattern.steps.size(); ++k) {
    const Step& step = pattern.steps[k];
    if (std::find(present.begin(), present.end(), step.atom.event_type) == present.end()) {
      warnings.push_back(missing_type(k + 1, step.atom.event_type, present));
    }
    if (std::optional<std::string> window = negative_window(k + 1, step)) {
      warnings.push_back(std::move(*window));
    }
    for (const std::string_view name : referenced_names(step)) {
      if (!bound.contains(name)) warnings.push_back(unbound_reference(k + 1, name, captured));
    }
    for (const Capture& capture : step.atom.captures) bound.insert(capture.name);
  }
  return warnings;
}

}  // namespace kestrel
