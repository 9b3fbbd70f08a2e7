// The extension module kestrel._core: converts Python objects to engine
// records, runs the engine, and converts the results back.
//
// Written against the stable ABI so that one module file serves every
// CPython from 3.11 on. Every PyObject* lives in a Ref; every entry point
// catches C++ exceptions and turns them into Python errors. Objects of the
// module own private copies of the engine records they present and never
// change after creation.

#ifndef Py_LIMITED_API
#error "kestrel._core must be built against the stable ABI (Py_LIMITED_API)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core_api.hpp"
#include "kestrel/explain.hpp"
#include "kestrel/json.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/model.hpp"
#include "kestrel/parser.hpp"
#include "kestrel/utf8.hpp"
#include "py_support.hpp"

namespace {

using kestrel::Value;

using kestrel::binding::check;
using kestrel::binding::dealloc_wrapper;
using kestrel::binding::display_text;
using kestrel::binding::make_wrapper;
using kestrel::binding::own;
using kestrel::binding::python_signals;
using kestrel::binding::PythonError;
using kestrel::binding::raise;
using kestrel::binding::record_of;
using kestrel::binding::Ref;
using kestrel::binding::type_name;
using kestrel::binding::utf8;
using kestrel::binding::Wrapper;

// ---------------------------------------------------------------------------
// Module state. The module exists once per process and lives until exit, so
// the state is created once and deliberately never destroyed: destructors
// running after interpreter shutdown would touch a dead runtime.

struct ModuleState {
  Ref module;
  std::int64_t interpreter_id = -1;
  Ref event_type;
  Ref pattern_type;
  Ref builder_type;
  Ref match_type;
  Ref near_miss_type;
  Ref internal_error;
  Ref unicodedata;
};

ModuleState& state() {
  static ModuleState* instance = new ModuleState();
  return *instance;
}

PyTypeObject* as_type(const Ref& ref) { return reinterpret_cast<PyTypeObject*>(ref.get()); }

template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  return kestrel::binding::guarded_with(state().internal_error.get(), std::forward<Body>(body));
}

// ---------------------------------------------------------------------------
// Errors and messages

// Appended piece by piece: gcc 12 misreads `"literal" + std::string&&` as an
// overlapping copy (-Wrestrict).
std::string conversion_message(PyObject* object, std::string_view kind) {
  std::string message = "'";
  message += type_name(object);
  message += "' object cannot be converted to '";
  message += kind;
  message += '\'';
  return message;
}

[[noreturn]] void raise_argument_error(std::string_view parameter, const std::string& message) {
  raise(PyExc_TypeError, "argument '" + std::string(parameter) + "': " + message);
}

// Re-raises a pending TypeError with the argument prefix; other errors pass.
[[noreturn]] void prefix_pending_type_error(std::string_view parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value),
      traceback_ref = Ref::steal(traceback);
  // Formatted by the interpreter, so a message holding lone surrogates passes intact.
  const std::string prefix = "argument '" + std::string(parameter) + "': ";
  Ref message_ref = own(PyUnicode_FromFormat("%s%S", prefix.c_str(), value_ref.get()));
  Ref error = own(PyObject_CallFunctionObjArgs(PyExc_TypeError, message_ref.get(), nullptr));
  if (PyObject* cause = PyException_GetCause(value_ref.get())) {
    PyException_SetCause(error.get(), cause);  // steals
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw PythonError{};
}

// Errors of conversion hooks are discarded, but an interrupt or exit that
// merely passes through a hook must still reach the caller.
void discard_conversion_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
  } else {
    throw PythonError{};
  }
}

// ---------------------------------------------------------------------------
// Argument binding

struct Parameters {
  const char* function;  // e.g. "match_events()" or "PatternBuilder.then()"
  std::span<const char* const> names;
  std::size_t required;
};

