// The versioned byte form of engine state: records as bytes, one description
// of each record's fields serving both the writer and the reader, so that the
// two always agree.
//
// The bytes open with a version and a letter naming what they hold. The
// reader refuses a newer version, another letter, truncated or trailing
// bytes, out-of-range tags, text that is not UTF-8, and records whose parts
// disagree (see the checks below) by throwing StateRefused, so that reading
// hostile state is an error, never a crash, and what it returns is safe to
// use.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kestrel/event_source.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/model.hpp"
#include "kestrel/utf8.hpp"

namespace kestrel {

// Version 2 changed how a stream keeps its state; other states read alike.
inline constexpr std::uint8_t kStateVersion = 2;

// Bytes the reader refused; what() says why ("it is truncated", ...).
class StateRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class T, class Record>
concept Is = std::same_as<std::remove_const_t<T>, Record>;

// The fields of each record, in the order they are written.
void describe(auto& io, Is<Event> auto& e) { io(e.partition, e.ts, e.typ, e.attrs); }
void describe(auto& io, Is<Match> auto& m) {
  io(m.partition, m.indices, m.start, m.end, m.captures);
}
void describe(auto& io, Is<PredicateMismatch> auto& p) {
  io(p.attribute, p.op, p.expected, p.actual);
}
void describe(auto& io, Is<ReferenceMismatch> auto& r) {
  io(r.attribute, r.op, r.binding, r.bound, r.actual);
}
void describe(auto& io, Is<CaptureConflict> auto& c) { io(c.name, c.attribute, c.bound, c.actual); }
void describe(auto& io, Is<PredicateFailed> auto& p) { io(p.failures, p.event_index); }
void describe(auto& io, Is<AbsenceBlocked> auto& a) {
  io(a.candidate_index, a.blocking_index, a.blocking_event_type, a.candidate_satisfies);
}
void describe(auto& io, Is<WindowExceeded> auto& w) { io(w.candidate_index, w.gap, w.max_elapsed); }
void describe(auto&, Is<NoSuccessor> auto&) {}
void describe(auto&, Is<Null> auto&) {}
void describe(auto& io, Is<NearMiss> auto& n) {
  io(n.partition, n.start_index, n.indices, n.reached_steps, n.next_step, n.next_event_type,
     n.detail, n.captures);
}
void describe(auto& io, Is<FunnelStep> auto& s) {
  io(s.step, s.event_type, s.entered, s.dropped, s.conversion, s.time_p50, s.time_p90);
}
void describe(auto& io, Is<TimeColumn> auto& t) { io(t.kind, t.unit, t.timezone); }
void describe(auto& io, Is<Predicate> auto& p) { io(p.attribute, p.op, p.value); }
void describe(auto& io, Is<ReferencePredicate> auto& r) { io(r.attribute, r.op, r.binding); }
void describe(auto& io, Is<Capture> auto& c) { io(c.name, c.attribute); }
void describe(auto& io, Is<Atom> auto& a) {
  io(a.event_type, a.predicates, a.reference_predicates, a.captures);
}
void describe(auto& io, Is<Transition> auto& t) { io(t.max_elapsed, t.absence); }
void describe(auto& io, Is<Step> auto& s) { io(s.atom, s.transition_from_previous); }
void describe(auto& io, Is<Pattern> auto& p) { io(p.steps, p.consumption); }
// The kind, then the one member it uses: the reader reads the kind first.
void describe(auto& io, Is<Cell> auto& c) {
  io(c.kind);
  switch (c.kind) {
    case CellKind::Missing:
    case CellKind::Null: break;
    case CellKind::String: io(c.text); break;
    case CellKind::Int: io(c.integer); break;
    case CellKind::Float: io(c.number); break;
    case CellKind::Bool: io(c.flag); break;
  }
}
void describe(auto& io, Is<EventTable> auto& t) {
  io(t.texts, t.partitions, t.timestamps, t.types, t.positions, t.attribute_names, t.columns);
}
void describe(auto& io, Is<CarriedColumn> auto& c) { io(c.name, c.format, c.values); }
void describe(auto& io, Is<EventSource> auto& s) {
  io(s.table, s.time, s.carried, s.stream_positions);
}

// What the reader checks of a record once it has read it, throwing
// StateRefused when its parts disagree in a way later use would trip on.
// A time unit one of "s", "ms", "us", "ns".
void check(const TimeColumn& time);
// A pattern the engine can run: see find_structural_fault.
void check(const Pattern& pattern);
// Rows of equal length in every vector and column; every text id in the
// pool; each attribute named once; positions a permutation of the rows;
// rows in canonical order (each partition one run, by time, ties by
// position).
void check(const EventTable& table);
// One value per input position of `table`, each fitting the column's format,
// its text in the table's pool.
void check(const CarriedColumn& carried, const EventTable& table);
// The carried columns fit the table; stream positions, when set, one per
// row and ascending.
void check(const EventSource& source);

// How many values each enum written has, for the reader's range check.
template <class E>
inline constexpr std::uint8_t kEnumCount = 0;
template <>
inline constexpr std::uint8_t kEnumCount<ComparisonOperator> = 6;
template <>
inline constexpr std::uint8_t kEnumCount<TimeColumn::Kind> = 2;
template <>
inline constexpr std::uint8_t kEnumCount<CellKind> = 6;
template <>
inline constexpr std::uint8_t kEnumCount<MatchConsumption> = 2;

class StateWriter {
 public:
  explicit StateWriter(char what) {
    out_ += static_cast<char>(kStateVersion);
    out_ += what;
  }

