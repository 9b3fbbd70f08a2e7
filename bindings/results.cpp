// The private result-set type: matches, near misses or funnel rows, held as
// engine records with a shared reference to the table they came from.
//
// Match and NearMiss objects are made only when asked for, one per item,
// rebuilding the events they name from the table's rows, so a result set of
// a million matches costs no Python objects until they are read.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kestrel/arrow_output.hpp"
#include "pickled_state.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

// One row of a funnel: one step of one group.
struct FunnelRow {
  std::size_t group;  // rows of one group share it, for rebuilding the groups
  std::optional<Value> key;
  FunnelStep step;
};

struct FunnelRows {
  std::optional<std::string> by;  // the grouping column, which adds a first column
  std::vector<FunnelRow> rows;

  // The groups again, a run of rows of one group making one group.
  std::vector<FunnelGroup> groups() const {
    std::vector<FunnelGroup> out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i == 0 || rows[i].group != rows[i - 1].group) out.push_back({rows[i].key, {}});
      out.back().steps.push_back(rows[i].step);
    }
    return out;
  }
};

void describe(auto& io, Is<FunnelRow> auto& row) { io(row.group, row.key, row.step); }
void describe(auto& io, Is<FunnelRows> auto& funnel) { io(funnel.by, funnel.rows); }

struct ResultsRecord {
  SourceRef source;
  std::variant<std::vector<Match>, std::vector<NearMiss>, FunnelRows> items;
  std::vector<std::string> captures;  // the names the pattern captures
};

const ResultsRecord& results_of(PyObject* self) { return record_of<ResultsRecord>(self); }

std::size_t count(const ResultsRecord& record) {
  return std::visit(
      [](const auto& items) -> std::size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(items)>, FunnelRows>) {
          return items.rows.size();
        } else {
          return items.size();
        }
      },
      record.items);
}

Py_ssize_t results_length(PyObject* self) {
  return static_cast<Py_ssize_t>(count(results_of(self)));
}

std::vector<Event> events_of(const SharedSource& source, const std::vector<std::size_t>& indices) {
  std::vector<Event> events;
  events.reserve(indices.size());
  for (std::size_t index : indices) events.push_back(source.event_at(index));
  return events;
}

Ref optional_number(const std::optional<double>& number) {
  return number ? own(PyFloat_FromDouble(*number)) : Ref::borrow(Py_None);
}

// A time between events: a number in the caller's unit for integer time; for
// datetimes (held as nanoseconds) a timedelta, rounded to the column's unit
// as the Arrow export rounds it (timedelta itself keeps microseconds).
Ref duration_to_py(const std::optional<double>& nanoseconds, const TimeColumn& time) {
  if (!nanoseconds || time.kind == TimeColumn::Kind::Integer) return optional_number(nanoseconds);
  const double divisor = time.unit == "s"    ? 1e9
                         : time.unit == "ms" ? 1e6
                         : time.unit == "us" ? 1e3
                                             : 1;
  const double rounded = std::nearbyint(*nanoseconds / divisor) * divisor;
  Ref module = own(PyImport_ImportModule("datetime"));
  Ref timedelta = own(PyObject_GetAttrString(module.get(), "timedelta"));
  Ref micros = own(PyFloat_FromDouble(rounded / 1e3));
  Ref no_arguments = own(PyTuple_New(0));
  Ref keywords = own(PyDict_New());
  set_item(keywords.get(), "microseconds", std::move(micros));
  return own(PyObject_Call(timedelta.get(), no_arguments.get(), keywords.get()));
}

Ref size_to_py(std::size_t value) { return own(PyLong_FromSize_t(value)); }

