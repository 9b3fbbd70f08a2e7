// The Match class and match_events.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "engine/match/oracle.hpp"
#include "kestrel/matcher.hpp"
#include "pickled_state.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

const MatchRecord& match_of(PyObject* self) { return record_of<MatchRecord>(self); }

PyObject* match_partition(PyObject* self, void*) {
  return guarded([&] { return text_to_py(match_of(self).match.partition).release(); });
}
PyObject* match_indices(PyObject* self, void*) {
  return guarded([&] { return indices_to_list(match_of(self).match.indices).release(); });
}
PyObject* match_start(PyObject* self, void*) {
  return guarded([&] { return own(PyLong_FromLongLong(match_of(self).match.start)).release(); });
}
PyObject* match_end(PyObject* self, void*) {
  return guarded([&] { return own(PyLong_FromLongLong(match_of(self).match.end)).release(); });
}
PyObject* match_types(PyObject* self, void*) {
  return guarded([&] {
    const auto& events = match_of(self).events;
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(events.size())));
    for (std::size_t i = 0; i < events.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text_to_py(events[i].typ).release());
    }
    return list.release();
  });
}
PyObject* match_events_property(PyObject* self, void*) {
  return guarded([&] { return events_to_list(match_of(self).events).release(); });
}
PyObject* match_captures(PyObject* self, void*) {
  return guarded([&] { return map_to_dict(match_of(self).match.captures).release(); });
}
PyObject* match_repr(PyObject* self) {
  return guarded([&] {
    const kestrel::Match& match = match_of(self).match;
    return text_to_py("Match(partition=" + quoted(match.partition) +
                      ", indices=" + index_list(match.indices) + ", span=(" +
                      std::to_string(match.start) + ", " + std::to_string(match.end) + "))")
        .release();
  });
}

PyObject* match_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    const MatchRecord& record = match_of(self);
    StateWriter writer('m');
    writer(record.match, record.events);
    return reduce_to("_match_from_state", state_to_py(writer)).release();
  });
}

PyObject* match_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    PyObject* bytes = state_argument("_match_from_state()", args, nargs, kwnames);
    MatchRecord record = read_state(bytes, 'm', [](StateReader& reader) {
      MatchRecord rebuilt;
      reader(rebuilt.match, rebuilt.events);
      reader.finish();
      if (rebuilt.events.size() != rebuilt.match.indices.size()) {
        StateReader::fail("its events do not match their indices");
      }
      return rebuilt;
    });
    return new_match(std::move(record.match), std::move(record.events)).release();
  });
}

PyMethodDef match_methods[] = {
    {"__reduce__", match_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef match_getset[] = {
    {"partition", match_partition, nullptr, nullptr, nullptr},
    {"indices", match_indices, nullptr, nullptr, nullptr},
    {"start", match_start, nullptr, nullptr, nullptr},
    {"end", match_end, nullptr, nullptr, nullptr},
    {"types", match_types, nullptr, nullptr, nullptr},
    {"events", match_events_property, nullptr, nullptr, nullptr},
    {"captures", match_captures, nullptr,
     const_cast<char*>("Captured bindings (registers) as a dict of name to value."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A single match, carrying its participating events and captured bindings.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<MatchRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(match_repr)},
    {Py_tp_getset, match_getset},
    {Py_tp_methods, match_methods},
    {0, nullptr},
};

}  // namespace

TypeLayout match_layout() {
  return {"kestrel._core.Match", sizeof(Wrapper<MatchRecord>), match_slots};
}

Ref new_match(Match match, std::vector<Event> events) {
  return make_wrapper(state().match_type.get(), MatchRecord{std::move(match), std::move(events)});
}

namespace {

constexpr std::array<const char*, 4> kMatchParameters = {"pattern", "events", "exhaustive",
                                                         "use_oracle"};

PyObject* match_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 4> values{};
    bind_fast({"match_events()", kMatchParameters, 2}, args, nargs, kwnames, values);
    const std::vector<kestrel::Event> events = extract_events(values[1]);
    const bool exhaustive = to_strict_bool(values[2], "exhaustive");
    const bool use_oracle = to_strict_bool(values[3], "use_oracle");
    require_canonical_order(events);
    kestrel::Pattern pattern = coerce_pattern(values[0]);
    if (exhaustive) pattern.consumption = kestrel::MatchConsumption::ExhaustivePerStart;
    std::vector<kestrel::Match> matches =
        use_oracle ? kestrel::oracle_matches(events, pattern, python_signals())
                   : kestrel::compiled_matches(events, pattern, python_signals());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    kestrel::Interrupt interrupt = python_signals();
    for (std::size_t i = 0; i < matches.size(); ++i) {
      interrupt.poll();
      std::vector<Event> picked = events_at(matches[i].indices, events);
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                     new_match(std::move(matches[i]), std::move(picked)).release());
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef match_events_def = {
    "match_events", fast(match_events), kFastKeywords,
    "match_events(pattern, events, exhaustive=False, use_oracle=False)\n--\n\nRun a pattern over "
    "already-sorted events.\n\nRaises `ValueError` if the events are not grouped by partition "
    "and sorted by\n`(timestamp, input order)`; callers should use the high-level `match`\n"
    "wrapper or [`sort_events`] first."};

PyMethodDef match_from_state_def = {
    "_match_from_state", fast(match_from_state), kFastKeywords,
    "_match_from_state(state)\n--\n\nA Match from the state its pickle holds."};

const MatchRecord* match_record(PyObject* object) {
  if (!PyObject_TypeCheck(object, as_type(state().match_type))) return nullptr;
  return &record_of<MatchRecord>(object);
}

}  // namespace kestrel::binding
