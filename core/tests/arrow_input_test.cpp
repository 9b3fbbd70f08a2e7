#include <gtest/gtest.h>
#include <nanoarrow/nanoarrow.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "kestrel/arrow_input.hpp"

namespace kestrel {
namespace {

// One cell as the test writes it; monostate is null.
using In = std::variant<std::monostate, std::int64_t, std::uint64_t, double, std::string>;

struct InColumn {
  std::string name;
  std::string format;  // an Arrow format, or "dict:u" for a dictionary of utf8
  std::vector<In> cells;
};

// A batch; its first `skip` rows are hidden behind the columns' offsets, as
// slicing a batch does, and `root_skip` more behind the batch's own offset.
struct InBatch {
  std::vector<InColumn> columns;
  std::int64_t skip = 0;
  std::int64_t root_skip = 0;
};

void ok(int code) { ASSERT_EQ(code, NANOARROW_OK); }

void set_column_type(ArrowSchema* schema, const InColumn& column) {
  if (column.format == "dict:u") {
    ok(ArrowSchemaSetFormat(schema, "i"));
    ok(ArrowSchemaAllocateDictionary(schema));
    ArrowSchemaInit(schema->dictionary);
    ok(ArrowSchemaSetFormat(schema->dictionary, "u"));
  } else {
    ok(ArrowSchemaSetFormat(schema, column.format.c_str()));
  }
}

void make_schema(ArrowSchema* schema, const InBatch& batch) {
  ArrowSchemaInit(schema);
  ok(ArrowSchemaSetTypeStruct(schema, static_cast<std::int64_t>(batch.columns.size())));
  for (std::size_t c = 0; c < batch.columns.size(); ++c) {
    ok(ArrowSchemaSetName(schema->children[c], batch.columns[c].name.c_str()));
    set_column_type(schema->children[c], batch.columns[c]);
  }
}

ArrowStringView view_of(const std::string& text) {
  return {text.data(), static_cast<std::int64_t>(text.size())};
}

void append(ArrowArray* array, const In& cell, std::vector<std::string>& dictionary, bool dict) {
  if (std::holds_alternative<std::monostate>(cell)) return ok(ArrowArrayAppendNull(array, 1));
  if (const auto* text = std::get_if<std::string>(&cell)) {
    if (!dict) return ok(ArrowArrayAppendString(array, view_of(*text)));
    std::size_t index = 0;
    while (index < dictionary.size() && dictionary[index] != *text) ++index;
    if (index == dictionary.size()) {
      dictionary.push_back(*text);
      ok(ArrowArrayAppendString(array->dictionary, view_of(*text)));
    }
    return ok(ArrowArrayAppendInt(array, static_cast<std::int64_t>(index)));
  }
  if (const auto* i = std::get_if<std::int64_t>(&cell)) return ok(ArrowArrayAppendInt(array, *i));
  if (const auto* u = std::get_if<std::uint64_t>(&cell)) return ok(ArrowArrayAppendUInt(array, *u));
  ok(ArrowArrayAppendDouble(array, std::get<double>(cell)));
}

void make_array(ArrowArray* array, const ArrowSchema* schema, const InBatch& batch) {
  ok(ArrowArrayInitFromSchema(array, schema, nullptr));
  ok(ArrowArrayStartAppending(array));
  std::int64_t rows = 0;
  for (std::size_t c = 0; c < batch.columns.size(); ++c) {
    const InColumn& column = batch.columns[c];
    std::vector<std::string> dictionary;
    for (const In& cell : column.cells) {
      append(array->children[c], cell, dictionary, column.format == "dict:u");
    }
    rows = static_cast<std::int64_t>(column.cells.size());
  }
  array->length = rows;
  ok(ArrowArrayFinishBuildingDefault(array, nullptr));
  array->length -= batch.skip + batch.root_skip;
  array->offset = batch.root_skip;
  for (std::int64_t c = 0; c < array->n_children; ++c) {
    array->children[c]->offset += batch.skip;
    array->children[c]->length -= batch.skip;
    // Unknown, unless there is no null at all (then no validity buffer).
    if (array->children[c]->null_count > 0) array->children[c]->null_count = -1;
  }
}

void make_stream(ArrowArrayStream* stream, const std::vector<InBatch>& batches) {
  ArrowSchema schema;
  make_schema(&schema, batches.front());
  std::vector<ArrowArray> arrays(batches.size());
  for (std::size_t b = 0; b < batches.size(); ++b) make_array(&arrays[b], &schema, batches[b]);
  ok(ArrowBasicArrayStreamInit(stream, &schema, static_cast<std::int64_t>(batches.size())));
  for (std::size_t b = 0; b < batches.size(); ++b) {
    ArrowBasicArrayStreamSetArray(stream, static_cast<std::int64_t>(b), &arrays[b]);
  }
}

std::string render_cell(const EventTable& table, const Cell& cell) {
  switch (cell.kind) {
    case CellKind::Missing: return "missing";
    case CellKind::Null: return "null";
    case CellKind::String: return "'" + std::string(table.texts.text(cell.text)) + "'";
    case CellKind::Int: return std::to_string(cell.integer);
    case CellKind::Float: return std::to_string(cell.number);
    case CellKind::Bool: return cell.flag ? "true" : "false";
  }
  return "?";
}

// "kind unit tz | partition ts typ #position attr=cell ... ; ... | carried..."
std::string render(const EventSource& source) {
  const EventTable& table = source.table;
  std::string out = source.time.kind == TimeColumn::Kind::Integer ? "int" : "datetime";
  out += " " + source.time.unit + " " + source.time.timezone + " |";
  for (std::size_t row = 0; row < table.size(); ++row) {
    out += " " + std::string(table.texts.text(table.partitions[row])) + " " +
           std::to_string(table.timestamps[row]) + " " +
           std::string(table.texts.text(table.types[row])) + " #" +
           std::to_string(table.positions[row]);
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      out += " " + std::string(table.texts.text(table.attribute_names[c])) + "=" +
             render_cell(table, table.columns[c][row]);
    }
    out += ";";
  }
  for (const CarriedColumn& carried : source.carried) {
    out += " | " + carried.name + ":" + carried.format;
    for (const Cell& cell : carried.values) out += " " + render_cell(table, cell);
  }
  return out;
}

const In null{};
In s(const char* text) { return std::string(text); }
In i(std::int64_t value) { return value; }

struct ReadCase {
  const char* name;
  std::vector<InBatch> batches;
  ArrowColumns columns;
  const char* expected;  // the rendered table, or the error message
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

Result<EventSource> read(const ReadCase& c) {
  ArrowArrayStream stream;
  make_stream(&stream, c.batches);
  return read_arrow_events(stream, c.columns);
}

ArrowColumns keys(const char* p, const char* ts, const char* typ,
                  std::optional<std::vector<std::string>> attributes = std::nullopt,
                  std::vector<std::string> carry = {}) {
  return {p, ts, typ, std::move(attributes), std::move(carry)};
}

const std::vector<ReadCase> kReads = {
    {"two sliced batches in canonical order",
     {{{{"p", "u", {s("zz"), s("b"), s("a")}},
        {"ts", "l", {i(9), i(5), i(7)}},
        {"typ", "U", {s("x"), s("y"), s("z")}},
        {"n", "L", {null, std::uint64_t{4}, null}}}},
      {{{"p", "u", {s("gone"), s("a"), s("b")}},
        {"ts", "l", {i(0), i(7), i(1)}},
        {"typ", "U", {s("gone"), s("w"), s("v")}},
        {"n", "L", {std::uint64_t{0}, std::uint64_t{5}, null}}},
       1},
      {{{"p", "u", {s("gone"), s("gone"), s("a")}},
        {"ts", "l", {i(0), i(0), i(8)}},
        {"typ", "U", {s("gone"), s("gone"), s("q")}},
        {"n", "L", {std::uint64_t{0}, std::uint64_t{9}, null}}},
       1,
       1}},
     keys("p", "ts", "typ"),
     "int ns  | a 7 z #2 n=null; a 7 w #3 n=5; a 8 q #5 n=null; b 1 v #4 n=null; b 5 y #1 n=4; "
     "zz 9 x #0 n=null;"},
    {"dictionary and string_view keys, zoned milliseconds, carried columns",
     {{{{"p", "dict:u", {s("u2"), s("u1"), s("u2")}},
        {"when", "tsm:Europe/Paris", {i(2000), i(1000), i(-1)}},
        {"kind", "vu", {s("a long enough text to sit in a data buffer"), s("b"), s("c")}},
        {"score", "g", {0.5, null, 2.0}}}}},
     keys("p", "when", "kind", std::vector<std::string>{"score", "p"}, {"when", "score", "p"}),
     "datetime ms Europe/Paris | u1 1000000000 b #1 score=null; u2 -1000000 c #2 "
     "score=2.000000; u2 2000000000 a long enough text to sit in a data buffer #0 "
     "score=0.500000; | when:tsm:Europe/Paris 2000 1000 -1 | score:g 0.500000 null 2.000000 "
     "| p:u 'u2' 'u1' 'u2'"},
    {"ISO-8601 text, integer partitions",
     {{{{"p", "i", {i(-3), i(12), i(-3)}},
        {"ts",
         "u",
         {s("2024-03-01T12:00:00.5+01:00"), s("1970-01-01"), s("1970-01-01 00:00:00.000000001")}},
        {"typ", "u", {s("a"), s("b"), s("c")}}}}},
     keys("p", "ts", "typ", std::vector<std::string>{}),
     "datetime ns UTC | -3 1 c #2; -3 1709290800500000000 a #0; 12 0 b #1;"},
    {"naive ISO text and dates",
     {{{{"p", "u", {s("p"), s("p")}},
        {"ts", "u", {s("2000-02-29T23:59"), s("1969-12-31T23:59:59.999999999")}},
        {"typ", "u", {s("a"), s("b")}},
        {"day", "tdD", {i(1), i(-1)}}}}},
     keys("p", "ts", "typ", std::nullopt, {"day"}),
     "datetime ns  | p -1 b #1 day=-86400000000000; p 951868740000000000 a #0 day=86400000000000; "
     "| day:tdD 1 -1"},
    {"texts alike but for their first or last byte, at every word size",
     {{{{"p", "u", std::vector<In>(8, s("p"))},
        {"ts", "l", {i(0), i(1), i(2), i(3), i(4), i(5), i(6), i(7)}},
        {"typ",
         "u",
         {s("ab1"), s("ab2"), s("1bcdef"), s("2bcdef"), s("abcdefghijk1"), s("abcdefghijk2"),
          s("1bcdefghijklmnop"), s("2bcdefghijklmnop")}}}}},
     keys("p", "ts", "typ", std::vector<std::string>{}),
     "int ns  | p 0 ab1 #0; p 1 ab2 #1; p 2 1bcdef #2; p 3 2bcdef #3; p 4 abcdefghijk1 #4; "
     "p 5 abcdefghijk2 #5; p 6 1bcdefghijklmnop #6; p 7 2bcdefghijklmnop #7;"},
    {"date32 timestamps come back in seconds",
     {{{{"p", "u", {s("p")}}, {"ts", "tdD", {i(2)}}, {"typ", "u", {s("a")}}}}},
     keys("p", "ts", "typ"),
     "datetime s  | p 172800000000000 a #0;"},
};

class ReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadTest, BuildsTheTable) {
  const Result<EventSource> source = read(GetParam());
  ASSERT_TRUE(source.ok()) << source.error();
  EXPECT_EQ(render(source.value()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Arrow, ReadTest, ::testing::ValuesIn(kReads));

InBatch keyed(std::vector<In> partitions, InColumn extra = {"x", "l", {}}) {
  InBatch batch{{{"p", "u", std::move(partitions)}, {"ts", "l", {}}, {"typ", "u", {}}}};
  for (std::size_t row = 0; row < batch.columns[0].cells.size(); ++row) {
    batch.columns[1].cells.push_back(i(0));
    batch.columns[2].cells.push_back(s("a"));
    if (extra.cells.size() < batch.columns[0].cells.size()) extra.cells.push_back(i(0));
  }
  batch.columns.push_back(std::move(extra));
  return batch;
}

const std::vector<ReadCase> kErrors = {
    {"null key, row counted across batches",
     {keyed({s("a"), s("b")}), keyed({s("c"), null})},
     keys("p", "ts", "typ"),
     "column `p` is null at row 3"},
    {"uint64 past int64",
     {keyed({s("a"), s("b")}, {"n", "L", {std::uint64_t{1}, std::uint64_t{1} << 63}})},
     keys("p", "ts", "typ"),
     "column `n` row 1: 9223372036854775808 is out of range for a 64-bit signed integer"},
    {"timestamp past 2262",
     {{{{"p", "u", {s("a")}}, {"ts", "tss:", {i(10'000'000'000)}}, {"typ", "u", {s("a")}}}}},
     keys("p", "ts", "typ"),
     "column `ts` row 0: 10000000000 s since the epoch is out of range (64-bit nanoseconds span "
     "1677 to 2262)"},
    {"ISO text before 1677",
     {{{{"p", "u", {s("a")}}, {"ts", "u", {s("1500-01-01")}}, {"typ", "u", {s("a")}}}}},
     keys("p", "ts", "typ"),
     "column `ts` row 0: `1500-01-01` is out of range (64-bit nanoseconds span 1677 to 2262)"},
    {"malformed ISO text",
     {{{{"p", "u", {s("a"), s("a")}},
        {"ts", "u", {s("2024-01-01"), s("2024-02-30")}},
        {"typ", "u", {s("a"), s("a")}}}}},
     keys("p", "ts", "typ"),
     "column `ts` row 1: `2024-02-30` is not an ISO-8601 date or time "
     "(YYYY-MM-DD[THH:MM[:SS[.fraction]]][Z|+HH:MM])"},
    {"ten fraction digits",
     {{{{"p", "u", {s("a")}},
        {"ts", "u", {s("2024-01-01T00:00:00.1234567891")}},
        {"typ", "u", {s("a")}}}}},
     keys("p", "ts", "typ"),
     "column `ts` row 0: `2024-01-01T00:00:00.1234567891` is not an ISO-8601 date or time "
     "(YYYY-MM-DD[THH:MM[:SS[.fraction]]][Z|+HH:MM])"},
    {"missing attribute",
     {keyed({s("a")})},
     keys("p", "ts", "typ", std::vector<std::string>{"y"}),
     "missing column `y`; the columns are `p`, `ts`, `typ`, `x`"},
    {"missing carried column",
     {keyed({s("a")})},
     keys("p", "ts", "typ", std::nullopt, {"id"}),
     "missing column `id`; the columns are `p`, `ts`, `typ`, `x`"},
    {"one column as two keys",
     {keyed({s("a")})},
     keys("p", "ts", "p"),
     "the partition, ts and typ columns must be three different columns"},
    {"duplicate column name",
     {keyed({s("a")}, {"p", "l", {}})},
     keys("p", "ts", "typ"),
     "the column name `p` appears more than once"},
    {"binary attribute kept by default",
     {keyed({s("a")}, {"blob", "z", {s("\x01")}})},
     keys("p", "ts", "typ"),
     "column `blob` has type binary, which cannot be an attribute; name the attribute columns "
     "to keep with attributes="},
    {"float key",
     {keyed({s("a")}, {"f", "g", {1.0}})},
     keys("f", "ts", "typ"),
     "column `f` has type double; it must hold text or integers"},
    {"partition of type null",
     {{{{"p", "n", {null}}, {"ts", "l", {std::int64_t{1}}}, {"typ", "u", {s("a")}}}}},
     keys("p", "ts", "typ"),
     "column `p` is null at row 0"},
    {"timestamps of type null",
     {{{{"p", "u", {s("a")}}, {"ts", "n", {null}}, {"typ", "u", {s("a")}}}}},
     keys("p", "ts", "typ"),
     "column `ts` is null at row 0"},
    {"invalid UTF-8",
     {keyed({s("a"), s("b\xff")})},
     keys("p", "ts", "typ"),
     "column `p` row 1: the text is not valid UTF-8"},
};

class ReadErrorTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadErrorTest, NamesTheColumnAndRow) {
  const Result<EventSource> source = read(GetParam());
  ASSERT_FALSE(source.ok()) << render(source.value());
  EXPECT_EQ(source.error(), GetParam().expected);
  // Callers act on the kind and renumber the row without reading the text.
  const Error& error = source.failure();
  const std::string& text = error.message;
  EXPECT_EQ(error.kind == ErrorKind::WrongType, text.find(" has type ") != std::string::npos);
  ASSERT_EQ(error.number.has_value(), text.find(" row ") != std::string::npos);
  if (error.number) {
    EXPECT_EQ(error.number->counts, ErrorNumber::Counts::Rows);
    const std::string row = " row " + std::to_string(error.number->value);
    EXPECT_EQ(text.substr(error.number->at - 5, row.size()), row);
  }
}

INSTANTIATE_TEST_SUITE_P(Arrow, ReadErrorTest, ::testing::ValuesIn(kErrors));

// A producer whose second batch fails.
struct FailingStream {
  ArrowArrayStream inner;
  int calls = 0;
  bool released = false;
};

TEST(ArrowStream, ReportsTheProducersErrorAndReleasesTheStream) {
  static FailingStream state;
  make_stream(&state.inner, {keyed({s("a")})});
  ArrowArrayStream stream{};
  stream.get_schema = [](ArrowArrayStream*, ArrowSchema* out) {
    return state.inner.get_schema(&state.inner, out);
  };
  stream.get_next = [](ArrowArrayStream*, ArrowArray* out) {
    if (state.calls++ == 1) return EIO;
    return state.inner.get_next(&state.inner, out);
  };
  stream.get_last_error = [](ArrowArrayStream*) -> const char* { return "disk gone"; };
  stream.release = [](ArrowArrayStream* self) {
    state.inner.release(&state.inner);
    state.released = true;
    self->release = nullptr;
  };
  const Result<EventSource> source = read_arrow_events(stream, keys("p", "ts", "typ"));
  ASSERT_FALSE(source.ok());
  EXPECT_EQ(source.error(), "could not read the batch starting at row 1: disk gone");
  EXPECT_TRUE(state.released);
}

}  // namespace
}  // namespace kestrel