Ref funnel_row_to_py(const FunnelRows& funnel, const FunnelRow& row, const TimeColumn& time) {
  const FunnelStep& step = row.step;
  std::size_t dropped = 0;
  for (std::size_t each : step.dropped) dropped += each;
  std::vector<Ref> cells;
  if (funnel.by) cells.push_back(optional_value_to_py(row.key));
  cells.push_back(size_to_py(step.step));
  cells.push_back(text_to_py(step.event_type));
  cells.push_back(size_to_py(step.entered));
  cells.push_back(size_to_py(dropped));
  for (std::size_t each : step.dropped) cells.push_back(size_to_py(each));
  cells.push_back(optional_number(step.conversion));
  cells.push_back(duration_to_py(step.time_p50, time));
  cells.push_back(duration_to_py(step.time_p90, time));
  Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(cells.size())));
  for (std::size_t i = 0; i < cells.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), cells[i].release());
  }
  return tuple;
}

Ref item_to_py(const ResultsRecord& record, std::size_t i) {
  const SharedSource& source = *record.source;
  if (const auto* matches = std::get_if<std::vector<Match>>(&record.items)) {
    return new_match((*matches)[i], events_of(source, (*matches)[i].indices));
  }
  if (const auto* misses = std::get_if<std::vector<NearMiss>>(&record.items)) {
    return new_near_miss((*misses)[i], events_of(source, (*misses)[i].indices));
  }
  const FunnelRows& funnel = std::get<FunnelRows>(record.items);
  return funnel_row_to_py(funnel, funnel.rows[i], source.source.time);
}

PyObject* results_item(PyObject* self, Py_ssize_t i) {
  return guarded([&] {
    const ResultsRecord& record = results_of(self);
    if (i < 0 || static_cast<std::size_t>(i) >= count(record)) {
      raise(PyExc_IndexError, "result index out of range");
    }
    return item_to_py(record, static_cast<std::size_t>(i)).release();
  });
}

template <class Item>
std::vector<Item> pick(const std::vector<Item>& items, const std::vector<std::size_t>& at) {
  std::vector<Item> picked;
  picked.reserve(at.size());
  for (std::size_t i : at) picked.push_back(items[i]);
  return picked;
}

ResultsRecord taken(const ResultsRecord& record, const std::vector<std::size_t>& at) {
  ResultsRecord out{record.source, {}, record.captures};
  std::visit(
      [&](const auto& items) {
        if constexpr (std::is_same_v<std::decay_t<decltype(items)>, FunnelRows>) {
          out.items = FunnelRows{items.by, pick(items.rows, at)};
        } else {
          out.items = pick(items, at);
        }
      },
      record.items);
  return out;
}

// Indices of a sequence, each checked against the result set's size.
std::vector<std::size_t> index_list_of(PyObject* indices, std::size_t size) {
  Ref sequence = own(PySequence_Fast(indices, "take() expects a sequence of int"));
  const Py_ssize_t length = PySequence_Size(sequence.get());
  if (length < 0) throw PythonError{};
  std::vector<std::size_t> out;
  out.reserve(static_cast<std::size_t>(length));
  Interrupt interrupt = python_signals();
  for (Py_ssize_t k = 0; k < length; ++k) {
    interrupt.poll();
    // Held: __index__ may run code that changes the sequence.
    Ref item = own(PySequence_GetItem(sequence.get(), k));
    const Py_ssize_t i = PyNumber_AsSsize_t(item.get(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw PythonError{};
    if (i < 0 || static_cast<std::size_t>(i) >= size) {
      raise(PyExc_IndexError, "result index out of range");
    }
    out.push_back(static_cast<std::size_t>(i));
  }
  return out;
}

Ref results_to_py(ResultsRecord record) {
  return make_wrapper(state().results_type.get(), std::move(record));
}

PyObject* results_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"indices"};
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"_Results.take()", names, 1}, args, nargs, kwnames, values);
    const ResultsRecord& record = results_of(self);
    return results_to_py(taken(record, index_list_of(values[0], count(record)))).release();
  });
}

// Iteration by index, declared so that the type is iterable by its own slot.
PyObject* results_iter(PyObject* self) { return PySeqIter_New(self); }

