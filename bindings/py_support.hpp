// What the files of the extension module kestrel._core share: reference
// ownership, error plumbing, the module state, and the functions and types
// that one file defines and another uses.
#pragma once

#ifndef Py_LIMITED_API
#error "kestrel._core must be built against the stable ABI (Py_LIMITED_API)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nanoarrow/nanoarrow.h>

#include "kestrel/event_source.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/funnel.hpp"
#include "kestrel/model.hpp"
#include "kestrel/run_options.hpp"

namespace kestrel::binding {

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) { return Ref(object); }
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Signals that a Python error is already set.
struct PythonError {};

inline PyObject* check(PyObject* object) {
  if (!object) throw PythonError{};
  return object;
}

inline Ref own(PyObject* object) { return Ref::steal(check(object)); }

[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

inline std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) throw PythonError{};
  return std::string(data, static_cast<std::size_t>(size));
}

// Text for a message. Names a user can set (a class's __qualname__, a
// keyword) may hold lone surrogates, which must not turn the message itself
// into an encoding error.
inline std::string display_text(PyObject* text) {
  Ref bytes = own(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) throw PythonError{};
  return std::string(data, static_cast<std::size_t>(size));
}

inline std::string type_name(PyObject* object) {
  Ref name = own(PyType_GetQualName(Py_TYPE(object)));
  return display_text(name.get());
}

// Object layouts: each Python object embeds one C++ record, whose destructor
// tp_dealloc runs.

template <class Record>
struct Wrapper {
  PyObject_HEAD Record record;
};

template <class Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<Wrapper<Record>*>(self)->record;
}

template <class Record>
void dealloc_wrapper(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of<Record>(self).~Record();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// Allocates an instance from C; the Python-facing constructors of the
// result classes only raise.
template <class Record>
Ref make_wrapper(PyObject* type, Record record) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  Ref object = own(alloc(tp, 0));
  new (&record_of<Record>(object.get())) Record(std::move(record));
  return object;
}

// Lets Ctrl-C stop a long engine call or result conversion: now and then the
// interpreter runs its signal handlers, and one that raises (the default
// SIGINT handler raises KeyboardInterrupt) stops the call.
inline kestrel::Interrupt python_signals() {
  return kestrel::Interrupt([] { return PyErr_CheckSignals() != 0; });
}

// Runs `body`, turning C++ exceptions into Python errors; anything but a
// Python error or memory exhaustion is a broken invariant and raises
// `internal_error` (SystemError before it exists).
template <class Body>
auto guarded_with(PyObject* internal_error, Body&& body) noexcept -> decltype(body()) {
  PyObject* broken = internal_error ? internal_error : PyExc_SystemError;
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const kestrel::Interrupted&) {
    // A signal handler raised, and its error is set; keep it.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(broken, error.what());
  } catch (...) {
    PyErr_SetString(broken, "unknown C++ exception");
  }
  if constexpr (std::is_same_v<decltype(body()), int>) {
    return -1;
  } else if constexpr (std::is_same_v<decltype(body()), bool>) {
    return false;
  } else {
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Module state (module.cpp). The module exists once per process and lives
// until exit, so the state is created once and deliberately never destroyed:
// destructors running after interpreter shutdown would touch a dead runtime.

struct ModuleState {
  Ref module;
  std::int64_t interpreter_id = -1;
  Ref event_type;
  Ref pattern_type;
  Ref builder_type;
  Ref match_type;
  Ref near_miss_type;
  Ref table_type;
  Ref results_type;
  Ref stream_type;
  Ref internal_error;
  Ref unicodedata;
  // Settable for tests, so that small tables take the threaded paths.
  std::size_t min_rows_per_thread = RunOptions::kMinRowsPerThread;
};

ModuleState& state();

inline PyTypeObject* as_type(const Ref& ref) { return reinterpret_cast<PyTypeObject*>(ref.get()); }

// Every entry point runs its body through this.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  return guarded_with(state().internal_error.get(), std::forward<Body>(body));
}

// A type's name, size and slots, for the module to create it from.
struct TypeLayout {
  const char* name;
  int basicsize;
  PyType_Slot* slots;
};

