// The Pattern and PatternBuilder classes, and the functions that read a
// pattern from text or JSON.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/json.hpp"
#include "kestrel/parser.hpp"
#include "language/parser_pieces.hpp"
#include "pickled_state.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

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
    return text_to_py("Pattern(steps=" + std::to_string(pattern_of(self).steps.size()) + ")")
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
    return text_to_py("PatternBuilder(steps=" + std::to_string(steps_of(self).size()) + ")")
        .release();
  });
}

// A builder's steps are exactly the pattern it builds, whose JSON form is
// exact; the consumption is always the builder's.
PyObject* builder_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    return reduce_to("_builder_from_json",
                     text_to_py(kestrel::pattern_to_json(built_pattern(self))))
        .release();
  });
}

PyObject* builder_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    PyObject* json = state_argument("_builder_from_json()", args, nargs, kwnames);
    kestrel::Result<kestrel::Pattern> result = kestrel::pattern_from_json(to_text(json, "state"));
    if (!result) raise_engine_error(result.failure());
    kestrel::Pattern pattern = std::move(result).value();
    if (pattern.steps.empty() ||
        pattern.consumption != kestrel::MatchConsumption::FirstSuccessorPerStart) {
      raise(PyExc_ValueError, "a pattern builder matches the first successor of each start");
    }
    return builder_to_py(std::move(pattern.steps)).release();
  });
}

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
    {"__reduce__", builder_reduce, METH_NOARGS, nullptr},
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

template <class Reader>
PyObject* read_pattern(const char* function, const char* parameter, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Reader reader) {
  return guarded([&] {
    const std::array<const char*, 1> names = {parameter};
    std::array<PyObject*, 1> values{};
    bind_fast({function, names, 1}, args, nargs, kwnames, values);
    kestrel::Result<kestrel::Pattern> result = reader(to_text(values[0], parameter));
    if (!result) raise_engine_error(result.failure());
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

}  // namespace

TypeLayout pattern_layout() {
  return {"kestrel._core.Pattern", sizeof(Wrapper<Pattern>), pattern_slots};
}

TypeLayout builder_layout() {
  return {"kestrel._core.PatternBuilder", sizeof(Wrapper<std::vector<Step>>), builder_slots};
}

kestrel::Pattern coerce_pattern(PyObject* object) {
  ModuleState& s = state();
  if (PyObject_TypeCheck(object, as_type(s.pattern_type))) return pattern_of(object);
  if (PyObject_TypeCheck(object, as_type(s.builder_type))) return built_pattern(object);
  raise(PyExc_TypeError, "expected a Pattern, a pattern builder, or the result of parse_pattern()");
}

PyMethodDef parse_pattern_def = {
    "parse_pattern", fast(parse_pattern), kFastKeywords,
    "parse_pattern(text)\n--\n\nParse the Phase 1 text subset into a [`PyPattern`]."};

PyMethodDef pattern_from_json_def = {
    "pattern_from_json", fast(pattern_from_json), kFastKeywords,
    "pattern_from_json(json)\n--\n\nBuild a pattern from the stable JSON AST, validating its "
    "structure."};

PyMethodDef builder_from_json_def = {
    "_builder_from_json", fast(builder_from_json), kFastKeywords,
    "_builder_from_json(state)\n--\n\nA PatternBuilder of the steps of a pattern's JSON "
    "form."};

}  // namespace kestrel::binding