Result<bool> export_results(const ResultsRecord& record, ArrowArrayStream& out) {
  const EventSource& source = record.source->source;
  const Interrupt interrupt = python_signals();
  if (const auto* matches = std::get_if<std::vector<Match>>(&record.items)) {
    return export_matches(*matches, source, out, record.captures, interrupt);
  }
  if (const auto* misses = std::get_if<std::vector<NearMiss>>(&record.items)) {
    return export_near_misses(*misses, source, out, record.captures, interrupt);
  }
  const FunnelRows& funnel = std::get<FunnelRows>(record.items);
  const std::optional<std::string_view> by = funnel.by;
  return export_funnel(funnel.groups(), source, out, by, interrupt);
}

// A requested schema may be ignored, as the interface allows: the caller
// then casts.
PyObject* results_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"requested_schema"};
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"_Results.__arrow_c_stream__()", names, 0}, args, nargs, kwnames, values);
    OwnedStream owned;
    const Result<bool> exported = export_results(results_of(self), owned.stream);
    if (!exported) raise_engine_error(exported.failure());
    return stream_to_capsule(std::move(owned)).release();
  });
}

PyObject* results_kind(PyObject* self, void*) {
  return guarded([&] {
    static constexpr const char* kinds[] = {"matches", "near_misses", "funnel"};
    return text_to_py(kinds[results_of(self).items.index()]).release();
  });
}

PyObject* results_repr(PyObject* self) {
  return guarded([&] {
    const ResultsRecord& record = results_of(self);
    static constexpr const char* kinds[] = {"matches", "near_misses", "funnel"};
    return text_to_py("_Results(" + std::to_string(count(record)) + " " +
                      kinds[record.items.index()] + ")")
        .release();
  });
}

// The result indices of the records, each once, ascending: the events a
// pickle keeps.
std::vector<std::size_t> named_indices(const ResultsRecord& record) {
  std::vector<std::size_t> indices;
  std::visit(
      [&](const auto& items) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(items)>, FunnelRows>) {
          for (const auto& item : items) {
            indices.insert(indices.end(), item.indices.begin(), item.indices.end());
          }
        }
      },
      record.items);
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  return indices;
}

// A carried column's cells at the kept events, Missing as none.
std::vector<std::optional<Value>> carried_cells(const CarriedColumn& carried,
                                                const SharedSource& shared,
                                                const std::vector<std::size_t>& indices) {
  std::vector<std::optional<Value>> cells;
  cells.reserve(indices.size());
  for (std::size_t index : indices) {
    const Cell& cell = carried.values.at(input_position(shared.source, index));
    cells.push_back(shared.source.table.value_of(cell));
  }
  return cells;
}

// The state: the records, and of the source only the events they name (by
// their result indices), the time column and the carried cells there.
PyObject* results_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    const ResultsRecord& record = results_of(self);
    const SharedSource& shared = *record.source;
    const std::vector<std::size_t> indices = named_indices(record);
    StateWriter writer('r');
    writer(record.captures, shared.source.time, indices, events_of(shared, indices),
           static_cast<std::uint64_t>(shared.source.carried.size()));
    for (const CarriedColumn& carried : shared.source.carried) {
      writer(carried.name, carried.format, carried_cells(carried, shared, indices));
    }
    writer(record.items);
    return reduce_to("_results_from_state", state_to_py(writer)).release();
  });
}

