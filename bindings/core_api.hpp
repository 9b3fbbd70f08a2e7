// The C++ interface that kestrel._core lends to the package's other native
// modules, published as the capsule "kestrel._core._api".
//
// Both sides are compiled from this tree into one wheel with one compiler, so
// the interface may pass engine records by pointer. The version catches a
// stale module file left beside a newer one.
#pragma once

#include <Python.h>

#include <vector>

#include "kestrel/explain.hpp"
#include "kestrel/model.hpp"

namespace kestrel::binding {

inline constexpr const char* kCoreApiCapsule = "kestrel._core._api";
inline constexpr int kCoreApiVersion = 1;

// Every function returns false (or nullptr) with a Python error set when it
// fails, and never lets a C++ exception escape.
struct CoreApi {
  int version;
  // kestrel._core.InternalError, borrowed: what a broken invariant raises.
  PyObject* (*internal_error)();
  // The pattern of a Pattern or PatternBuilder, exactly as match_events sees it.
  bool (*coerce_pattern)(PyObject* object, Pattern* out);
  // Copies of the records of a sequence of Event objects, as match_events takes them.
  bool (*extract_events)(PyObject* events, std::vector<Event>* out);
  // The conversion Event() applies to each attribute value.
  bool (*value_from_py)(PyObject* object, Value* out);
  // A new Match object; `events` holds the event at each index, in order.
  // Both records are moved from.
  PyObject* (*new_match)(Match* match, std::vector<Event>* events);
  // A new NearMiss object, built the same way.
  PyObject* (*new_near_miss)(NearMiss* near_miss, std::vector<Event>* events);
};

}  // namespace kestrel::binding
