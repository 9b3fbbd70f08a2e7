// The NearMiss class and near_miss_events.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/explain.hpp"
#include "pickled_state.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

const NearMissRecord& near_miss_of(PyObject* self) { return record_of<NearMissRecord>(self); }

Ref failure_to_dict(const kestrel::PredicateFailure& failure) {
  Ref dict = own(PyDict_New());
  PyObject* d = dict.get();
  if (const auto* p = std::get_if<kestrel::PredicateMismatch>(&failure)) {
    set_item(d, "type", text_to_py("predicate"));
    set_item(d, "attribute", text_to_py(p->attribute));
    set_item(d, "operator", text_to_py(kestrel::operator_symbol(p->op)));
    set_item(d, "expected", value_to_py(p->expected));
    set_item(d, "actual", optional_value_to_py(p->actual));
  } else if (const auto* r = std::get_if<kestrel::ReferenceMismatch>(&failure)) {
    set_item(d, "type", text_to_py("reference"));
    set_item(d, "attribute", text_to_py(r->attribute));
    set_item(d, "operator", text_to_py(kestrel::operator_symbol(r->op)));
    set_item(d, "binding", text_to_py(r->binding));
    set_item(d, "bound", optional_value_to_py(r->bound));
    set_item(d, "actual", optional_value_to_py(r->actual));
  } else {
    const auto& c = std::get<kestrel::CaptureConflict>(failure);
    set_item(d, "type", text_to_py("capture"));
    set_item(d, "name", text_to_py(c.name));
    set_item(d, "attribute", text_to_py(c.attribute));
    set_item(d, "bound", value_to_py(c.bound));
    set_item(d, "actual", optional_value_to_py(c.actual));
  }
  return dict;
}

Ref detail_to_dict(const kestrel::NearMissDetail& detail) {
  Ref dict = own(PyDict_New());
  PyObject* d = dict.get();
  set_item(d, "kind", text_to_py(kestrel::reason_text(detail)));
  if (const auto* p = std::get_if<kestrel::PredicateFailed>(&detail)) {
    set_item(d, "event_index", index_to_py(p->event_index));
    Ref failures = own(PyList_New(0));
    for (const auto& failure : p->failures) {
      if (PyList_Append(failures.get(), failure_to_dict(failure).get()) < 0) throw PythonError{};
    }
    set_item(d, "failures", std::move(failures));
  } else if (const auto* a = std::get_if<kestrel::AbsenceBlocked>(&detail)) {
    set_item(d, "candidate_index", index_to_py(a->candidate_index));
    set_item(d, "blocking_index", index_to_py(a->blocking_index));
    set_item(d, "blocking_event_type", text_to_py(a->blocking_event_type));
    set_item(d, "candidate_satisfies", Ref::borrow(a->candidate_satisfies ? Py_True : Py_False));
  } else if (const auto* w = std::get_if<kestrel::WindowExceeded>(&detail)) {
    set_item(d, "candidate_index", index_to_py(w->candidate_index));
    set_item(d, "gap", own(PyLong_FromLongLong(w->gap)));
    set_item(d, "max_elapsed", own(PyLong_FromLongLong(w->max_elapsed)));
  }
  return dict;
}

PyObject* near_miss_partition(PyObject* self, void*) {
  return guarded([&] { return text_to_py(near_miss_of(self).near_miss.partition).release(); });
}
PyObject* near_miss_start_index(PyObject* self, void*) {
  return guarded([&] { return index_to_py(near_miss_of(self).near_miss.start_index).release(); });
}
PyObject* near_miss_indices(PyObject* self, void*) {
  return guarded([&] { return indices_to_list(near_miss_of(self).near_miss.indices).release(); });
}
PyObject* near_miss_reached_steps(PyObject* self, void*) {
  return guarded([&] { return index_to_py(near_miss_of(self).near_miss.reached_steps).release(); });
}
PyObject* near_miss_next_event_type(PyObject* self, void*) {
  return guarded(
      [&] { return text_to_py(near_miss_of(self).near_miss.next_event_type).release(); });
}
PyObject* near_miss_reason(PyObject* self, void*) {
  return guarded([&] {
    return text_to_py(kestrel::reason_text(near_miss_of(self).near_miss.detail)).release();
  });
}
PyObject* near_miss_detail(PyObject* self, void*) {
  return guarded([&] { return detail_to_dict(near_miss_of(self).near_miss.detail).release(); });
}
PyObject* near_miss_events_property(PyObject* self, void*) {
  return guarded([&] { return events_to_list(near_miss_of(self).events).release(); });
}
PyObject* near_miss_captures(PyObject* self, void*) {
  return guarded([&] { return map_to_dict(near_miss_of(self).near_miss.captures).release(); });
}
PyObject* near_miss_repr(PyObject* self) {
  return guarded([&] {
    const kestrel::NearMiss& n = near_miss_of(self).near_miss;
    return text_to_py("NearMiss(partition=" + quoted(n.partition) +
                      ", indices=" + index_list(n.indices) + ", next=" + quoted(n.next_event_type) +
                      ", reason=" + quoted(kestrel::reason_text(n.detail)) + ")")
        .release();
  });
}

