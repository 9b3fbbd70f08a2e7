// Reference ownership and error plumbing shared by the package's native
// modules.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "kestrel/model.hpp"

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

}  // namespace kestrel::binding
