// The pickled state of matches, near misses, result sets and pattern
// builders: the engine's state codec (model/state_codec.hpp) at the edges of
// Python, where a state is a bytes object and a refused one a ValueError.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "model/state_codec.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

// State bytes as a bytes object.
inline Ref bytes_to_py(const std::string& bytes) {
  return own(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The written state as a bytes object.
inline Ref state_to_py(const StateWriter& writer) { return bytes_to_py(writer.bytes()); }

// The bytes of a pickled state, which must be a bytes object; the view
// lives as long as it does.
inline std::string_view state_bytes(PyObject* bytes) {
  if (!PyBytes_Check(bytes)) raise(PyExc_TypeError, "a pickled kestrel state must be bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) throw PythonError{};
  return std::string_view(data, static_cast<std::size_t>(size));
}

// What `read` makes of a reader of the state in `bytes`, which must be a
// bytes object holding what `what` names.
template <class Read>
auto read_state(PyObject* bytes, char what, Read&& read)
    -> std::invoke_result_t<Read, StateReader&> {
  const std::string_view state = state_bytes(bytes);
  try {
    StateReader reader(state, what);
    return std::forward<Read>(read)(reader);
  } catch (const StateRefused& refused) {
    raise(PyExc_ValueError, std::string("cannot unpickle kestrel state: ") + refused.what());
  }
}

// The private functions that rebuild objects from their pickled state.
extern PyMethodDef match_from_state_def;
extern PyMethodDef near_miss_from_state_def;
extern PyMethodDef results_from_state_def;
extern PyMethodDef builder_from_json_def;

// (the function named `name` of the module, (state,)): a __reduce__ value.
inline Ref reduce_to(const char* name, const Ref& pickled) {
  Ref function = own(PyObject_GetAttrString(state().module.get(), name));
  Ref arguments = own(PyTuple_Pack(1, pickled.get()));
  return own(PyTuple_Pack(2, function.get(), arguments.get()));
}

// The one argument of a from-state function.
inline PyObject* state_argument(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"state"};
  std::array<PyObject*, 1> values{};
  bind_fast({function, names, 1}, args, nargs, kwnames, values);
  return values[0];
}

}  // namespace kestrel::binding