template <class Function>
PyCFunction fast(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

// tp_new of the classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*);

// ---------------------------------------------------------------------------
// Argument binding (arguments.cpp)

struct Parameters {
  const char* function;  // e.g. "match_events()" or "PatternBuilder.then()"
  std::span<const char* const> names;
  std::size_t required;
};

// For METH_FASTCALL | METH_KEYWORDS entry points; `out` gets borrowed
// references, null for an argument not given.
void bind_fast(const Parameters& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out);
// For tp_new, which receives a tuple and a dict.
void bind_tuple(const Parameters& p, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

[[noreturn]] void raise_argument_error(std::string_view parameter, const std::string& message);
// Re-raises a pending TypeError with the argument prefix; other errors pass.
[[noreturn]] void prefix_pending_type_error(std::string_view parameter);

// ---------------------------------------------------------------------------
// Conversions (conversions.cpp)

std::string conversion_message(PyObject* object, std::string_view kind);
std::string to_text(PyObject* object, std::string_view parameter);
std::int64_t to_int64(PyObject* object, std::string_view parameter);
bool is_numpy_bool(PyObject* object);
bool to_strict_bool(PyObject* object, std::string_view parameter);
// The conversion Event() applies to each attribute value.
Value py_to_value(PyObject* object);
Ref text_to_py(std::string_view text);
Ref value_to_py(const Value& value);
Ref optional_value_to_py(const std::optional<Value>& value);
Ref map_to_dict(const ValueMap& map);
Ref index_to_py(std::size_t index);
Ref indices_to_list(const std::vector<std::size_t>& indices);
void set_item(PyObject* dict, const char* key, Ref value);

// ---------------------------------------------------------------------------
// Engine errors (engine_errors.cpp)

// Raises the Python exception for an engine Error: TypeError for a column
// of the wrong type, else ValueError, with the kind and any row or stream
// position it names as private attributes.
[[noreturn]] void raise_engine_error(const Error& error);

// ---------------------------------------------------------------------------
// Quoted text in reprs (quoting.cpp)

std::string quoted(std::string_view text);
std::string index_list(const std::vector<std::size_t>& indices);

// ---------------------------------------------------------------------------
// Event (event_type.cpp)

TypeLayout event_layout();
Ref event_to_py(Event event);
const Event& event_of(PyObject* self);
Ref events_to_list(const std::vector<Event>& events);
// The events at `indices`, in order.
std::vector<Event> events_at(const std::vector<std::size_t>& indices,
                             std::span<const Event> events);
// The one copy of the caller's events that a call makes.
std::vector<Event> extract_events(PyObject* events);
void require_canonical_order(std::span<const Event> events);
extern PyMethodDef sort_events_def;

// ---------------------------------------------------------------------------
// Pattern and PatternBuilder (pattern_types.cpp)

TypeLayout pattern_layout();
TypeLayout builder_layout();
// The pattern of a Pattern or PatternBuilder, exactly as match_events sees it.
Pattern coerce_pattern(PyObject* object);
extern PyMethodDef parse_pattern_def;
extern PyMethodDef pattern_from_json_def;

// ---------------------------------------------------------------------------
// Match and NearMiss (match_type.cpp, near_miss_type.cpp). Each object holds
// its record and the events at its indices, in order.

struct MatchRecord {
  Match match;
  std::vector<Event> events;
};

struct NearMissRecord {
  NearMiss near_miss;
  std::vector<Event> events;
};

TypeLayout match_layout();
Ref new_match(Match match, std::vector<Event> events);
// The record of a Match object; null when `object` is not one.
const MatchRecord* match_record(PyObject* object);
extern PyMethodDef match_events_def;

TypeLayout near_miss_layout();
Ref new_near_miss(NearMiss near_miss, std::vector<Event> events);
// The record of a NearMiss object; null when `object` is not one.
const NearMissRecord* near_miss_record(PyObject* object);
extern PyMethodDef near_miss_events_def;

// A list of Match or NearMiss objects as an Arrow C stream in a capsule,
// in the columns of a result set (result_lists.cpp).
extern PyMethodDef export_records_def;

// ---------------------------------------------------------------------------
// Tables and results (tables.cpp, columns.cpp, results.cpp)

// An event source shared by its table object and every result set made from
// it, with the map from input positions back to rows.
struct SharedSource {
  EventSource source;
  std::vector<std::size_t> row_of_position;

  explicit SharedSource(EventSource from);
  // The event at input position `position`, rebuilt from its row.
  Event event_at(std::size_t position) const;
};

using SourceRef = std::shared_ptr<const SharedSource>;

TypeLayout table_layout();
Ref table_to_py(EventSource source);
// Every attribute name of the events, each once, in byte order.
std::vector<std::string> attribute_names(const std::vector<Event>& events);
// Events in canonical order with their input positions, and the named
// attributes as columns.
EventSource source_from_events(std::vector<Event> events, std::span<const std::string> attributes,
                               TimeColumn time);
// The events of columns handed over by the package's Python layer.
EventSource source_from_columns(std::int64_t length, PyObject* partition, PyObject* ts,
                                PyObject* typ, PyObject* attributes, PyObject* carry,
                                TimeColumn time);
extern PyMethodDef table_functions[];

// An Arrow C stream, released when it goes unless moved on.
struct OwnedStream {
  ArrowArrayStream stream{};
  OwnedStream() = default;
  OwnedStream(OwnedStream&& other) noexcept : stream(other.stream) {
    other.stream.release = nullptr;
  }
  OwnedStream& operator=(OwnedStream&&) = delete;
  ~OwnedStream();
};

// The stream of an object with __arrow_c_stream__ or __arrow_c_array__, or of
// an "arrow_array_stream" capsule.
OwnedStream stream_from_py(PyObject* source);
// A new "arrow_array_stream" capsule that owns the stream.
Ref stream_to_capsule(OwnedStream owned);

TypeLayout results_layout();
// `captures` are the names the pattern captures, each once; `by` names the
// funnel's grouping column.
Ref matches_to_py(std::vector<Match> matches, SourceRef source, std::vector<std::string> captures);
Ref near_misses_to_py(std::vector<NearMiss> near_misses, SourceRef source,
                      std::vector<std::string> captures);
Ref funnel_to_py(std::vector<FunnelGroup> groups, std::optional<std::string> by, SourceRef source);

// The source of an _EventTable; a TypeError for anything else (tables.cpp).
const SourceRef& require_table(PyObject* object);
// The names a pattern captures, each once, in byte order: the capture columns
// of the result tables (tables.cpp).
std::vector<std::string> captured_names(const Pattern& pattern);

// ---------------------------------------------------------------------------
// The incremental matcher (stream_type.cpp)
TypeLayout stream_layout();
extern PyMethodDef stream_functions[];

}  // namespace kestrel::binding
