#include <gtest/gtest.h>
#include <nanoarrow/nanoarrow.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/arrow_output.hpp"

namespace kestrel {
namespace {

// Rows 0..2 hold input positions 2, 0, 1, so that looking a position up as a
// row would show.
EventSource source(TimeColumn time) {
  const std::vector<Event> events = {
      {"a", 1'000'000'000, "login", {}},
      {"a", 3'000'000'000, "buy", {}},
      {"b", 2'000'000'000, "login", {}},
  };
  EventSource made{EventTable::from_events(events, {}), std::move(time), {}, {}};
  made.table.positions = {2, 0, 1};
  made.carried.push_back({"id", "l", {Cell::of_int(10), Cell::of_int(11), Cell::null()}});
  return made;
}

const TimeColumn kMilliseconds{TimeColumn::Kind::Datetime, "ms", "UTC"};

std::string render_value(const ArrowArrayView* view, const ArrowSchemaView& type, std::int64_t i);

std::string render_list(const ArrowArrayView* view, const ArrowSchema* schema, std::int64_t i) {
  ArrowSchemaView item;
  EXPECT_EQ(ArrowSchemaViewInit(&item, schema->children[0], nullptr), NANOARROW_OK);
  const std::int64_t from = ArrowArrayViewListChildOffset(view, i);
  const std::int64_t to = ArrowArrayViewListChildOffset(view, i + 1);
  std::string out = "[";
  for (std::int64_t k = from; k < to; ++k) {
    out += (k == from ? "" : " ") + render_value(view->children[0], item, k);
  }
  return out + "]";
}

std::string render_value(const ArrowArrayView* view, const ArrowSchemaView& type, std::int64_t i) {
  if (ArrowArrayViewIsNull(view, i)) return "null";
  switch (type.storage_type) {
    case NANOARROW_TYPE_LIST: return render_list(view, type.schema, i);
    case NANOARROW_TYPE_STRING: {
      const ArrowStringView text = ArrowArrayViewGetStringUnsafe(view, i);
      return std::string(text.data, static_cast<std::size_t>(text.size_bytes));
    }
    case NANOARROW_TYPE_DOUBLE: return std::to_string(ArrowArrayViewGetDoubleUnsafe(view, i));
    case NANOARROW_TYPE_BOOL: return ArrowArrayViewGetIntUnsafe(view, i) ? "true" : "false";
    default: return std::to_string(ArrowArrayViewGetIntUnsafe(view, i));
  }
}

std::string format_of(const ArrowSchema* schema) {
  std::string format = schema->format;
  if (schema->n_children == 1) format += "[" + format_of(schema->children[0]) + "]";
  return format;
}

// "name:format=v|v|...; ..." for every column, and the number of batches.
struct Table {
  std::string columns;
  int batches = 0;
};

Table read_back(ArrowArrayStream& stream) {
  Table table;
  ArrowSchema schema;
  EXPECT_EQ(ArrowArrayStreamGetSchema(&stream, &schema, nullptr), NANOARROW_OK);
  ArrowArrayView view;
  EXPECT_EQ(ArrowArrayViewInitFromSchema(&view, &schema, nullptr), NANOARROW_OK);
  std::vector<std::string> columns;
  for (std::int64_t c = 0; c < schema.n_children; ++c) {
    columns.push_back(std::string(schema.children[c]->name) + ":" + format_of(schema.children[c]) +
                      "=");
  }
  while (true) {
    ArrowArray array;
    EXPECT_EQ(ArrowArrayStreamGetNext(&stream, &array, nullptr), NANOARROW_OK);
    if (array.release == nullptr) break;
    ++table.batches;
    EXPECT_EQ(ArrowArrayViewSetArray(&view, &array, nullptr), NANOARROW_OK);
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
      ArrowSchemaView type;
      EXPECT_EQ(ArrowSchemaViewInit(&type, schema.children[c], nullptr), NANOARROW_OK);
      for (std::int64_t i = 0; i < array.length; ++i) {
        columns[c] += (i == 0 ? "" : "|") + render_value(view.children[c], type, i);
      }
    }
    ArrowArrayRelease(&array);
  }
  for (const std::string& column : columns) table.columns += column + "; ";
  ArrowArrayViewReset(&view);
  ArrowSchemaRelease(&schema);
  ArrowArrayStreamRelease(&stream);
  return table;
}

template <class Export>
Table exported(Export&& run) {
  ArrowArrayStream stream;
  const Result<bool> written = run(stream);
  EXPECT_TRUE(written.ok()) << written.error();
  return read_back(stream);
}

Bindings bindings(std::vector<ValueMap::Entry> entries) {
  Bindings made;
  for (auto& [name, value] : entries) made.set(name, value);
  return made;
}

TEST(ArrowExport, MatchesInTheInputsUnitWithCapturesAndCarriedColumns) {
  const EventSource events = source(kMilliseconds);
  const std::vector<Match> matches = {
      {"a",
       {2, 0},
       1'000'000'000,
       3'000'000'000,
       bindings({{"k", std::int64_t{1}}, {"u", std::string("u1")}})},
      {"b", {1}, 2'000'000'000, 2'000'000'000, bindings({{"k", 2.5}, {"u", Null{}}})},
  };
  const std::vector<std::string> captured = {"z", "k", "u"};
  const Table table = exported(
      [&](ArrowArrayStream& out) { return export_matches(matches, events, out, captured); });
  EXPECT_EQ(table.batches, 1);
  EXPECT_EQ(table.columns,
            "partition:u=a|b; indices:+l[l]=[2 0]|[1]; types:+l[u]=[login buy]|[login]; "
            "start:tsm:UTC=1000|2000; end:tsm:UTC=3000|2000; "
            "capture.k:g=1.000000|2.500000; capture.u:u=u1|null; capture.z:u=null|null; "
            "id:+l[l]=[null 10]|[11]; ");
}

// A column of loose values keeps one type when it can without two distinct
// values reading as one; any other mix is each value's JSON text.
TEST(ArrowExport, MixedCapturesStayDistinct) {
  const struct {
    Value first, second;
    const char* column;
  } cases[] = {
      {std::int64_t{1}, std::string("1"), "capture.k:u=1|\"1\"; "},
      {std::int64_t{1}, 1.0, "capture.k:u=1|1.0; "},
      {std::int64_t{0}, -0.0, "capture.k:u=0|-0.0; "},
      {true, std::string("true"), "capture.k:u=true|\"true\"; "},
      {true, std::int64_t{1}, "capture.k:u=true|1; "},
      {std::int64_t{1}, 2.5, "capture.k:g=1.000000|2.500000; "},
      {std::int64_t{1}, std::nan(""), "capture.k:g=1.000000|nan; "},
      {std::int64_t{7}, Null{}, "capture.k:l=7|null; "},
      {std::string("a"), Null{}, "capture.k:u=a|null; "},
  };
  EventSource events = source({});
  events.carried.clear();
  for (const auto& [first, second, column] : cases) {
    const std::vector<Match> matches = {{"a", {0}, 0, 0, bindings({{"k", first}})},
                                        {"a", {1}, 0, 0, bindings({{"k", second}})}};
    const std::string columns = exported([&](ArrowArrayStream& out) {
                                  return export_matches(matches, events, out);
                                }).columns;
    EXPECT_EQ(columns.substr(columns.find("capture.")), column);
  }
}

TEST(ArrowExport, StopsWhenInterrupted) {
  const EventSource events = source(kMilliseconds);
  const std::vector<Match> matches(Interrupt::kInterval, Match{"a", {0}, 0, 0, {}});
  ArrowArrayStream out;
  EXPECT_THROW(export_matches(matches, events, out, {}, Interrupt([] { return true; })),
               Interrupted);
}

TEST(ArrowExport, EmptyResultsKeepTheirSchema) {
  const EventSource events = source({});
  const std::vector<std::string> captured = {"k"};
  EXPECT_EQ(exported([&](ArrowArrayStream& out) {
              return export_matches({}, events, out, captured);
            }).columns,
            "partition:u=; indices:+l[l]=; types:+l[u]=; start:l=; end:l=; capture.k:u=; "
            "id:+l[l]=; ");
  const Table funnel = exported([&](ArrowArrayStream& out) {
    return export_funnel({}, events, out, std::string_view("country"));
  });
  EXPECT_EQ(funnel.batches, 0);
  EXPECT_EQ(funnel.columns,
            "country:u=; step:l=; event_type:u=; entered:l=; dropped:l=; "
            "dropped_predicate_failed:l=; dropped_absence_blocked:l=; dropped_window_exceeded:l=; "
            "dropped_no_successor:l=; conversion:g=; time_p50:g=; time_p90:g=; ");
}

TEST(ArrowExport, NearMissDetailsAsColumns) {
  const EventSource events = source(kMilliseconds);
  const std::vector<PredicateFailure> failures = {
      PredicateMismatch{"n", ComparisonOperator::Gt, std::int64_t{3}, 2.5},
      ReferenceMismatch{"user", ComparisonOperator::Eq, "u", Value(std::string("x\"y")),
                        std::nullopt},
      CaptureConflict{"c", "user", true, Null{}},
  };
  const std::vector<NearMiss> misses = {
      {"a", 2, {2}, 1, 1, "buy", PredicateFailed{failures, 0}, {}},
      {"a", 2, {2}, 1, 1, "buy", WindowExceeded{0, 5'000'000'000, 2'000'000'000}, {}},
      {"b", 1, {1}, 1, 1, "buy", AbsenceBlocked{0, 2, "logout", true}, {}},
  };
  const Table table =
      exported([&](ArrowArrayStream& out) { return export_near_misses(misses, events, out); });
  EXPECT_EQ(table.columns,
            "partition:u=a|a|b; start_index:l=2|2|1; indices:+l[l]=[2]|[2]|[1]; "
            "reached_steps:l=1|1|1; next_event_type:u=buy|buy|buy; "
            "reason:u=predicate_failed|window_exceeded|absence_blocked; "
            "detail.event_index:l=0|null|null; "
            "detail.failures:u=[{\"type\": \"predicate\", \"attribute\": \"n\", \"operator\": "
            "\">\", \"expected\": 3, \"actual\": 2.5}, {\"type\": \"reference\", \"attribute\": "
            "\"user\", \"operator\": \"==\", \"binding\": \"u\", \"bound\": \"x\\\"y\", "
            "\"actual\": null}, {\"type\": \"capture\", \"name\": \"c\", \"attribute\": \"user\", "
            "\"bound\": true, \"actual\": null}]|null|null; "
            "detail.candidate_index:l=null|0|0; detail.blocking_index:l=null|null|2; "
            "detail.blocking_event_type:u=null|null|logout; "
            "detail.candidate_satisfies:b=null|null|true; detail.gap:tDm=null|5000|null; "
            "detail.max_elapsed:tDm=null|2000|null; id:+l[l]=[null]|[null]|[11]; ");
}

TEST(ArrowExport, FunnelRowsPerGroupAndStep) {
  FunnelStep first{1, "login", 4, {1, 0, 0, 0}, std::nullopt, std::nullopt, std::nullopt};
  FunnelStep second{2, "buy", 3, {0, 1, 1, 1}, 0.75, 1.4e6, 2.6e6};
  const std::vector<FunnelGroup> groups = {{Value(std::string("de")), {first, second}},
                                           {Value(std::int64_t{7}), {first}}};
  const Table table = exported([&](ArrowArrayStream& out) {
    return export_funnel(groups, source(kMilliseconds), out, std::string_view("country"));
  });
  EXPECT_EQ(
      table.columns,
      "country:u=\"de\"|\"de\"|7; step:l=1|2|1; event_type:u=login|buy|login; entered:l=4|3|4; "
      "dropped:l=1|3|1; dropped_predicate_failed:l=1|0|1; dropped_absence_blocked:l=0|1|0; "
      "dropped_window_exceeded:l=0|1|0; dropped_no_successor:l=0|1|0; "
      "conversion:g=null|0.750000|null; time_p50:tDm=null|1|null; "
      "time_p90:tDm=null|3|null; ");
}

}  // namespace
}  // namespace kestrel
