// The private table type and the entry points that read a table, match over
// it and explain it.
//
// A table holds its EventSource behind a shared pointer: every result set
// made from it shares the source, so results outlive the table object and
// can rebuild the events they name. Results name events by input position;
// `row_of_position` leads from a position back to its row.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/arrow_input.hpp"
#include "kestrel/arrow_output.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/pattern_warnings.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

SharedSource::SharedSource(EventSource from)
    : source(std::move(from)), row_of_position(source.table.size()) {
  const std::vector<std::size_t>& positions = source.table.positions;
  for (std::size_t row = 0; row < positions.size(); ++row) row_of_position[positions[row]] = row;
}

Event SharedSource::event_at(std::size_t position) const {
  const EventTable& table = source.table;
  const std::size_t row = row_of_position[input_position(source, position)];
  Event event;
  event.partition = table.texts.text(table.partitions[row]);
  event.ts = table.timestamps[row];
  event.typ = table.texts.text(table.types[row]);
  std::vector<ValueMap::Entry> attributes;
  for (std::size_t column = 0; column < table.columns.size(); ++column) {
    if (std::optional<Value> value = table.value_of(table.columns[column][row])) {
      attributes.emplace_back(table.texts.text(table.attribute_names[column]), std::move(*value));
    }
  }
  std::sort(attributes.begin(), attributes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  event.attrs.merge_sorted(std::move(attributes));
  return event;
}

namespace {

struct TableRecord {
  SourceRef source;
};

const SharedSource& shared_of(PyObject* self) { return *record_of<TableRecord>(self).source; }

Py_ssize_t table_length(PyObject* self) {
  return static_cast<Py_ssize_t>(shared_of(self).source.table.size());
}

PyObject* table_repr(PyObject* self) {
  return guarded([&] {
    return text_to_py("EventTable(" + std::to_string(shared_of(self).source.table.size()) +
                      " events)")
        .release();
  });
}

// The distinct event types, in order of first appearance in the input.
PyObject* table_types(PyObject* self, void*) {
  return guarded([&] {
    const SharedSource& shared = shared_of(self);
    const EventTable& table = shared.source.table;
    std::vector<bool> seen(table.texts.size());
    Ref names = own(PyList_New(0));
    for (std::size_t row : shared.row_of_position) {
      const TextId type = table.types[row];
      if (seen[type]) continue;
      seen[type] = true;
      if (PyList_Append(names.get(), text_to_py(table.texts.text(type)).get()) < 0) {
        throw PythonError{};
      }
    }
    return own(PyList_AsTuple(names.get())).release();
  });
}

PyObject* table_time(PyObject* self, void*) {
  return guarded([&] {
    const TimeColumn& time = shared_of(self).source.time;
    const bool datetime = time.kind == TimeColumn::Kind::Datetime;
    Ref kind = text_to_py(datetime ? "datetime" : "integer");
    Ref unit = text_to_py(time.unit);
    Ref zone = text_to_py(time.timezone);
    return own(PyTuple_Pack(3, kind.get(), unit.get(), zone.get())).release();
  });
}

PyGetSetDef table_getset[] = {
    {"types", table_types, nullptr,
     const_cast<char*>("The distinct event types, in order of first appearance."), nullptr},
    {"time", table_time, nullptr,
     const_cast<char*>("(kind, unit, tz) of the timestamps: kind \"integer\" or \"datetime\"."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("Events in canonical order, built once for matching.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<TableRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_getset, table_getset},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {0, nullptr},
};

void require_instance(PyObject* object, PyTypeObject* type, std::string_view parameter,
                      std::string_view kind) {
  if (!PyObject_TypeCheck(object, type))
    raise_argument_error(parameter, conversion_message(object, kind));
}

// Integer timestamps unless the Python layer says they were datetimes, held
// as nanoseconds in `timezone` ("" when naive).
TimeColumn time_column(PyObject* timezone) {
  TimeColumn time;
  if (!timezone || timezone == Py_None) return time;
  time.kind = TimeColumn::Kind::Datetime;
  time.unit = "ns";
  time.timezone = to_text(timezone, "timezone");
  return time;
}

PyObject* table_from_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 7> names = {"length",     "partition", "ts",   "typ",
                                                       "attributes", "timezone",  "carry"};
  return guarded([&] {
    std::array<PyObject*, 7> values{};
    bind_fast({"_table_from_columns()", names, 5}, args, nargs, kwnames, values);
    const std::int64_t length = to_int64(values[0], "length");
    require_instance(values[1], &PyTuple_Type, "partition", "PyTuple");
    require_instance(values[2], &PyTuple_Type, "ts", "PyTuple");
    require_instance(values[3], &PyTuple_Type, "typ", "PyTuple");
    require_instance(values[4], &PyList_Type, "attributes", "PyList");
    const Ref no_carry = own(PyList_New(0));
    PyObject* carry = values[6] && values[6] != Py_None ? values[6] : no_carry.get();
    require_instance(carry, &PyList_Type, "carry", "PyList");
    return table_to_py(source_from_columns(length, values[1], values[2], values[3], values[4],
                                           carry, time_column(values[5])))
        .release();
  });
}

PyObject* table_from_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"events"};
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"_table_from_events()", names, 1}, args, nargs, kwnames, values);
    std::vector<Event> events = extract_events(values[0]);
    const std::vector<std::string> attributes = attribute_names(events);
    return table_to_py(source_from_events(std::move(events), attributes, TimeColumn{})).release();
  });
}

