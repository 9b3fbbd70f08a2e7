// Readable renderings of engine records for test comparisons and failure
// reports. Every field is written, floats with their bits, so that two
// renderings are equal exactly when the records are identical (NaN and -0.0
// included), which the records' own == cannot say.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <sstream>
#include <string>
#include <vector>

#include "engine/explain/deepest_path.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/model.hpp"

namespace kestrel {

inline std::string describe(const Value& value) {
  std::ostringstream out;
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) out << '"' << v << '"';
        if constexpr (std::is_same_v<T, std::int64_t>) out << "i" << v;
        if constexpr (std::is_same_v<T, double>)
          out << "f" << v << "#" << std::hex << std::bit_cast<std::uint64_t>(v);
        if constexpr (std::is_same_v<T, bool>) out << (v ? "true" : "false");
        if constexpr (std::is_same_v<T, Null>) out << "null";
      },
      value);
  return out.str();
}

inline std::string describe(const std::optional<Value>& value) {
  return value ? describe(*value) : "absent";
}

inline std::string describe(const ValueMap& map) {
  std::string out = "{";
  for (const auto& [name, value] : map) out += name + ":" + describe(value) + " ";
  return out + "}";
}

inline std::string describe(const std::vector<std::size_t>& indices) {
  std::string out = "[";
  for (std::size_t i : indices) out += std::to_string(i) + " ";
  return out + "]";
}

inline std::string describe(const Match& match) {
  std::ostringstream out;
  out << match.partition << " " << describe(match.indices) << " " << match.start << ".."
      << match.end << " " << describe(match.captures);
  return out.str();
}

inline std::string describe(const PredicateFailure& failure) {
  std::ostringstream out;
  out << failure_type_text(failure) << "(";
  if (const auto* p = std::get_if<PredicateMismatch>(&failure)) {
    out << p->attribute << operator_symbol(p->op) << describe(p->expected) << " got "
        << describe(p->actual);
  } else if (const auto* r = std::get_if<ReferenceMismatch>(&failure)) {
    out << r->attribute << operator_symbol(r->op) << "$" << r->binding << "=" << describe(r->bound)
        << " got " << describe(r->actual);
  } else {
    const auto& c = std::get<CaptureConflict>(failure);
    out << c.name << "<-" << c.attribute << " bound " << describe(c.bound) << " got "
        << describe(c.actual);
  }
  return out.str() + ")";
}

inline std::string describe(const NearMissDetail& detail) {
  std::ostringstream out;
  out << reason_text(detail) << "(";
  if (const auto* p = std::get_if<PredicateFailed>(&detail)) {
    out << p->event_index << ";";
    for (const auto& failure : p->failures) out << " " << describe(failure);
  } else if (const auto* a = std::get_if<AbsenceBlocked>(&detail)) {
    out << a->candidate_index << " by " << a->blocking_index << " " << a->blocking_event_type << " "
        << a->candidate_satisfies;
  } else if (const auto* w = std::get_if<WindowExceeded>(&detail)) {
    out << w->candidate_index << " gap " << w->gap << " max " << w->max_elapsed;
  }
  return out.str() + ")";
}

inline std::string describe(const NearMiss& m) {
  std::ostringstream out;
  out << m.partition << " start " << m.start_index << " path " << describe(m.indices) << " reached "
      << m.reached_steps << " next " << m.next_step << " " << m.next_event_type << " "
      << describe(m.detail) << " " << describe(m.captures);
  return out.str();
}

inline std::string describe(const Reach& reach) {
  return describe(reach.path) + " " + describe(reach.bindings);
}

// One line per record, so that gtest shows a line diff of two lists.
template <class Record>
std::string describe(const std::vector<Record>& records) {
  std::string out;
  for (const Record& record : records) out += describe(record) + "\n";
  return out;
}

inline std::string describe(const Atom& atom) {
  std::string out = atom.event_type + "{";
  for (const auto& p : atom.predicates)
    out += " " + p.attribute + std::string(operator_symbol(p.op)) + describe(p.value);
  for (const auto& r : atom.reference_predicates)
    out += " " + r.attribute + std::string(operator_symbol(r.op)) + "$" + r.binding;
  for (const auto& c : atom.captures) out += " $" + c.name + "<-" + c.attribute;
  return out + " }";
}

inline std::string describe(const Pattern& pattern) {
  std::string out =
      pattern.consumption == MatchConsumption::ExhaustivePerStart ? "exhaustive" : "first";
  for (const Step& step : pattern.steps) {
    out += "\n  ";
    if (const auto& t = step.transition_from_previous) {
      out += "then";
      if (t->max_elapsed) out += " within " + std::to_string(*t->max_elapsed);
      for (const Atom& absent : t->absence) out += " without " + describe(absent);
      out += ": ";
    }
    out += describe(step.atom);
  }
  return out;
}

inline std::string describe(const Event& event) {
  return "'" + event.partition + "' " + std::to_string(event.ts) + " " + event.typ + " " +
         describe(event.attrs);
}

// What equal renderings say, without rendering: for checks run many times.
inline bool identical(const Value& a, const Value& b) {
  const auto* x = std::get_if<double>(&a);
  const auto* y = std::get_if<double>(&b);
  if (x && y) return std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(*y);
  return a.index() == b.index() && a == b;
}

inline bool identical(const ValueMap& a, const ValueMap& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && identical(x.second, y.second);
  });
}

inline void PrintTo(const NearMiss& m, std::ostream* os) { *os << describe(m); }
inline void PrintTo(const Reach& r, std::ostream* os) { *os << describe(r); }

}  // namespace kestrel
