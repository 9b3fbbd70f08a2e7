// A list of Match or NearMiss objects as one Arrow table, written by the
// export result sets use, so that a list and a result set give the same
// columns. The objects' events become one source, each record's events in
// a run of its own: a list gathered from several calls may name different
// events by one index. Objects hold no unit, so times are written as they
// give them, integers.
#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/arrow_output.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

const char* const kMixed = "expected a list of Match objects or a list of NearMiss objects";

// The records in the list, each of type Record or a TypeError.
template <class Record>
std::vector<const Record*> records_of(PyObject* list, const Record* (*record)(PyObject*)) {
  std::vector<const Record*> out;
  const Py_ssize_t length = PyList_Size(list);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Record* each = record(PyList_GetItem(list, i));
    if (!each) raise(PyExc_TypeError, kMixed);
    out.push_back(each);
  }
  return out;
}

// The records' events as one source, and where each record's run starts.
template <class Record>
EventSource source_of(const std::vector<const Record*>& records,
                      std::vector<std::size_t>& first_positions) {
  std::vector<Event> events;
  for (const Record* record : records) {
    first_positions.push_back(events.size());
    events.insert(events.end(), record->events.begin(), record->events.end());
  }
  return source_from_events(std::move(events), {}, TimeColumn{});
}

template <class Record, class Item, class Export>
Result<bool> export_list(PyObject* list, const Record* (*record)(PyObject*), Item Record::* item,
                         Export write, ArrowArrayStream& out) {
  const std::vector<const Record*> records = records_of(list, record);
  std::vector<Item> items;
  items.reserve(records.size());
  for (const Record* each : records) items.push_back(each->*item);
  std::vector<std::size_t> first_positions;
  const EventSource source = source_of(records, first_positions);
  return write(items, ResultEvents(source, first_positions), out, {}, python_signals());
}

PyObject* export_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"records"};
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"_export_records()", names, 1}, args, nargs, kwnames, values);
    Ref list = own(PySequence_List(values[0]));
    OwnedStream owned;
    const bool misses =
        PyList_Size(list.get()) > 0 && near_miss_record(PyList_GetItem(list.get(), 0)) != nullptr;
    const Result<bool> exported =
        misses ? export_list(list.get(), near_miss_record, &NearMissRecord::near_miss,
                             export_near_misses, owned.stream)
               : export_list(list.get(), match_record, &MatchRecord::match, export_matches,
                             owned.stream);
    if (!exported) raise_engine_error(exported.failure());
    return stream_to_capsule(std::move(owned)).release();
  });
}

}  // namespace

PyMethodDef export_records_def = {
    "_export_records", fast(export_records), kFastKeywords,
    "_export_records(records)\n--\n\nMatch objects, or NearMiss objects, as an Arrow C stream "
    "in a PyCapsule, in the columns of a result set; none give the match columns."};

}  // namespace kestrel::binding