// None for no limit, else an int of at least 0.
std::optional<std::size_t> match_limit(PyObject* object) {
  if (!object || object == Py_None) return std::nullopt;
  const std::int64_t limit = to_int64(object, "max_matches");
  if (limit < 0)
    raise(PyExc_ValueError, "max_matches must be at least 0, not " + std::to_string(limit));
  return static_cast<std::size_t>(limit);
}

// An int of at least 1, one when absent. A share of the rows holds one row
// or more, so a count past `rows` adds nothing but the cost of cutting
// shares that are empty: it is cut down to `rows`.
std::size_t thread_count(PyObject* object,
                         std::size_t rows = std::numeric_limits<std::size_t>::max()) {
  if (!object) return 1;
  const std::int64_t threads = to_int64(object, "threads");
  if (threads < 1)
    raise(PyExc_ValueError, "threads must be at least 1, not " + std::to_string(threads));
  return std::min(static_cast<std::size_t>(threads), std::max<std::size_t>(rows, 1));
}

// Whether an engine call must keep the interpreter lock even when threaded.
enum class Lock : std::uint8_t { ReleasedForThreads, Held };

// Runs an engine call, call(options), on `threads` threads. On one thread the
// engine polls Python's signals itself, so the lock stays held. Threaded, the
// lock is released unless `lock` says it must stay; the workers cannot ask
// Python about signals, so the calling thread (taking the lock back between
// its waits if it let it go) lets the handlers run, and one that raises
// stops the call, its error standing.
template <class Call>
auto engine_call(std::size_t threads, Lock lock, Call&& call) {
  const std::size_t min_rows = state().min_rows_per_thread;
  if (threads == 1 || lock == Lock::Held) {
    return call(RunOptions{threads, python_signals().question(), min_rows});
  }
  struct Released {
    PyThreadState* state = PyEval_SaveThread();
    ~Released() { PyEval_RestoreThread(state); }
  } released;
  return call(RunOptions{threads,
                         [&released] {
                           PyEval_RestoreThread(released.state);
                           const bool stop = PyErr_CheckSignals() != 0;
                           released.state = PyEval_SaveThread();
                           return stop;
                         },
                         min_rows});
}