std::string quoted_names(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

[[noreturn]] void raise_too_many_positional(const Parameters& p, std::size_t given) {
  std::string message = std::string(p.function) + " takes ";
  if (p.required == p.names.size()) {
    message += std::to_string(p.names.size());
  } else {
    message += "from " + std::to_string(p.required) + " to " + std::to_string(p.names.size());
  }
  message += " positional arguments but " + std::to_string(given) + " " +
             (given == 1 ? "was" : "were") + " given";
  raise(PyExc_TypeError, message);
}

// Binds positional and keyword arguments to `out` (borrowed, null if absent).
void bind_arguments(const Parameters& p, std::span<PyObject* const> positional,
                    std::span<const std::pair<PyObject*, PyObject*>> keywords,
                    std::span<PyObject*> out) {
  if (positional.size() > p.names.size()) raise_too_many_positional(p, positional.size());
  std::fill(out.begin(), out.end(), nullptr);
  std::copy(positional.begin(), positional.end(), out.begin());
  for (const auto& [name, value] : keywords) {
    std::size_t slot = p.names.size();
    for (std::size_t i = 0; i < p.names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, p.names[i]) == 0) slot = i;
    }
    if (slot == p.names.size()) {
      raise(PyExc_TypeError, std::string(p.function) + " got an unexpected keyword argument '" +
                                 display_text(name) + "'");
    }
    if (out[slot]) {
      raise(PyExc_TypeError,
            std::string(p.function) + " got multiple values for argument '" + p.names[slot] + "'");
    }
    out[slot] = value;
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < p.required; ++i) {
    if (!out[i]) missing.push_back(p.names[i]);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, std::string(p.function) + " missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") +
                               ": " + quoted_names(missing));
  }
}

// For METH_FASTCALL | METH_KEYWORDS entry points.
void bind_fast(const Parameters& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) {
  std::vector<std::pair<PyObject*, PyObject*>> keywords;
  if (kwnames) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      keywords.emplace_back(PyTuple_GetItem(kwnames, k), args[nargs + k]);
    }
  }
  bind_arguments(p, std::span(args, static_cast<std::size_t>(nargs)), keywords, out);
}

// For tp_new, which receives a tuple and a dict.
void bind_tuple(const Parameters& p, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  std::vector<PyObject*> positional;
  const Py_ssize_t count = PyTuple_Size(args);
  for (Py_ssize_t i = 0; i < count; ++i) positional.push_back(PyTuple_GetItem(args, i));
  std::vector<std::pair<PyObject*, PyObject*>> keywords;
  if (kwargs) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) keywords.emplace_back(key, value);
  }
  bind_arguments(p, positional, keywords, out);
}

// ---------------------------------------------------------------------------
// Conversions

std::string to_text(PyObject* object, std::string_view parameter) {
  if (!PyUnicode_Check(object))
    raise_argument_error(parameter, conversion_message(object, "PyString"));
  return utf8(object);
}

// An int read as int64; others through __index__. TypeErrors get the
// argument prefix, OverflowError passes through.
std::int64_t to_int64(PyObject* object, std::string_view parameter) {
  Ref index = PyLong_Check(object) ? Ref::borrow(object) : Ref::steal(PyNumber_Index(object));
  if (!index) prefix_pending_type_error(parameter);
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) prefix_pending_type_error(parameter);
  return value;
}

bool is_numpy_bool(PyObject* object) {
  Ref module = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module) {
    discard_conversion_error();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name = own(PyType_GetName(Py_TYPE(object)));
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// Only True and False (and NumPy's boolean scalars) are booleans here.
bool to_strict_bool(PyObject* object, std::string_view parameter) {
  if (!object) return false;
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonError{};
    return truth == 1;
  }
  raise_argument_error(parameter, conversion_message(object, "PyBool"));
}

constexpr const char* kValueTypeMessage =
    "event attribute values must be str, int, float, bool, or None";

