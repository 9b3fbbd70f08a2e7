// The private result-set type: matches, near misses or funnel rows, held as
// engine records with a shared reference to the table they came from.
//
// Match and NearMiss objects are made only when asked for, one per item,
// rebuilding the events they name from the table's rows, so a result set of
// a million matches costs no Python objects until they are read.
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

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
  bool by = false;  // whether the funnel was grouped, which adds a first column
  std::vector<FunnelRow> rows;
};

struct ResultsRecord {
  SourceRef source;
  std::variant<std::vector<Match>, std::vector<NearMiss>, FunnelRows> items;
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

Ref size_to_py(std::size_t value) { return own(PyLong_FromSize_t(value)); }

Ref funnel_row_to_py(const FunnelRows& funnel, const FunnelRow& row) {
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
  cells.push_back(optional_number(step.time_p50));
  cells.push_back(optional_number(step.time_p90));
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
  return funnel_row_to_py(funnel, funnel.rows[i]);
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
  ResultsRecord out{record.source, {}};
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

PyMethodDef results_methods[] = {
    {"take", fast(results_take), kFastKeywords,
     "take($self, indices)\n--\n\nThe results at `indices` (each in range), as a new result "
     "set."},
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

}  // namespace

TypeLayout results_layout() {
  return {"kestrel._core._Results", sizeof(Wrapper<ResultsRecord>), results_slots};
}

Ref matches_to_py(std::vector<Match> matches, SourceRef source) {
  return results_to_py({std::move(source), std::move(matches)});
}

Ref near_misses_to_py(std::vector<NearMiss> near_misses, SourceRef source) {
  return results_to_py({std::move(source), std::move(near_misses)});
}

Ref funnel_to_py(std::vector<FunnelGroup> groups, bool by, SourceRef source) {
  FunnelRows funnel{by, {}};
  for (std::size_t group = 0; group < groups.size(); ++group) {
    for (FunnelStep& step : groups[group].steps) {
      funnel.rows.push_back({group, groups[group].key, std::move(step)});
    }
  }
  return results_to_py({std::move(source), std::move(funnel)});
}

}  // namespace kestrel::binding