PyObject* match(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> names = {"pattern", "table", "exhaustive",
                                                       "max_matches", "threads"};
  return guarded([&] {
    std::array<PyObject*, 5> values{};
    bind_fast({"_match()", names, 2}, args, nargs, kwnames, values);
    const SourceRef& source = require_table(values[1]);
    const bool exhaustive = to_strict_bool(values[2], "exhaustive");
    Pattern pattern = coerce_pattern(values[0]);
    if (exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
    const std::optional<std::size_t> limit = match_limit(values[3]);
    const std::size_t threads = thread_count(values[4], source->source.table.size());
    const EventTable& table = source->source.table;
    std::vector<Match> matches =
        engine_call(threads, Lock::ReleasedForThreads, [&](const RunOptions& options) {
          return compiled_matches(table, pattern, limit.value_or(SIZE_MAX), options);
        });
    if (limit && matches.size() > *limit) {
      raise(PyExc_ValueError, "more than " + std::to_string(*limit) +
                                  " matches; raise max_matches or narrow the pattern");
    }
    return matches_to_py(std::move(matches), source, captured_names(pattern)).release();
  });
}

PyObject* explain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names = {"pattern", "table", "threads"};
  return guarded([&] {
    std::array<PyObject*, 3> values{};
    bind_fast({"_explain()", names, 2}, args, nargs, kwnames, values);
    const SourceRef& source = require_table(values[1]);
    const Pattern pattern = coerce_pattern(values[0]);
    const std::size_t threads = thread_count(values[2], source->source.table.size());
    const EventTable& table = source->source.table;
    std::vector<NearMiss> records = engine_call(
        threads, Lock::ReleasedForThreads,
        [&](const RunOptions& options) { return near_misses(table, pattern, options); });
    return near_misses_to_py(std::move(records), source, captured_names(pattern)).release();
  });
}

// The `by` argument: its name and column, or none.
std::pair<std::optional<std::string>, std::optional<std::size_t>> by_of(PyObject* object,
                                                                        const EventTable& table) {
  if (!object || object == Py_None) return {};
  std::string by = to_text(object, "by");
  const std::optional<std::size_t> column = table.column_of(by);
  if (!column) raise(PyExc_ValueError, "by: column `" + by + "` is not an attribute of the events");
  return {std::move(by), column};
}

PyObject* funnel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> names = {"pattern", "table", "by", "threads"};
  return guarded([&] {
    std::array<PyObject*, 4> values{};
    bind_fast({"_funnel()", names, 2}, args, nargs, kwnames, values);
    const SourceRef& source = require_table(values[1]);
    const Pattern pattern = coerce_pattern(values[0]);
    const EventTable& table = source->source.table;
    auto [by, by_column] = by_of(values[2], table);
    const std::size_t threads = thread_count(values[3], table.size());
    std::vector<FunnelGroup> groups =
        engine_call(threads, Lock::ReleasedForThreads, [&](const RunOptions& options) {
          return kestrel::funnel(table, pattern, by_column, options);
        });
    return funnel_to_py(std::move(groups), std::move(by), source).release();
  });
}

// A chunk's share of a funnel, as an Arrow stream of its pieces.
PyObject* funnel_pieces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> names = {"pattern", "table", "by", "threads"};
  return guarded([&] {
    std::array<PyObject*, 4> values{};
    bind_fast({"_funnel_pieces()", names, 2}, args, nargs, kwnames, values);
    const SourceRef& source = require_table(values[1]);
    const Pattern pattern = coerce_pattern(values[0]);
    const EventTable& table = source->source.table;
    const std::optional<std::size_t> by_column = by_of(values[2], table).second;
    const std::size_t threads = thread_count(values[3], table.size());
    const FunnelPieces pieces =
        engine_call(threads, Lock::ReleasedForThreads, [&](const RunOptions& options) {
          return kestrel::funnel_pieces(table, pattern, by_column, options);
        });
    OwnedStream owned;
    const Result<bool> exported = export_funnel_pieces(pieces, owned.stream, python_signals());
    if (!exported) raise(PyExc_ValueError, exported.error());
    return stream_to_capsule(std::move(owned)).release();
  });
}