Value py_to_value(PyObject* object) {
  if (object == Py_None) return kestrel::Null{};
  if (Py_TYPE(object) == &PyBool_Type) return object == Py_True;
  {
    Ref index = PyLong_Check(object) ? Ref::borrow(object) : Ref::steal(PyNumber_Index(object));
    if (index) {
      const long long value = PyLong_AsLongLong(index.get());
      if (!(value == -1 && PyErr_Occurred())) return static_cast<std::int64_t>(value);
    }
    discard_conversion_error();
  }
  {
    const double value = PyFloat_AsDouble(object);
    if (!(value == -1.0 && PyErr_Occurred())) return value;
    discard_conversion_error();
  }
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(object, &size)) {
      return std::string(data, static_cast<std::size_t>(size));
    }
    discard_conversion_error();
  }
  raise(PyExc_TypeError, kValueTypeMessage);
}

Ref text_to_py(std::string_view text) {
  return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref value_to_py(const Value& value) {
  switch (kestrel::kind_of(value)) {
    case kestrel::ValueKind::String: return text_to_py(std::get<std::string>(value));
    case kestrel::ValueKind::Int: return own(PyLong_FromLongLong(std::get<std::int64_t>(value)));
    case kestrel::ValueKind::Float: return own(PyFloat_FromDouble(std::get<double>(value)));
    case kestrel::ValueKind::Bool: return Ref::borrow(std::get<bool>(value) ? Py_True : Py_False);
    case kestrel::ValueKind::Null: break;
  }
  return Ref::borrow(Py_None);
}

Ref optional_value_to_py(const std::optional<Value>& value) {
  return value ? value_to_py(*value) : Ref::borrow(Py_None);
}

Ref map_to_dict(const kestrel::ValueMap& map) {
  Ref dict = own(PyDict_New());
  for (const auto& [name, value] : map) {
    Ref key = text_to_py(name);
    Ref item = value_to_py(value);
    if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) throw PythonError{};
  }
  return dict;
}

Ref index_to_py(std::size_t index) { return own(PyLong_FromSize_t(index)); }

Ref indices_to_list(const std::vector<std::size_t>& indices) {
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), index_to_py(indices[i]).release());
  }
  return list;
}

void set_item(PyObject* dict, const char* key, Ref value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonError{};
}

// ---------------------------------------------------------------------------
// Quoted text in reprs

// Decodes one UTF-8 sequence at `at`; an invalid byte is returned alone.
char32_t decode_utf8(std::string_view text, std::size_t& at) {
  const kestrel::Utf8Char decoded = kestrel::decode_utf8(text.substr(at));
  if (decoded.status != kestrel::Utf8Status::Valid) return static_cast<unsigned char>(text[at++]);
  at += decoded.end;
  return decoded.code_point;
}

// Non-printable characters and combining marks are escaped; the Unicode
// tables are the interpreter's own.
bool needs_escape(std::string_view character) {
  Ref text = text_to_py(character);
  Ref printable = own(PyObject_CallMethod(text.get(), "isprintable", nullptr));
  if (printable.get() != Py_True) return true;
  ModuleState& s = state();
  if (!s.unicodedata) s.unicodedata = own(PyImport_ImportModule("unicodedata"));
  Ref category = own(PyObject_CallMethod(s.unicodedata.get(), "category", "O", text.get()));
  // The module comes from sys.modules, which a program may have replaced.
  if (!PyUnicode_Check(category.get())) {
    raise(PyExc_TypeError, "unicodedata.category() must return str");
  }
  return PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
         PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0;
}

void append_code_escape(std::string& out, char32_t code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(code));
  out += buffer;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t begin = at;
    const char32_t code = decode_utf8(text, at);
    switch (code) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    const std::string_view character = text.substr(begin, at - begin);
    const bool invalid = code >= 0x80 && character.size() == 1;
    if (code < 0x20 || code == 0x7F) {
      append_code_escape(out, code);
    } else if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (invalid || needs_escape(character)) {
      append_code_escape(out, code);
    } else {
      out += character;
    }
  }
  return out + "\"";
}

std::string index_list(const std::vector<std::size_t>& indices) {
  std::string out = "[";
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(indices[i]);
  }
  return out + "]";
}

Ref repr_result(const std::string& text) { return text_to_py(text); }