  template <class... T>
  void operator()(const T&... values) {
    (put(values), ...);
  }

  const std::string& bytes() const noexcept { return out_; }

 private:
  void put(std::uint64_t n) {
    for (int shift = 0; shift < 64; shift += 8) out_ += static_cast<char>((n >> shift) & 0xff);
  }
  void put(std::uint32_t n) {
    for (int shift = 0; shift < 32; shift += 8) out_ += static_cast<char>((n >> shift) & 0xff);
  }
  void put(std::int64_t n) { put(static_cast<std::uint64_t>(n)); }
  void put(double x) { put(std::bit_cast<std::uint64_t>(x)); }
  void put(bool b) { out_ += b ? '\1' : '\0'; }
  void put(std::string_view text) {
    put(static_cast<std::uint64_t>(text.size()));
    out_ += text;
  }
  void put(const std::string& text) { put(std::string_view(text)); }
  template <class E>
    requires std::is_enum_v<E>
  void put(const E& e) {
    out_ += static_cast<char>(e);
  }
  template <class T>
  void put(const std::vector<T>& items) {
    put(static_cast<std::uint64_t>(items.size()));
    for (const T& item : items) put(item);
  }
  template <class T, std::size_t N>
  void put(const std::array<T, N>& items) {
    for (const T& item : items) put(item);
  }
  template <class T>
  void put(const std::optional<T>& item) {
    put(item.has_value());
    if (item) put(*item);
  }
  template <class... A>
  void put(const std::variant<A...>& item) {
    out_ += static_cast<char>(item.index());
    std::visit([&](const auto& alternative) { put(alternative); }, item);
  }
  void put(const ValueMap& map) {
    put(static_cast<std::uint64_t>(map.size()));
    for (const auto& [name, value] : map) (*this)(name, value);
  }
  // The texts in id order.
  void put(const TextPool& pool) {
    put(static_cast<std::uint64_t>(pool.size()));
    for (TextId id = 0; id < pool.size(); ++id) put(pool.text(id));
  }
  template <class T>
  void put(const T& record) {
    describe(*this, record);
  }

  std::string out_;
};

class StateReader {
 public:
  // Reads the state in `bytes`, which must hold what `what` names.
  StateReader(std::string_view bytes, char what) : in_(bytes) {
    version_ = byte();
    if (version_ > kStateVersion) {
      fail("it has version " + std::to_string(version_) + "; this kestrel reads version " +
           std::to_string(kStateVersion) + " at most");
    }
    if (version_ == 0 || byte() != static_cast<std::uint8_t>(what)) fail("it is not of this type");
  }

