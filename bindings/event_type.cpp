// The Event class, the conversion of an event list argument, and
// sort_events.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/event.hpp"

#include "py_support.hpp"

namespace kestrel::binding {

Ref event_to_py(kestrel::Event event) {
  return make_wrapper(state().event_type.get(), std::move(event));
}

const kestrel::Event& event_of(PyObject* self) { return record_of<kestrel::Event>(self); }

Ref events_to_list(const std::vector<kestrel::Event>& events) {
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(events.size())));
  for (std::size_t i = 0; i < events.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), event_to_py(events[i]).release());
  }
  return list;
}

std::vector<kestrel::Event> events_at(const std::vector<std::size_t>& indices,
                                      std::span<const kestrel::Event> events) {
  std::vector<kestrel::Event> picked;
  picked.reserve(indices.size());
  for (std::size_t index : indices) picked.push_back(events[index]);
  return picked;
}

namespace {

using DictEntry = std::pair<Ref, Ref>;

// The entries of a dict, held, in iteration order. Reading them runs no
// Python code.
std::vector<DictEntry> dict_entries(PyObject* dict) {
  std::vector<DictEntry> entries;
  entries.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(dict, &position, &key, &value)) {
    entries.emplace_back(Ref::borrow(key), Ref::borrow(value));
  }
  return entries;
}

// Whether `dict` still holds exactly `entries`, the same objects in the same order.
bool dict_holds(PyObject* dict, const std::vector<DictEntry>& entries) {
  if (PyDict_Size(dict) != static_cast<Py_ssize_t>(entries.size())) return false;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t position = 0;
  for (const auto& [held_key, held_value] : entries) {
    if (!PyDict_Next(dict, &position, &key, &value)) return false;
    if (key != held_key.get() || value != held_value.get()) return false;
  }
  return true;
}

kestrel::Event build_event(PyObject* const* values) {
  kestrel::Event event;
  event.partition = to_text(values[0], "partition");
  event.ts = to_int64(values[1], "ts");
  event.typ = to_text(values[2], "typ");
  PyObject* attrs = values[3];
  if (!attrs || attrs == Py_None) return event;
  if (!PyDict_Check(attrs)) raise_argument_error("attrs", conversion_message(attrs, "PyDict"));
  const std::vector<DictEntry> entries = dict_entries(attrs);
  event.attrs.reserve(entries.size());
  for (const auto& [key, value] : entries) {
    if (!PyUnicode_Check(key.get())) {
      raise(PyExc_TypeError, conversion_message(key.get(), "PyString"));
    }
    std::string name = utf8(key.get());
    event.attrs.set(std::move(name), py_to_value(value.get()));
  }
  // A conversion hook may have changed the dict; an event made from a mix
  // of its old and new entries would be wrong.
  if (!dict_holds(attrs, entries)) raise(PyExc_RuntimeError, "dictionary changed during iteration");
  return event;
}

constexpr std::array<const char*, 4> kEventParameters = {"partition", "ts", "typ", "attrs"};

PyObject* event_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    std::array<PyObject*, 4> values{};
    bind_tuple({"Event.__new__()", kEventParameters, 3}, args, kwargs, values);
    return event_to_py(build_event(values.data())).release();
  });
}

PyObject* event_partition(PyObject* self, void*) {
  return guarded([&] { return text_to_py(event_of(self).partition).release(); });
}
PyObject* event_ts(PyObject* self, void*) {
  return guarded([&] { return own(PyLong_FromLongLong(event_of(self).ts)).release(); });
}
PyObject* event_typ(PyObject* self, void*) {
  return guarded([&] { return text_to_py(event_of(self).typ).release(); });
}
PyObject* event_attrs(PyObject* self, void*) {
  return guarded([&] { return map_to_dict(event_of(self).attrs).release(); });
}
PyObject* event_repr(PyObject* self) {
  return guarded([&] {
    const kestrel::Event& event = event_of(self);
    return text_to_py("Event(partition=" + quoted(event.partition) +
                      ", ts=" + std::to_string(event.ts) + ", typ=" + quoted(event.typ) + ")")
        .release();
  });
}

// Event(partition, ts, typ, attrs) rebuilds every event exactly.
PyObject* event_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    const kestrel::Event& event = event_of(self);
    Ref partition = text_to_py(event.partition);
    Ref ts = own(PyLong_FromLongLong(event.ts));
    Ref typ = text_to_py(event.typ);
    Ref attrs = map_to_dict(event.attrs);
    Ref arguments = own(PyTuple_Pack(4, partition.get(), ts.get(), typ.get(), attrs.get()));
    return own(PyTuple_Pack(2, Py_TYPE(self), arguments.get())).release();
  });
}

PyMethodDef event_methods[] = {
    {"__reduce__", event_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef event_getset[] = {
    {"partition", event_partition, nullptr, nullptr, nullptr},
    {"ts", event_ts, nullptr, nullptr, nullptr},
    {"typ", event_typ, nullptr, nullptr, nullptr},
    {"attrs", event_attrs, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>("Event(partition, ts, typ, attrs=None)\n--\n\n"
                                  "A single typed, timestamped event within a partition.")},
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<kestrel::Event>)},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_getset, event_getset},
    {Py_tp_methods, event_methods},
    {0, nullptr},
};

void append_event(std::vector<kestrel::Event>& out, PyObject* item) {
  if (!PyObject_TypeCheck(item, as_type(state().event_type))) {
    raise_argument_error("events", conversion_message(item, "Event"));
  }
  out.push_back(event_of(item));
}

}  // namespace

TypeLayout event_layout() { return {"kestrel._core.Event", sizeof(Wrapper<Event>), event_slots}; }

// The one copy of the caller's events that a call makes.
std::vector<kestrel::Event> extract_events(PyObject* events) {
  if (PyUnicode_Check(events)) raise_argument_error("events", "Can't extract `str` to `Vec`");
  if (!PySequence_Check(events)) {
    raise_argument_error("events", conversion_message(events, "Sequence"));
  }
  std::vector<kestrel::Event> out;
  // Copying records runs no Python code, so an exact list cannot change under us.
  if (PyList_CheckExact(events)) {
    const Py_ssize_t size = PyList_Size(events);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) append_event(out, PyList_GetItem(events, i));
    return out;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(events));
  if (!iterator) prefix_pending_type_error("events");
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) append_event(out, item.get());
  if (PyErr_Occurred()) prefix_pending_type_error("events");
  return out;
}

void require_canonical_order(std::span<const kestrel::Event> events) {
  if (!kestrel::is_sorted_by_partition_time_index(events)) {
    raise(PyExc_ValueError,
          "events must be grouped by partition and sorted by (timestamp, input order); call "
          "sort_events first");
  }
}

namespace {

constexpr std::array<const char*, 1> kEventsParameter = {"events"};

PyObject* sort_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"sort_events()", kEventsParameter, 1}, args, nargs, kwnames, values);
    std::vector<kestrel::Event> events = extract_events(values[0]);
    const std::vector<std::size_t> order = kestrel::canonical_order(events);
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(events.size())));
    for (std::size_t i = 0; i < order.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                     event_to_py(std::move(events[order[i]])).release());
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef sort_events_def = {
    "sort_events", fast(sort_events), kFastKeywords,
    "sort_events(events)\n--\n\nReturn a copy of `events` sorted by partition then "
    "`(timestamp, input order)`."};

}  // namespace kestrel::binding
