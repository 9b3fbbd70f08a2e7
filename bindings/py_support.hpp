// Reference ownership and error plumbing shared by the package's native
// modules.
#pragma once

#include <Python.h>

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