PyMethodDef results_methods[] = {
    {"__reduce__", results_reduce, METH_NOARGS, nullptr},
    {"take", fast(results_take), kFastKeywords,
     "take($self, indices)\n--\n\nThe results at `indices` (each in range), as a new result "
     "set."},
    {"__arrow_c_stream__", fast(results_arrow_c_stream), kFastKeywords,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nThe results as an Arrow C "
     "stream in a PyCapsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef results_getset[] = {
    {"kind", results_kind, nullptr,
     const_cast<char*>("\"matches\", \"near_misses\" or \"funnel\"."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot results_slots[] = {
    {Py_tp_doc, const_cast<char*>("Results of one call, read on demand.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<ResultsRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(results_repr)},
    {Py_tp_methods, results_methods},
    {Py_tp_getset, results_getset},
    {Py_sq_length, reinterpret_cast<void*>(results_length)},
    {Py_sq_item, reinterpret_cast<void*>(results_item)},
    {Py_tp_iter, reinterpret_cast<void*>(results_iter)},
    {0, nullptr},
};

// The kept events as a source whose result indices are those they had.
EventSource read_source(StateReader& reader) {
  TimeColumn time;
  std::vector<std::size_t> indices;
  std::vector<Event> events;
  std::uint64_t carried_count = 0;
  reader(time, indices, events, carried_count);
  if (events.size() != indices.size() ||
      std::adjacent_find(indices.begin(), indices.end(), std::greater_equal<>()) != indices.end()) {
    StateReader::fail("its events do not match their indices");
  }
  const std::vector<std::string> attributes = attribute_names(events);
  EventSource source = source_from_events(std::move(events), attributes, std::move(time));
  source.stream_positions = indices;
  for (std::uint64_t c = 0; c < carried_count; ++c) {
    CarriedColumn carried;
    std::vector<std::optional<Value>> cells;
    reader(carried.name, carried.format, cells);
    for (const std::optional<Value>& cell : cells) {
      carried.values.push_back(cell ? source.table.cell_of(*cell) : Cell{});
    }
    kestrel::check(carried, source.table);
    source.carried.push_back(std::move(carried));
  }
  return source;
}

// Every event a record names is kept, and a funnel key needs a `by`.
void check_items(const ResultsRecord& record) {
  const std::vector<std::size_t>& kept = record.source->source.stream_positions;
  const bool all_kept = std::visit(
      [&](const auto& items) {
        if constexpr (std::is_same_v<std::decay_t<decltype(items)>, FunnelRows>) {
          return items.by || std::none_of(items.rows.begin(), items.rows.end(),
                                          [](const FunnelRow& row) { return row.key; });
        } else {
          return std::all_of(items.begin(), items.end(), [&](const auto& item) {
            return std::all_of(item.indices.begin(), item.indices.end(), [&](std::size_t i) {
              return std::binary_search(kept.begin(), kept.end(), i);
            });
          });
        }
      },
      record.items);
  if (!all_kept) StateReader::fail("its records name events it lacks");
}

PyObject* results_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] {
    PyObject* bytes = state_argument("_results_from_state()", args, nargs, kwnames);
    ResultsRecord record = read_state(bytes, 'r', [](StateReader& reader) {
      ResultsRecord rebuilt;
      reader(rebuilt.captures);
      rebuilt.source = std::make_shared<const SharedSource>(read_source(reader));
      reader(rebuilt.items);
      reader.finish();
      check_items(rebuilt);
      return rebuilt;
    });
    return results_to_py(std::move(record)).release();
  });
}

}  // namespace

PyMethodDef results_from_state_def = {
    "_results_from_state", fast(results_from_state), kFastKeywords,
    "_results_from_state(state)\n--\n\nA result set from the state its pickle holds."};

TypeLayout results_layout() {
  return {"kestrel._core._Results", sizeof(Wrapper<ResultsRecord>), results_slots};
}

Ref matches_to_py(std::vector<Match> matches, SourceRef source, std::vector<std::string> captures) {
  return results_to_py({std::move(source), std::move(matches), std::move(captures)});
}

Ref near_misses_to_py(std::vector<NearMiss> near_misses, SourceRef source,
                      std::vector<std::string> captures) {
  return results_to_py({std::move(source), std::move(near_misses), std::move(captures)});
}

Ref funnel_to_py(std::vector<FunnelGroup> groups, std::optional<std::string> by, SourceRef source) {
  FunnelRows funnel{std::move(by), {}};
  for (std::size_t group = 0; group < groups.size(); ++group) {
    for (FunnelStep& step : groups[group].steps) {
      funnel.rows.push_back({group, groups[group].key, std::move(step)});
    }
  }
  return results_to_py({std::move(source), std::move(funnel), {}});
}

}  // namespace kestrel::binding