PyObject* near_miss_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    const NearMissRecord& record = near_miss_of(self);
    StateWriter writer('n');
    writer(record.near_miss, record.events);
    return reduce_to("_near_miss_from_state", state_to_py(writer)).release();
  });
}

PyObject* near_miss_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    PyObject* bytes = state_argument("_near_miss_from_state()", args, nargs, kwnames);
    NearMissRecord record = read_state(bytes, 'n', [](StateReader& reader) {
      NearMissRecord rebuilt;
      reader(rebuilt.near_miss, rebuilt.events);
      reader.finish();
      if (rebuilt.events.size() != rebuilt.near_miss.indices.size()) {
        StateReader::fail("its events do not match their indices");
      }
      return rebuilt;
    });
    return new_near_miss(std::move(record.near_miss), std::move(record.events)).release();
  });
}

PyMethodDef near_miss_methods[] = {
    {"__reduce__", near_miss_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef near_miss_getset[] = {
    {"partition", near_miss_partition, nullptr, nullptr, nullptr},
    {"start_index", near_miss_start_index, nullptr, nullptr, nullptr},
    {"indices", near_miss_indices, nullptr, nullptr, nullptr},
    {"reached_steps", near_miss_reached_steps, nullptr, nullptr, nullptr},
    {"next_event_type", near_miss_next_event_type, nullptr, nullptr, nullptr},
    {"reason", near_miss_reason, nullptr,
     const_cast<char*>("One of: predicate_failed, absence_blocked, window_exceeded, no_successor."),
     nullptr},
    {"detail", near_miss_detail, nullptr,
     const_cast<char*>("Reason-specific specifics as a dict (keyed by \"kind\"); includes failed\n"
                       "clauses, blocking events, or window counterfactuals."),
     nullptr},
    {"events", near_miss_events_property, nullptr, nullptr, nullptr},
    {"captures", near_miss_captures, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot near_miss_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A start that did not match, with its deepest partial path and the reason.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<NearMissRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(near_miss_repr)},
    {Py_tp_getset, near_miss_getset},
    {Py_tp_methods, near_miss_methods},
    {0, nullptr},
};

}  // namespace

TypeLayout near_miss_layout() {
  return {"kestrel._core.NearMiss", sizeof(Wrapper<NearMissRecord>), near_miss_slots};
}

Ref new_near_miss(NearMiss near_miss, std::vector<Event> events) {
  return make_wrapper(state().near_miss_type.get(),
                      NearMissRecord{std::move(near_miss), std::move(events)});
}

namespace {

constexpr std::array<const char*, 2> kNearMissParameters = {"pattern", "events"};

PyObject* near_miss_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 2> values{};
    bind_fast({"near_miss_events()", kNearMissParameters, 2}, args, nargs, kwnames, values);
    const std::vector<kestrel::Event> events = extract_events(values[1]);
    require_canonical_order(events);
    const kestrel::Pattern pattern = coerce_pattern(values[0]);
    std::vector<kestrel::NearMiss> records =
        kestrel::near_misses(events, pattern, python_signals());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(records.size())));
    kestrel::Interrupt interrupt = python_signals();
    for (std::size_t i = 0; i < records.size(); ++i) {
      interrupt.poll();
      std::vector<Event> picked = events_at(records[i].indices, events);
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                     new_near_miss(std::move(records[i]), std::move(picked)).release());
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef near_miss_events_def = {
    "near_miss_events", fast(near_miss_events), kFastKeywords,
    "near_miss_events(pattern, events)\n--\n\nExplain near-misses: starts that did not match, "
    "with their deepest partial\npath and the reason. Requires already-sorted events (see "
    "[`match_events`])."};

PyMethodDef near_miss_from_state_def = {
    "_near_miss_from_state", fast(near_miss_from_state), kFastKeywords,
    "_near_miss_from_state(state)\n--\n\nA NearMiss from the state its pickle holds."};

const NearMissRecord* near_miss_record(PyObject* object) {
  if (!PyObject_TypeCheck(object, as_type(state().near_miss_type))) return nullptr;
  return &record_of<NearMissRecord>(object);
}

}  // namespace kestrel::binding
