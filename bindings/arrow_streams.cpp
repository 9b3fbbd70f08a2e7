// Arrow C streams to and from Python, through the PyCapsule interface that
// pyarrow, polars, pandas and DuckDB implement: a stream is taken from
// `__arrow_c_stream__()` (or built from the one batch of
// `__arrow_c_array__()`), and handed out as an "arrow_array_stream" capsule.
#include <cstdlib>
#include <string>

#include "py_support.hpp"

namespace kestrel::binding {

namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";

// The struct in a capsule, not yet released.
template <class Struct>
Struct* capsule_pointer(PyObject* capsule, const char* name) {
  auto* pointer = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (!pointer) throw PythonError{};
  if (!pointer->release) {
    raise(PyExc_ValueError, std::string("the ") + name + " capsule was already consumed");
  }
  return pointer;
}

// The capsule's stream, moved out: the producer's copy is marked released,
// so the capsule's destructor leaves the stream to us.
OwnedStream stream_from_capsule(PyObject* capsule) {
  ArrowArrayStream* stream = capsule_pointer<ArrowArrayStream>(capsule, kStreamCapsule);
  OwnedStream owned;
  owned.stream = *stream;
  stream->release = nullptr;
  return owned;
}

// A stream of the one batch of `__arrow_c_array__()`: (schema, array) capsules.
OwnedStream stream_from_array(PyObject* source) {
  Ref pair = own(PyObject_CallMethod(source, "__arrow_c_array__", nullptr));
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    raise(PyExc_TypeError, "__arrow_c_array__() must return a (schema, array) tuple of capsules");
  }
  ArrowSchema* schema =
      capsule_pointer<ArrowSchema>(PyTuple_GetItem(pair.get(), 0), "arrow_schema");
  ArrowArray* array = capsule_pointer<ArrowArray>(PyTuple_GetItem(pair.get(), 1), "arrow_array");
  OwnedStream owned;
  if (ArrowBasicArrayStreamInit(&owned.stream, schema, 1) != NANOARROW_OK) throw std::bad_alloc();
  // Both structs now belong to the stream.
  schema->release = nullptr;
  ArrowBasicArrayStreamSetArray(&owned.stream, 0, array);
  array->release = nullptr;
  return owned;
}

void release_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (!stream) {
    PyErr_Clear();
    return;
  }
  if (stream->release) stream->release(stream);
  std::free(stream);
}

}  // namespace

OwnedStream::~OwnedStream() {
  if (stream.release) stream.release(&stream);
}

OwnedStream stream_from_py(PyObject* source) {
  if (PyCapsule_CheckExact(source)) return stream_from_capsule(source);
  if (PyObject_HasAttrString(source, "__arrow_c_stream__")) {
    Ref capsule = own(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
    return stream_from_capsule(capsule.get());
  }
  if (PyObject_HasAttrString(source, "__arrow_c_array__")) return stream_from_array(source);
  raise(PyExc_TypeError, "expected an object with __arrow_c_stream__ or __arrow_c_array__, got " +
                             type_name(source));
}

Ref stream_to_capsule(OwnedStream owned) {
  auto* stream = static_cast<ArrowArrayStream*>(std::malloc(sizeof(ArrowArrayStream)));
  if (!stream) throw std::bad_alloc();
  *stream = owned.stream;
  owned.stream.release = nullptr;
  Ref capsule = Ref::steal(PyCapsule_New(stream, kStreamCapsule, release_capsule));
  if (!capsule) {
    stream->release(stream);
    std::free(stream);
    throw PythonError{};
  }
  return capsule;
}

}  // namespace kestrel::binding
