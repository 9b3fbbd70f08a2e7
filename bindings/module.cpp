// The extension module kestrel._core: converts Python objects to engine
// records, runs the engine, and converts the results back.
//
// Written against the stable ABI so that one module file serves every
// CPython from 3.11 on. Every PyObject* lives in a Ref; every entry point
// catches C++ exceptions and turns them into Python errors. Objects of the
// module own private copies of the engine records they present and never
// change after creation. The public names are listed in __all__; the names
// that start with an underscore serve the package's Python layer, which
// reads tables and result sets through them.
//
// This file holds the module's state, its creation and the registration of
// its names; each class and its functions live in a file of their own.

#include <string>

#include "pickled_state.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

ModuleState& state() {
  static ModuleState* instance = new ModuleState();
  return *instance;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    Ref name = own(PyType_GetName(type));
    raise(PyExc_TypeError, "No constructor defined for " + utf8(name.get()));
  });
}

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_core", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void add_name(PyObject* module, const char* name, const Ref& object) {
  if (PyModule_AddObjectRef(module, name, object.get()) < 0) throw PythonError{};
}

void register_name(PyObject* module, PyObject* all, const char* name, const Ref& object) {
  add_name(module, name, object);
  Ref text = own(PyUnicode_FromString(name));
  if (PyList_Append(all, text.get()) < 0) throw PythonError{};
}

Ref make_type(PyObject* module, TypeLayout layout) {
  PyType_Spec type_spec = {layout.name, layout.basicsize, 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, layout.slots};
  return own(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

Ref make_function(PyMethodDef& def, PyObject* module) {
  Ref module_name = own(PyUnicode_FromString("kestrel._core"));
  return own(PyCFunction_NewEx(&def, module, module_name.get()));
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
  s.event_type = make_type(m, event_layout());
  s.pattern_type = make_type(m, pattern_layout());
  s.builder_type = make_type(m, builder_layout());
  s.match_type = make_type(m, match_layout());
  s.near_miss_type = make_type(m, near_miss_layout());
  s.table_type = make_type(m, table_layout());
  s.results_type = make_type(m, results_layout());
  s.stream_type = make_type(m, stream_layout());
  register_name(m, all.get(), "Event", s.event_type);
  register_name(m, all.get(), "Pattern", s.pattern_type);
  register_name(m, all.get(), "PatternBuilder", s.builder_type);
  register_name(m, all.get(), "Match", s.match_type);
  register_name(m, all.get(), "NearMiss", s.near_miss_type);
  for (PyMethodDef* def : {&parse_pattern_def, &pattern_from_json_def, &sort_events_def,
                           &match_events_def, &near_miss_events_def}) {
    register_name(m, all.get(), def->ml_name, make_function(*def, m));
  }
  add_name(m, "__all__", all);
  // The package's private interface, outside __all__.
  add_name(m, "_EventTable", s.table_type);
  add_name(m, "_Results", s.results_type);
  add_name(m, "_Stream", s.stream_type);
  for (PyMethodDef* functions : {table_functions, stream_functions}) {
    for (PyMethodDef* def = functions; def->ml_name; ++def) {
      add_name(m, def->ml_name, make_function(*def, m));
    }
  }
  for (PyMethodDef* def : {&match_from_state_def, &near_miss_from_state_def,
                           &results_from_state_def, &builder_from_json_def, &export_records_def}) {
    add_name(m, def->ml_name, make_function(*def, m));
  }
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

}  // namespace kestrel::binding

PyMODINIT_FUNC PyInit__core() { return kestrel::binding::init_module(); }