// The funnel of the pieces of several chunks, read as one table.
PyObject* funnel_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names = {"pattern", "pieces", "by"};
  return guarded([&] {
    std::array<PyObject*, 3> values{};
    bind_fast({"_funnel_reduce()", names, 2}, args, nargs, kwnames, values);
    const SourceRef& source = require_table(values[1]);
    const Pattern pattern = coerce_pattern(values[0]);
    const EventTable& table = source->source.table;
    auto [by, by_column] = by_of(values[2], table);
    check_structure(pattern);
    Result<FunnelPieces> pieces = pieces_of_table(table, by_column, pattern.steps.size());
    if (!pieces) raise(PyExc_ValueError, pieces.error());
    std::vector<FunnelGroup> groups = engine_call(1, Lock::Held, [&](const RunOptions& options) {
      return reduce_funnel(pieces.value(), pattern, options);
    });
    return funnel_to_py(std::move(groups), std::move(by), source).release();
  });
}

PyObject* warnings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names = {"pattern", "table"};
  return guarded([&] {
    std::array<PyObject*, 2> values{};
    bind_fast({"_warnings()", names, 2}, args, nargs, kwnames, values);
    const SourceRef& source = require_table(values[1]);
    const Pattern pattern = coerce_pattern(values[0]);
    Ref list = own(PyList_New(0));
    for (const std::string& warning : pattern_warnings(pattern, source->source.table)) {
      if (PyList_Append(list.get(), text_to_py(warning).get()) < 0) throw PythonError{};
    }
    return list.release();
  });
}

// Column names: a list of str, or None where allowed.
std::optional<std::vector<std::string>> names_of(PyObject* object, std::string_view parameter,
                                                 bool none_allowed) {
  if (none_allowed && object == Py_None) return std::nullopt;
  if (!PyList_Check(object)) raise_argument_error(parameter, conversion_message(object, "PyList"));
  std::vector<std::string> names;
  for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
    names.push_back(to_text(PyList_GetItem(object, i), parameter));
  }
  return names;
}

// A null cell of a frame means the event lacks the attribute, as it does for
// rows, column mappings and the other frames' readers.
void nulls_to_missing(EventTable& table) {
  Interrupt interrupt = python_signals();
  for (std::vector<Cell>& column : table.columns) {
    for (Cell& cell : column) {
      interrupt.poll();
      if (cell.kind == CellKind::Null) cell = Cell{};
    }
  }
}

PyObject* table_from_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 7> names = {"source",     "partition", "ts",     "typ",
                                                       "attributes", "carry",     "threads"};
  return guarded([&] {
    std::array<PyObject*, 7> values{};
    bind_fast({"_table_from_arrow()", names, 6}, args, nargs, kwnames, values);
    ArrowColumns columns;
    columns.partition = to_text(values[1], "partition");
    columns.ts = to_text(values[2], "ts");
    columns.typ = to_text(values[3], "typ");
    columns.attributes = names_of(values[4], "attributes", true);
    columns.carry = *names_of(values[5], "carry", false);
    OwnedStream owned = stream_from_py(values[0]);
    const std::size_t threads = thread_count(values[6]);
    // The lock stays held: a producer's get_next may call into Python.
    Result<EventSource> source = engine_call(threads, Lock::Held, [&](const RunOptions& options) {
      return read_arrow_events(owned.stream, columns, options);
    });
    if (!source) raise_engine_error(source.failure());
    nulls_to_missing(source.value().table);
    return table_to_py(std::move(source).value()).release();
  });
}

}  // namespace