  std::uint8_t version() const noexcept { return version_; }

  template <class... T>
  void operator()(T&... values) {
    (get(values), ...);
  }

  // Every byte read, else the state is refused.
  void finish() const {
    if (!in_.empty()) fail("it has bytes past its end");
  }

  [[noreturn]] static void fail(const std::string& why) { throw StateRefused(why); }

 private:
  std::uint8_t byte() {
    if (in_.empty()) fail("it is truncated");
    const auto b = static_cast<std::uint8_t>(in_.front());
    in_.remove_prefix(1);
    return b;
  }
  // A count of items that each take at least one byte.
  std::size_t count() {
    std::uint64_t n = 0;
    get(n);
    if (n > in_.size()) fail("it is truncated");
    return static_cast<std::size_t>(n);
  }
  std::uint8_t tag(std::size_t limit) {
    const std::uint8_t b = byte();
    if (b >= limit) fail("it holds an unknown tag " + std::to_string(b));
    return b;
  }

  void get(std::uint64_t& n) {
    n = 0;
    for (int shift = 0; shift < 64; shift += 8) n |= std::uint64_t{byte()} << shift;
  }
  void get(std::uint32_t& n) {
    n = 0;
    for (int shift = 0; shift < 32; shift += 8) n |= std::uint32_t{byte()} << shift;
  }
  void get(std::int64_t& n) {
    std::uint64_t bits = 0;
    get(bits);
    n = static_cast<std::int64_t>(bits);
  }
  void get(double& x) {
    std::uint64_t bits = 0;
    get(bits);
    x = std::bit_cast<double>(bits);
  }
  void get(bool& b) { b = tag(2) == 1; }
  void get(std::string& text) {
    const std::size_t size = count();
    text.assign(in_.substr(0, size));
    in_.remove_prefix(size);
    if (!is_utf8(text)) fail("it holds text that is not UTF-8");
  }
  template <class E>
    requires std::is_enum_v<E>
  void get(E& e) {
    static_assert(kEnumCount<E> > 0);
    e = static_cast<E>(tag(kEnumCount<E>));
  }
  template <class T>
  void get(std::vector<T>& items) {
    items.resize(count());
    for (T& item : items) get(item);
  }
  template <class T, std::size_t N>
  void get(std::array<T, N>& items) {
    for (T& item : items) get(item);
  }
  template <class T>
  void get(std::optional<T>& item) {
    bool present = false;
    get(present);
    if (present) {
      get(item.emplace());
    } else {
      item.reset();
    }
  }
  template <class... A>
  void get(std::variant<A...>& item) {
    const std::size_t index = tag(sizeof...(A));
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((index == I ? get(item.template emplace<I>()) : void()), ...);
    }(std::index_sequence_for<A...>{});
  }
  // Names strictly ascending, as a map writes them: each state has one form.
  void get(ValueMap& map) {
    std::vector<ValueMap::Entry> entries(count());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      (*this)(entries[i].first, entries[i].second);
      if (i > 0 && !(entries[i - 1].first < entries[i].first)) fail("its names are out of order");
    }
    map = ValueMap();
    map.merge_sorted(std::move(entries));
  }
  // Re-interned in order, so each text gets its id back; a repeated text
  // would shift the ids after it.
  void get(TextPool& pool) {
    pool = TextPool();
    const std::size_t size = count();
    std::string text;
    for (std::size_t id = 0; id < size; ++id) {
      get(text);
      if (pool.intern(text) != id) fail("its texts repeat");
    }
  }
  template <class T>
  void get(T& record) {
    describe(*this, record);
    if constexpr (requires { check(record); }) check(record);
  }

  std::string_view in_;
  std::uint8_t version_ = 0;
};

}  // namespace kestrel
