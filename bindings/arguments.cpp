// Binding call arguments to parameters, with the interpreter's own wording
// for every binding failure, and the "argument 'x': " prefix of conversion
// errors.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "py_support.hpp"

namespace kestrel::binding {

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

namespace {

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

}  // namespace

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

}  // namespace kestrel::binding