// ---------------------------------------------------------------------------
// Object layouts. Each Python object embeds its engine record (Wrapper).

struct MatchRecord {
  kestrel::Match match;
  std::vector<kestrel::Event> events;
};

struct NearMissRecord {
  kestrel::NearMiss near_miss;
  std::vector<kestrel::Event> events;
};

using EventObject = Wrapper<kestrel::Event>;
using PatternObject = Wrapper<kestrel::Pattern>;
using BuilderObject = Wrapper<std::vector<kestrel::Step>>;
using MatchObject = Wrapper<MatchRecord>;
using NearMissObject = Wrapper<NearMissRecord>;

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    Ref name = own(PyType_GetName(type));
    raise(PyExc_TypeError, "No constructor defined for " + utf8(name.get()));
  });
}

// ---------------------------------------------------------------------------
// Event

Ref event_to_py(kestrel::Event event) {
  return make_wrapper(state().event_type.get(), std::move(event));
}

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

const kestrel::Event& event_of(PyObject* self) { return record_of<kestrel::Event>(self); }

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
    return repr_result("Event(partition=" + quoted(event.partition) +
                       ", ts=" + std::to_string(event.ts) + ", typ=" + quoted(event.typ) + ")")
        .release();
  });
}

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
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Pattern and PatternBuilder

const kestrel::Pattern& pattern_of(PyObject* self) { return record_of<kestrel::Pattern>(self); }
const std::vector<kestrel::Step>& steps_of(PyObject* self) {
  return record_of<std::vector<kestrel::Step>>(self);
}

Ref pattern_to_py(kestrel::Pattern pattern) {
  return make_wrapper(state().pattern_type.get(), std::move(pattern));
}
Ref builder_to_py(std::vector<kestrel::Step> steps) {
  return make_wrapper(state().builder_type.get(), std::move(steps));
}

std::string normalize_binding_name(std::string_view name) {
  std::string_view trimmed = kestrel::trim_white_space(name);
  if (!trimmed.empty() && trimmed.front() == '$') trimmed.remove_prefix(1);
  return std::string(trimmed);
}

constexpr std::array<const char*, 1> kTypParameter = {"typ"};

PyObject* pattern_event(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"Pattern.event()", kTypParameter, 1}, args, nargs, kwnames, values);
    std::vector<kestrel::Step> steps;
    steps.push_back({kestrel::Atom(to_text(values[0], "typ")), std::nullopt});
    return builder_to_py(std::move(steps)).release();
  });
}

constexpr std::array<const char*, 1> kPrettyParameter = {"pretty"};

PyObject* pattern_to_json_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 1> values{};
    bind_fast({"Pattern.to_json()", kPrettyParameter, 0}, args, nargs, kwnames, values);
    const bool pretty = to_strict_bool(values[0], "pretty");
    const kestrel::Pattern& pattern = pattern_of(self);
    return text_to_py(pretty ? kestrel::pattern_to_json_pretty(pattern)
                             : kestrel::pattern_to_json(pattern))
        .release();
  });
}

PyObject* pattern_repr(PyObject* self) {
  return guarded([&] {
    return repr_result("Pattern(steps=" + std::to_string(pattern_of(self).steps.size()) + ")")
        .release();
  });
}

