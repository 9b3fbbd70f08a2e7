// The state codec on event sources: they come back bit for bit, a source
// whose parts disagree is refused, and hostile bytes are refused or read into
// a source that is safe to use.
#include "model/state_codec.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "kestrel/explain.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/parser.hpp"

namespace kestrel {
namespace {

std::string write(const EventSource& source) {
  StateWriter writer('s');
  writer(source);
  return writer.bytes();
}

EventSource read(std::string_view bytes) {
  StateReader reader(bytes, 's');
  EventSource source;
  reader(source);
  reader.finish();
  return source;
}

std::string dump(const Cell& cell) {
  switch (cell.kind) {
    case CellKind::Missing: return "missing";
    case CellKind::Null: return "null";
    case CellKind::String: return "text#" + std::to_string(cell.text);
    case CellKind::Int: return "int " + std::to_string(cell.integer);
    case CellKind::Float:
      return "bits " + std::to_string(std::bit_cast<std::uint64_t>(cell.number));
    case CellKind::Bool: return cell.flag ? "true" : "false";
  }
  return "kind " + std::to_string(static_cast<int>(cell.kind));
}

template <class T>
std::string dump(const std::vector<T>& items) {
  std::string out;
  for (const T& item : items) {
    if constexpr (std::is_same_v<T, Cell>) {
      out += " " + dump(item);
    } else {
      out += " " + std::to_string(item);
    }
  }
  return out + "\n";
}

// Every part, ids and float bits as they are.
std::string dump(const EventSource& source) {
  const EventTable& table = source.table;
  std::string out = "texts:";
  for (TextId id = 0; id < table.texts.size(); ++id) out += " " + std::string(table.texts.text(id));
  out += "\npartitions:" + dump(table.partitions) + "timestamps:" + dump(table.timestamps) +
         "types:" + dump(table.types) + "positions:" + dump(table.positions) +
         "names:" + dump(table.attribute_names);
  for (const std::vector<Cell>& column : table.columns) out += "column:" + dump(column);
  out += "time: " + std::to_string(static_cast<int>(source.time.kind)) + " " + source.time.unit +
         " " + source.time.timezone + "\n";
  for (const CarriedColumn& carried : source.carried) {
    out += "carried " + carried.name + " " + carried.format + ":" + dump(carried.values);
  }
  return out + "stream:" + dump(source.stream_positions);
}

Event event(std::string partition, std::int64_t ts, std::string typ, Attributes attrs = {}) {
  return Event{std::move(partition), ts, std::move(typ), std::move(attrs)};
}

Attributes attrs(std::vector<std::pair<std::string, Value>> entries) {
  Attributes out;
  for (auto& [name, value] : entries) out.set(std::move(name), std::move(value));
  return out;
}

EventSource source_of(const std::vector<Event>& events, const std::vector<std::string>& names) {
  return EventSource{EventTable::from_events(events, names), {}, {}, {}};
}

// Every kind of cell, missing ones included, in several columns.
EventSource cells() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return source_of(
      {event("p", 1, "a",
             attrs({{"i", std::int64_t{std::numeric_limits<std::int64_t>::min()}},
                    {"f", -0.0},
                    {"s", std::string("é")},
                    {"b", true}})),
       event("p", 2, "b", attrs({{"i", std::int64_t{7}}, {"f", nan}, {"s", Null{}}})),
       event("q", 2, "a", attrs({{"f", -nan}, {"b", false}, {"s", std::string("p")}}))},
      {"i", "f", "s", "b", "unread"});
}

// Rows out of input order, carried columns, a datetime column, stream positions.
EventSource streamed() {
  EventSource source = source_of(
      {event("b", 5, "a", attrs({{"k", std::int64_t{1}}})), event("a", 1, "a"), event("a", 1, "b")},
      {"k"});
  source.table.positions = {2, 0, 1};
  source.time = {TimeColumn::Kind::Datetime, "ms", "Europe/Paris"};
  const TextId x = source.table.texts.intern("x");
  source.carried = {{"id", "l", {Cell::of_int(10), Cell::null(), Cell::of_int(-3)}},
                    {"label", "u", {Cell::of_text(x), Cell{}, Cell::of_text(0)}},
                    {"at", "tsu:UTC", {Cell::of_int(1), Cell::of_int(2), Cell::of_int(3)}},
                    {"score", "g", {Cell::of_float(0.5), Cell::of_float(-0.0), Cell::null()}}};
  source.stream_positions = {4, 7, 20};
  return source;
}

std::vector<EventSource> sources() {
  std::vector<EventSource> out;
  out.emplace_back();
  out.push_back(cells());
  out.push_back(streamed());
  return out;
}

TEST(StateCodec, EventSourcesComeBackBitForBit) {
  for (const EventSource& source : sources()) {
    const std::string bytes = write(source);
    EXPECT_EQ(dump(read(bytes)), dump(source));
  }
}

struct Spoilt {
  const char* name;
  std::function<void(EventSource&)> spoil;
  std::string reason;
};

const std::string kUnknownText = "its table names a text it lacks";
const std::string kRowsDiffer = "its table's rows differ in length";

const std::vector<Spoilt> kSpoilt = {
    {"partition past the pool", [](EventSource& s) { s.table.partitions[0] = 99; }, kUnknownText},
    {"type past the pool", [](EventSource& s) { s.table.types[2] = 99; }, kUnknownText},
    {"name past the pool", [](EventSource& s) { s.table.attribute_names[0] = 99; }, kUnknownText},
    {"text cell past the pool", [](EventSource& s) { s.table.columns[0][0] = Cell::of_text(99); },
     kUnknownText},
    {"column too short", [](EventSource& s) { s.table.columns[0].pop_back(); }, kRowsDiffer},
    {"types too long", [](EventSource& s) { s.table.types.push_back(0); }, kRowsDiffer},
    {"positions too short", [](EventSource& s) { s.table.positions.pop_back(); }, kRowsDiffer},
    {"partitions too short", [](EventSource& s) { s.table.partitions.pop_back(); }, kRowsDiffer},
    {"name without a column", [](EventSource& s) { s.table.attribute_names.push_back(0); },
     kRowsDiffer},
    {"name twice",
     [](EventSource& s) {
       s.table.attribute_names.push_back(s.table.attribute_names[0]);
       s.table.columns.push_back(s.table.columns[0]);
     },
     "its table names an attribute twice"},
    {"position twice", [](EventSource& s) { s.table.positions[0] = 1; },
     "its table's positions are not its rows' positions"},
    {"position past the rows", [](EventSource& s) { s.table.positions[0] = 3; },
     "its table's positions are not its rows' positions"},
    {"time going back", [](EventSource& s) { s.table.timestamps[2] = 0; },
     "its table's rows are out of order"},
    {"tie out of input order", [](EventSource& s) { s.table.positions = {2, 1, 0}; },
     "its table's rows are out of order"},
    {"partition in two runs", [](EventSource& s) { s.table.partitions[2] = s.table.partitions[0]; },
     "its table's rows are out of order"},
    {"unknown cell kind",
     [](EventSource& s) { s.table.columns[0][1].kind = static_cast<CellKind>(6); },
     "it holds an unknown tag 6"},
    {"unknown time unit", [](EventSource& s) { s.time.unit = "m"; },
     "it holds an unknown time unit"},
    {"carried too short", [](EventSource& s) { s.carried[0].values.pop_back(); },
     "its carried column `id` is malformed"},
    {"carried text past the pool",
     [](EventSource& s) { s.carried[1].values[0] = Cell::of_text(99); },
     "its carried column `label` is malformed"},
    {"carried value of another type",
     [](EventSource& s) { s.carried[0].values[0] = Cell::of_float(1); },
     "its carried column `id` is malformed"},
    {"carried format unknown", [](EventSource& s) { s.carried[3].format = "zz"; },
     "its carried column `score` is malformed"},
    {"stream positions too short", [](EventSource& s) { s.stream_positions.pop_back(); },
     "its stream positions do not match its rows"},
    {"stream positions not ascending", [](EventSource& s) { s.stream_positions[1] = 4; },
     "its stream positions do not match its rows"},
};

// Why the body's read was refused; empty when it was not.
std::string refusal(const std::function<void()>& body) {
  try {
    body();
  } catch (const StateRefused& refused) {
    return refused.what();
  }
  return "";
}

TEST(StateCodec, RefusesSourcesWhosePartsDisagree) {
  for (const Spoilt& c : kSpoilt) {
    EventSource source = streamed();
    c.spoil(source);
    EXPECT_EQ(refusal([&] { read(write(source)); }), c.reason) << c.name;
  }
}

TEST(StateCodec, RefusesRepeatedTexts) {
  StateWriter writer('s');
  writer(std::vector<std::string>{"a", "b", "a"});
  StateReader reader(writer.bytes(), 's');
  TextPool pool;
  EXPECT_EQ(refusal([&] { reader(pool); }), "its texts repeat");
}

// What later use relies on, checked without trusting the reader, then used:
// every cell converted back, the pattern matched and explained over the rows.
void expect_usable(const EventSource& source) {
  const EventTable& table = source.table;
  const std::size_t rows = table.size();
  const auto usable = [&](const Cell& cell) {
    return cell.kind <= CellKind::Bool &&
           (cell.kind != CellKind::String || cell.text < table.texts.size());
  };
  ASSERT_EQ(table.partitions.size(), rows);
  ASSERT_EQ(table.types.size(), rows);
  ASSERT_EQ(table.columns.size(), table.attribute_names.size());
  for (std::size_t row = 0; row < rows; ++row) {
    ASSERT_LT(table.partitions[row], table.texts.size());
    ASSERT_LT(table.types[row], table.texts.size());
  }
  for (const TextId name : table.attribute_names) ASSERT_LT(name, table.texts.size());
  for (const std::vector<Cell>& column : table.columns) {
    ASSERT_EQ(column.size(), rows);
    for (const Cell& cell : column) ASSERT_TRUE(usable(cell)) << dump(cell);
  }
  std::vector<bool> seen(rows, false);
  ASSERT_EQ(table.positions.size(), rows);
  for (const std::size_t position : table.positions) {
    ASSERT_LT(position, rows);
    ASSERT_FALSE(seen[position]);
    seen[position] = true;
  }
  for (const CarriedColumn& carried : source.carried) {
    ASSERT_EQ(carried.values.size(), rows);
    for (const Cell& cell : carried.values) ASSERT_TRUE(usable(cell)) << dump(cell);
  }
  ASSERT_TRUE(source.stream_positions.empty() || source.stream_positions.size() == rows);

  for (const std::vector<Cell>& column : table.columns) {
    for (const Cell& cell : column) table.value_of(cell);
  }
  for (const CarriedColumn& carried : source.carried) {
    for (const Cell& cell : carried.values) table.value_of(cell);
  }
  for (const std::size_t position : source.stream_positions) input_position(source, position);
  static const Pattern pattern = parse_pattern("a[k as $k] -[<=5, no c]-> b").value();
  compiled_matches(table, pattern);
  near_misses(table, pattern);
}

// Every truncation is refused; random byte changes and insertions are
// refused or read into a usable source.
TEST(StateCodec, HostileBytesAreRefusedOrSafe) {
  std::mt19937_64 random(20240611);
  constexpr int kSpoils = 4000;
  for (const EventSource& source : sources()) {
    const std::string bytes = write(source);
    for (std::size_t size = 0; size < bytes.size(); ++size) {
      EXPECT_THROW(read(std::string_view(bytes).substr(0, size)), StateRefused) << size;
    }
    for (int spoil = 0; spoil < kSpoils; ++spoil) {
      std::string spoilt = bytes;
      const std::size_t at = random() % (spoilt.size() + 1);
      const auto byte = static_cast<char>(random() & 0xff);
      if (random() % 2 == 0 && at < spoilt.size()) {
        spoilt[at] = byte;
      } else {
        spoilt.insert(spoilt.begin() + static_cast<std::ptrdiff_t>(at), byte);
      }
      try {
        const EventSource rebuilt = read(spoilt);
        SCOPED_TRACE(dump(rebuilt));
        expect_usable(rebuilt);
      } catch (const StateRefused&) {
      }
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace kestrel