std::vector<std::string> attribute_names(const std::vector<Event>& events) {
  std::vector<std::string> names;
  for (const Event& event : events) {
    for (const auto& [name, value] : event.attrs) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

const SourceRef& require_table(PyObject* object) {
  if (!PyObject_TypeCheck(object, as_type(state().table_type))) {
    raise(PyExc_TypeError, "expected an EventTable, got " + type_name(object));
  }
  return record_of<TableRecord>(object).source;
}

// The names a pattern captures, each once, in byte order: the capture columns
// of the result tables.
std::vector<std::string> captured_names(const Pattern& pattern) {
  std::vector<std::string> names;
  for (const Step& step : pattern.steps) {
    for (const Capture& capture : step.atom.captures) names.push_back(capture.name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

TypeLayout table_layout() {
  return {"kestrel._core._EventTable", sizeof(Wrapper<TableRecord>), table_slots};
}

Ref table_to_py(EventSource source) {
  return make_wrapper(state().table_type.get(),
                      TableRecord{std::make_shared<const SharedSource>(std::move(source))});
}

PyObject* set_min_rows_per_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"rows"};
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"_set_min_rows_per_thread()", names, 1}, args, nargs, kwnames, values);
    const std::int64_t rows = to_int64(values[0], "rows");
    if (rows < 1) raise(PyExc_ValueError, "rows must be at least 1");
    std::size_t& kept = state().min_rows_per_thread;
    const std::size_t before = std::exchange(kept, static_cast<std::size_t>(rows));
    return own(PyLong_FromSize_t(before)).release();
  });
}

PyMethodDef table_functions[] = {
    {"_table_from_columns", fast(table_from_columns), kFastKeywords,
     "_table_from_columns(length, partition, ts, typ, attributes, timezone=None, carry=None)"
     "\n--\n\n"
     "Build a table from columns: (name, kind, data) for the partition and type, (name, int64 "
     "buffer) for the timestamp, and a list of (name, kind, data, null mask) for the "
     "attributes. A `timezone` (\"\" when naive) says the timestamps were datetimes, as "
     "nanoseconds. `carry` lists (name, kind, data, null mask, Arrow format) columns copied "
     "into results."},
    {"_set_min_rows_per_thread", fast(set_min_rows_per_thread), kFastKeywords,
     "_set_min_rows_per_thread(rows)\n--\n\nThe fewest rows a call gives each thread, below "
     "which it runs on fewer; returns the count before. For tests of the threaded paths."},
    {"_table_from_events", fast(table_from_events), kFastKeywords,
     "_table_from_events(events)\n--\n\nBuild a table from a sequence of Event objects."},
    {"_match", fast(match), kFastKeywords,
     "_match(pattern, table, exhaustive=False, max_matches=None, threads=1)\n--\n\nMatch a "
     "pattern over a table; indices are input positions. With `threads` above 1 the partitions "
     "are split across that many threads, the interpreter lock released; the result is the "
     "same."},
    {"_explain", fast(explain), kFastKeywords,
     "_explain(pattern, table, threads=1)\n--\n\nNear misses of a pattern over a table; "
     "indices are input positions. `threads` as for _match."},
    {"_table_from_arrow", fast(table_from_arrow), kFastKeywords,
     "_table_from_arrow(source, partition, ts, typ, attributes, carry, threads=1)\n--\n\nBuild "
     "a table from an Arrow stream: `source` has __arrow_c_stream__ or __arrow_c_array__, or is "
     "an arrow_array_stream capsule; `attributes` None keeps every other column; `carry` names "
     "columns copied into results; each batch's columns are read on up to `threads` threads."},
    {"_funnel", fast(funnel), kFastKeywords,
     "_funnel(pattern, table, by=None, threads=1)\n--\n\nThe funnel of a pattern over a "
     "table, one row per step (and per value of the `by` column). `threads` as for _match."},
    {"_funnel_pieces", fast(funnel_pieces), kFastKeywords,
     "_funnel_pieces(pattern, table, by=None, threads=1)\n--\n\nThe pieces a funnel reduces: "
     "an Arrow stream, one row per (group, partition) at its deepest start. `threads` as for "
     "_match."},
    {"_funnel_reduce", fast(funnel_reduce), kFastKeywords,
     "_funnel_reduce(pattern, pieces, by=None)\n--\n\nThe funnel of a table of pieces from "
     "_funnel_pieces, each with its first start's partition, ts and `by` cell."},
    {"_warnings", fast(warnings), kFastKeywords,
     "_warnings(pattern, table)\n--\n\nWhy a pattern cannot match the table's events, one "
     "sentence per problem."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrel::binding