PyMethodDef pattern_methods[] = {
    {"event", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pattern_event)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "event(typ)\n--\n\nStart a builder for a pattern whose first step matches `typ`."},
    {"to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pattern_to_json_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_json($self, pretty=False)\n--\n\nSerialise the pattern to the stable JSON AST."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pattern_slots[] = {
    {Py_tp_doc, const_cast<char*>("A compiled or parsed pattern, ready to match.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<kestrel::Pattern>)},
    {Py_tp_repr, reinterpret_cast<void*>(pattern_repr)},
    {Py_tp_methods, pattern_methods},
    {0, nullptr},
};

std::vector<kestrel::Step> copy_with_last_atom(PyObject* self, auto&& change) {
  std::vector<kestrel::Step> steps = steps_of(self);
  if (steps.empty())
    throw kestrel::InternalError("PatternBuilder always contains at least one step");
  change(steps.back().atom);
  return steps;
}

constexpr std::array<const char*, 2> kAttributeValueParameters = {"attribute", "value"};
constexpr std::array<const char*, 2> kAttributeNameParameters = {"attribute", "name"};
constexpr std::array<const char*, 3> kThenParameters = {"typ", "within", "no"};
constexpr std::array<const char*, 0> kNoParameters = {};

template <kestrel::ComparisonOperator Op>
PyObject* builder_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr const char* kNames[] = {
      "PatternBuilder.where_eq()",  "PatternBuilder.where_ne()", "PatternBuilder.where_gt()",
      "PatternBuilder.where_gte()", "PatternBuilder.where_lt()", "PatternBuilder.where_lte()"};
  return guarded([&] {
    std::array<PyObject*, 2> values{};
    bind_fast({kNames[static_cast<int>(Op)], kAttributeValueParameters, 2}, args, nargs, kwnames,
              values);
    std::string attribute = to_text(values[0], "attribute");
    Value value = py_to_value(values[1]);
    return builder_to_py(copy_with_last_atom(self,
                                             [&](kestrel::Atom& atom) {
                                               atom = std::move(atom).with_predicate(
                                                   {std::move(attribute), Op, std::move(value)});
                                             }))
        .release();
  });
}

PyObject* builder_capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 2> values{};
    bind_fast({"PatternBuilder.capture()", kAttributeNameParameters, 2}, args, nargs, kwnames,
              values);
    std::string attribute = to_text(values[0], "attribute");
    std::string name = normalize_binding_name(to_text(values[1], "name"));
    return builder_to_py(copy_with_last_atom(self,
                                             [&](kestrel::Atom& atom) {
                                               atom = std::move(atom).with_capture(
                                                   {std::move(name), std::move(attribute)});
                                             }))
        .release();
  });
}

PyObject* builder_where_ref_eq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 2> values{};
    bind_fast({"PatternBuilder.where_ref_eq()", kAttributeNameParameters, 2}, args, nargs, kwnames,
              values);
    std::string attribute = to_text(values[0], "attribute");
    std::string name = normalize_binding_name(to_text(values[1], "name"));
    return builder_to_py(copy_with_last_atom(self,
                                             [&](kestrel::Atom& atom) {
                                               atom = std::move(atom).with_reference_predicate(
                                                   {std::move(attribute),
                                                    kestrel::ComparisonOperator::Eq,
                                                    std::move(name)});
                                             }))
        .release();
  });
}

PyObject* builder_then(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 3> values{};
    bind_fast({"PatternBuilder.then()", kThenParameters, 1}, args, nargs, kwnames, values);
    std::string typ = to_text(values[0], "typ");
    kestrel::Transition transition;
    if (values[1] && values[1] != Py_None) transition.max_elapsed = to_int64(values[1], "within");
    if (values[2] && values[2] != Py_None) {
      transition = std::move(transition).with_absence(kestrel::Atom(to_text(values[2], "no")));
    }
    std::vector<kestrel::Step> steps = steps_of(self);
    steps.push_back({kestrel::Atom(std::move(typ)), std::move(transition)});
    return builder_to_py(std::move(steps)).release();
  });
}

kestrel::Pattern built_pattern(PyObject* builder) {
  return {steps_of(builder), kestrel::MatchConsumption::FirstSuccessorPerStart};
}

PyObject* builder_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    bind_fast({"PatternBuilder.build()", kNoParameters, 0}, args, nargs, kwnames, {});
    return pattern_to_py(built_pattern(self)).release();
  });
}

PyObject* builder_repr(PyObject* self) {
  return guarded([&] {
    return repr_result("PatternBuilder(steps=" + std::to_string(steps_of(self).size()) + ")")
        .release();
  });
}

