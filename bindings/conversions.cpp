// Conversions between Python objects and engine values, shared by every
// type and function of the module.
#include <cstdint>
#include <string>

#include "py_support.hpp"

namespace kestrel::binding {

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

namespace {

// Errors of conversion hooks are discarded, but an interrupt or exit that
// merely passes through a hook must still reach the caller.
void discard_conversion_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
  } else {
    throw PythonError{};
  }
}

}  // namespace

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

}  // namespace kestrel::binding
