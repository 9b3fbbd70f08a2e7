// Engine errors as Python exceptions that carry what the engine knew, so
// that callers (the command line) act on the kind and renumber the row
// without reading the message.
#include <string>
#include <string_view>

#include "py_support.hpp"

namespace kestrel::binding {

namespace {

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::InvalidInput: return "invalid_input";
    case ErrorKind::WrongType: return "wrong_type";
    case ErrorKind::LateEvent: return "late_event";
  }
  throw InternalError("an error kind without a name");
}

void set_attribute(PyObject* exception, const char* name, Ref value) {
  if (PyObject_SetAttrString(exception, name, value.get()) < 0) throw PythonError{};
}

// The number's place as a Python index: the message is UTF-8, the
// exception's text counts code points.
void mark_number(PyObject* exception, const Error& error) {
  const ErrorNumber& number = *error.number;
  const bool row = number.counts == ErrorNumber::Counts::Rows;
  const Py_ssize_t at =
      PyUnicode_GetLength(text_to_py(std::string_view(error.message).substr(0, number.at)).get());
  if (at < 0) throw PythonError{};
  set_attribute(exception, row ? "_kestrel_row" : "_kestrel_position", index_to_py(number.value));
  set_attribute(exception, row ? "_kestrel_row_at" : "_kestrel_position_at",
                own(PyLong_FromSsize_t(at)));
}

}  // namespace

void raise_engine_error(const Error& error) {
  PyObject* type = error.kind == ErrorKind::WrongType ? PyExc_TypeError : PyExc_ValueError;
  Ref message = text_to_py(error.message);
  Ref exception = own(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  set_attribute(exception.get(), "_kestrel_kind", text_to_py(kind_name(error.kind)));
  if (error.number) mark_number(exception.get(), error);
  PyErr_SetObject(type, exception.get());
  throw PythonError{};
}

}  // namespace kestrel::binding