template <class Function>
PyCFunction fast(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

using Op = kestrel::ComparisonOperator;

PyMethodDef builder_methods[] = {
    {"where_eq", fast(builder_where<Op::Eq>), kFastKeywords,
     "where_eq($self, attribute, value)\n--\n\nAdd `attribute == value` to the current step."},
    {"where_ne", fast(builder_where<Op::NotEq>), kFastKeywords,
     "where_ne($self, attribute, value)\n--\n\nAdd `attribute != value` to the current step."},
    {"where_gt", fast(builder_where<Op::Gt>), kFastKeywords,
     "where_gt($self, attribute, value)\n--\n\nAdd `attribute > value` to the current step."},
    {"where_gte", fast(builder_where<Op::Gte>), kFastKeywords,
     "where_gte($self, attribute, value)\n--\n\nAdd `attribute >= value` to the current step."},
    {"where_lt", fast(builder_where<Op::Lt>), kFastKeywords,
     "where_lt($self, attribute, value)\n--\n\nAdd `attribute < value` to the current step."},
    {"where_lte", fast(builder_where<Op::Lte>), kFastKeywords,
     "where_lte($self, attribute, value)\n--\n\nAdd `attribute <= value` to the current step."},
    {"capture", fast(builder_capture), kFastKeywords,
     "capture($self, attribute, name)\n--\n\nCapture `attribute` from the current step as "
     "`$name`."},
    {"where_ref_eq", fast(builder_where_ref_eq), kFastKeywords,
     "where_ref_eq($self, attribute, name)\n--\n\nAdd `attribute == $name` to the current step."},
    {"then", fast(builder_then), kFastKeywords,
     "then($self, typ, within=None, no=None)\n--\n\nAppend a step matching `typ`, optionally "
     "within `within` time units of\nthe previous step and forbidding an intervening event of "
     "type `no`."},
    {"build", fast(builder_build), kFastKeywords,
     "build($self)\n--\n\nFinalise the builder into a [`PyPattern`]."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A small fluent builder for the stable human-facing construction path.\n\n"
                       "The text DSL remains experimental; this builder covers the common\n"
                       "event-type, predicate, capture/reference, window, and absence subset "
                       "used by\nthe examples.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<std::vector<kestrel::Step>>)},
    {Py_tp_repr, reinterpret_cast<void*>(builder_repr)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Match

const MatchRecord& match_of(PyObject* self) { return record_of<MatchRecord>(self); }

std::vector<kestrel::Event> events_at(const std::vector<std::size_t>& indices,
                                      std::span<const kestrel::Event> events) {
  std::vector<kestrel::Event> picked;
  picked.reserve(indices.size());
  for (std::size_t index : indices) picked.push_back(events[index]);
  return picked;
}

Ref match_from_core(kestrel::Match match, std::span<const kestrel::Event> events) {
  std::vector<kestrel::Event> picked = events_at(match.indices, events);
  MatchRecord record{std::move(match), std::move(picked)};
  return make_wrapper(state().match_type.get(), std::move(record));
}

Ref events_to_list(const std::vector<kestrel::Event>& events) {
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(events.size())));
  for (std::size_t i = 0; i < events.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), event_to_py(events[i]).release());
  }
  return list;
}

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
    return repr_result("Match(partition=" + quoted(match.partition) +
                       ", indices=" + index_list(match.indices) + ", span=(" +
                       std::to_string(match.start) + ", " + std::to_string(match.end) + "))")
        .release();
  });
}

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
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// NearMiss

const NearMissRecord& near_miss_of(PyObject* self) { return record_of<NearMissRecord>(self); }

Ref near_miss_from_core(kestrel::NearMiss near_miss, std::span<const kestrel::Event> events) {
  std::vector<kestrel::Event> picked = events_at(near_miss.indices, events);
  NearMissRecord record{std::move(near_miss), std::move(picked)};
  return make_wrapper(state().near_miss_type.get(), std::move(record));
}

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
    return repr_result("NearMiss(partition=" + quoted(n.partition) + ", indices=" +
                       index_list(n.indices) + ", next=" + quoted(n.next_event_type) +
                       ", reason=" + quoted(kestrel::reason_text(n.detail)) + ")")
        .release();
  });
}

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
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Module functions

