// The private incremental matcher type: a StreamMatcher behind a Python
// object, handing out result sets that name stream positions.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/stream.hpp"
#include "pickled_state.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

struct StreamRecord {
  StreamMatcher matcher;
  std::vector<std::string> captures;
};

StreamRecord& stream_of(PyObject* self) { return record_of<StreamRecord>(self); }

SourceRef shared(EventSource source) {
  return std::make_shared<const SharedSource>(std::move(source));
}

StreamOutput settled(Result<StreamOutput> output) {
  if (!output) raise_engine_error(output.failure());
  return std::move(output.value());
}

PyObject* stream_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"table"};
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"_Stream.push()", names, 1}, args, nargs, kwnames, values);
    const SourceRef& batch = require_table(values[0]);
    StreamRecord& record = stream_of(self);
    StreamOutput out = settled(record.matcher.push(batch->source, python_signals()));
    return matches_to_py(std::move(out.matches), shared(std::move(out.source)), record.captures)
        .release();
  });
}

Ref near_misses_of(StreamRecord& record, StreamOutput out) {
  return near_misses_to_py(std::move(out.near_misses), shared(std::move(out.source)),
                           record.captures);
}

PyObject* stream_near_misses(PyObject* self, PyObject*) {
  return guarded([&] {
    StreamRecord& record = stream_of(self);
    return near_misses_of(record, settled(record.matcher.take_near_misses(python_signals())))
        .release();
  });
}

PyObject* stream_end(PyObject* self, PyObject*) {
  return guarded([&] {
    StreamRecord& record = stream_of(self);
    StreamOutput out = settled(record.matcher.end(python_signals()));
    return matches_to_py(std::move(out.matches), shared(std::move(out.source)), record.captures)
        .release();
  });
}

PyObject* stream_flush(PyObject* self, PyObject*) {
  return guarded([&] {
    StreamRecord& record = stream_of(self);
    return near_misses_of(record, settled(record.matcher.flush(python_signals()))).release();
  });
}

PyObject* stream_stats(PyObject* self, PyObject*) {
  return guarded([&] {
    const StreamStats stats = stream_of(self).matcher.stats();
    return Py_BuildValue(
        "(nnnnnn)", static_cast<Py_ssize_t>(stats.events),
        static_cast<Py_ssize_t>(stats.late_dropped), static_cast<Py_ssize_t>(stats.matches),
        static_cast<Py_ssize_t>(stats.near_misses), static_cast<Py_ssize_t>(stats.buffered),
        static_cast<Py_ssize_t>(stats.open));
  });
}

PyObject* stream_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    Result<std::string> state = stream_of(self).matcher.checkpoint();
    if (!state) raise(PyExc_ValueError, "cannot pickle this stream: " + state.error());
    return reduce_to("_stream_from_state", bytes_to_py(state.value())).release();
  });
}

Ref stream_object(StreamMatcher matcher) {
  std::vector<std::string> captures = captured_names(matcher.pattern());
  return make_wrapper(state().stream_type.get(),
                      StreamRecord{std::move(matcher), std::move(captures)});
}

PyObject* stream_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    PyObject* bytes = state_argument("_stream_from_state()", args, nargs, kwnames);
    Result<StreamMatcher> restored = StreamMatcher::restore(state_bytes(bytes));
    if (!restored) raise(PyExc_ValueError, "cannot unpickle kestrel state: " + restored.error());
    return stream_object(std::move(restored.value())).release();
  });
}

PyObject* new_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> names = {"pattern", "exhaustive", "explain",
                                                       "drop_late", "lateness"};
  return guarded([&] {
    std::array<PyObject*, 5> values{};
    bind_fast({"_stream()", names, 5}, args, nargs, kwnames, values);
    Pattern pattern = coerce_pattern(values[0]);
    StreamOptions options;
    options.exhaustive = to_strict_bool(values[1], "exhaustive");
    options.explain = to_strict_bool(values[2], "explain");
    options.late = to_strict_bool(values[3], "drop_late") ? LateEvents::Drop : LateEvents::Refuse;
    options.lateness = to_int64(values[4], "lateness");
    if (options.lateness < 0) raise(PyExc_ValueError, "lateness must be 0 or more");
    return stream_object(StreamMatcher(std::move(pattern), options)).release();
  });
}

PyMethodDef stream_methods[] = {
    {"__reduce__", stream_reduce, METH_NOARGS, nullptr},
    {"push", fast(stream_push), kFastKeywords,
     "push($self, table)\n--\n\nTake the next events; return the matches that completed."},
    {"end", stream_end, METH_NOARGS,
     "end($self)\n--\n\nEnd the stream; return the matches the events held back complete."},
    {"near_misses", stream_near_misses, METH_NOARGS,
     "near_misses($self)\n--\n\nThe near misses settled since the last call."},
    {"flush", stream_flush, METH_NOARGS,
     "flush($self)\n--\n\nEnd the stream; return the near misses left."},
    {"stats", stream_stats, METH_NOARGS,
     "stats($self)\n--\n\n(events, late_dropped, matches, near_misses, buffered, open)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("An incremental matcher over batches of events.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<StreamRecord>)},
    {Py_tp_methods, stream_methods},
    {0, nullptr},
};

}  // namespace

TypeLayout stream_layout() {
  return {"kestrel._core._Stream", sizeof(Wrapper<StreamRecord>), stream_slots};
}

PyMethodDef stream_functions[] = {
    {"_stream_from_state", fast(stream_from_state), kFastKeywords,
     "_stream_from_state(state)\n--\n\nA stream from the state its pickle holds."},
    {"_stream", fast(new_stream), kFastKeywords,
     "_stream(pattern, exhaustive, explain, drop_late, lateness)\n--\n\nA new incremental "
     "matcher."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrel::binding