kestrel::Pattern coerce_pattern(PyObject* object) {
  ModuleState& s = state();
  if (PyObject_TypeCheck(object, as_type(s.pattern_type))) return pattern_of(object);
  if (PyObject_TypeCheck(object, as_type(s.builder_type))) return built_pattern(object);
  raise(PyExc_TypeError, "expected a Pattern, a pattern builder, or the result of parse_pattern()");
}

void append_event(std::vector<kestrel::Event>& out, PyObject* item) {
  if (!PyObject_TypeCheck(item, as_type(state().event_type))) {
    raise_argument_error("events", conversion_message(item, "Event"));
  }
  out.push_back(event_of(item));
}

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
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                     match_from_core(std::move(matches[i]), events).release());
    }
    return list.release();
  });
}

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
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                     near_miss_from_core(std::move(records[i]), events).release());
    }
    return list.release();
  });
}

template <class Reader>
PyObject* read_pattern(const char* function, const char* parameter, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Reader reader) {
  return guarded([&] {
    const std::array<const char*, 1> names = {parameter};
    std::array<PyObject*, 1> values{};
    bind_fast({function, names, 1}, args, nargs, kwnames, values);
    kestrel::Result<kestrel::Pattern> result = reader(to_text(values[0], parameter));
    if (!result) raise(PyExc_ValueError, result.error());
    return pattern_to_py(std::move(result).value()).release();
  });
}

PyObject* parse_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return read_pattern("parse_pattern()", "text", args, nargs, kwnames,
                      [](const std::string& text) { return kestrel::parse_pattern(text); });
}

PyObject* pattern_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return read_pattern("pattern_from_json()", "json", args, nargs, kwnames,
                      [](const std::string& text) { return kestrel::pattern_from_json(text); });
}

PyMethodDef module_functions[] = {
    {"parse_pattern", fast(parse_pattern), kFastKeywords,
     "parse_pattern(text)\n--\n\nParse the Phase 1 text subset into a [`PyPattern`]."},
    {"pattern_from_json", fast(pattern_from_json), kFastKeywords,
     "pattern_from_json(json)\n--\n\nBuild a pattern from the stable JSON AST, validating its "
     "structure."},
    {"sort_events", fast(sort_events), kFastKeywords,
     "sort_events(events)\n--\n\nReturn a copy of `events` sorted by partition then "
     "`(timestamp, input order)`."},
    {"match_events", fast(match_events), kFastKeywords,
     "match_events(pattern, events, exhaustive=False, use_oracle=False)\n--\n\nRun a pattern over "
     "already-sorted events.\n\nRaises `ValueError` if the events are not grouped by partition "
     "and sorted by\n`(timestamp, input order)`; callers should use the high-level `match`\n"
     "wrapper or [`sort_events`] first."},
    {"near_miss_events", fast(near_miss_events), kFastKeywords,
     "near_miss_events(pattern, events)\n--\n\nExplain near-misses: starts that did not match, "
     "with their deepest partial\npath and the reason. Requires already-sorted events (see "
     "[`match_events`])."},
};

// ---------------------------------------------------------------------------
// The interface lent to the package's other native modules

bool api_coerce_pattern(PyObject* object, kestrel::Pattern* out) {
  return guarded([&] {
    *out = coerce_pattern(object);
    return true;
  });
}

bool api_extract_events(PyObject* events, std::vector<kestrel::Event>* out) {
  return guarded([&] {
    *out = extract_events(events);
    return true;
  });
}

bool api_value_from_py(PyObject* object, Value* out) {
  return guarded([&] {
    *out = py_to_value(object);
    return true;
  });
}

PyObject* api_new_match(kestrel::Match* match, std::vector<kestrel::Event>* events) {
  return guarded([&] {
    MatchRecord record{std::move(*match), std::move(*events)};
    return make_wrapper(state().match_type.get(), std::move(record)).release();
  });
}

PyObject* api_new_near_miss(kestrel::NearMiss* near_miss, std::vector<kestrel::Event>* events) {
  return guarded([&] {
    NearMissRecord record{std::move(*near_miss), std::move(*events)};
    return make_wrapper(state().near_miss_type.get(), std::move(record)).release();
  });
}

PyObject* api_internal_error() { return state().internal_error.get(); }

const kestrel::binding::CoreApi core_api = {
    kestrel::binding::kCoreApiVersion,
    api_internal_error,
    api_coerce_pattern,
    api_extract_events,
    api_value_from_py,
    api_new_match,
    api_new_near_miss,
};

// ---------------------------------------------------------------------------
// Initialisation

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_core", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void register_name(PyObject* module, PyObject* all, const char* name, Ref object) {
  if (PyModule_AddObjectRef(module, name, object.get()) < 0) throw PythonError{};
  Ref text = own(PyUnicode_FromString(name));
  if (PyList_Append(all, text.get()) < 0) throw PythonError{};
}

Ref make_type(PyObject* module, const char* name, int basicsize, PyType_Slot* slots) {
  PyType_Spec layout = {name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return own(PyType_FromModuleAndSpec(module, &layout, nullptr));
}

Ref create_module() {
  ModuleState& s = state();
  Ref module = own(PyModule_Create(&module_definition));
  PyObject* m = module.get();
  Ref all = own(PyList_New(0));
  s.internal_error = own(PyErr_NewExceptionWithDoc(
      "kestrel._core.InternalError",
      "A broken engine invariant. Derives from BaseException so that it is not "
      "swallowed by ordinary error handling.",
      PyExc_BaseException, nullptr));
  s.event_type = make_type(m, "kestrel._core.Event", sizeof(EventObject), event_slots);
  s.pattern_type = make_type(m, "kestrel._core.Pattern", sizeof(PatternObject), pattern_slots);
  s.builder_type =
      make_type(m, "kestrel._core.PatternBuilder", sizeof(BuilderObject), builder_slots);
  s.match_type = make_type(m, "kestrel._core.Match", sizeof(MatchObject), match_slots);
  s.near_miss_type =
      make_type(m, "kestrel._core.NearMiss", sizeof(NearMissObject), near_miss_slots);
  register_name(m, all.get(), "Event", Ref::borrow(s.event_type.get()));
  register_name(m, all.get(), "Pattern", Ref::borrow(s.pattern_type.get()));
  register_name(m, all.get(), "PatternBuilder", Ref::borrow(s.builder_type.get()));
  register_name(m, all.get(), "Match", Ref::borrow(s.match_type.get()));
  register_name(m, all.get(), "NearMiss", Ref::borrow(s.near_miss_type.get()));
  Ref module_name = own(PyUnicode_FromString("kestrel._core"));
  for (PyMethodDef& def : module_functions) {
    register_name(m, all.get(), def.ml_name, own(PyCFunction_NewEx(&def, m, module_name.get())));
  }
  if (PyModule_AddObjectRef(m, "__all__", all.get()) < 0) throw PythonError{};
  // Not a public name, so it stays out of __all__.
  Ref api = own(PyCapsule_New(const_cast<kestrel::binding::CoreApi*>(&core_api),
                              kestrel::binding::kCoreApiCapsule, nullptr));
  if (PyModule_AddObjectRef(m, "_api", api.get()) < 0) throw PythonError{};
  return module;
}

PyObject* init_module() {
  return guarded([]() -> PyObject* {
    ModuleState& s = state();
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (s.module) {
      if (id != s.interpreter_id) {
        raise(PyExc_ImportError, "kestrel._core does not support sub-interpreters");
      }
      return Ref::borrow(s.module.get()).release();
    }
    s.interpreter_id = id;
    s.module = create_module();
    return Ref::borrow(s.module.get()).release();
  });
}

}  // namespace

PyMODINIT_FUNC PyInit__core() { return init_module(); }
