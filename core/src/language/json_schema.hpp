// The JSON schema of the pattern records: one description per record,
// Record<T>::fields, names its fields in order with their types. The writer
// and the reader both walk it, so they cannot disagree about keys, order or
// types.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kestrel/model.hpp"

namespace kestrel::json {

template <class T>
struct Record;

template <>
struct Record<Pattern> {
  static constexpr std::string_view kName = "Pattern";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("steps", r.steps);
    field("consumption", r.consumption);
  }
};

template <>
struct Record<Step> {
  static constexpr std::string_view kName = "Step";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("atom", r.atom);
    field("transition_from_previous", r.transition_from_previous);
  }
};

template <>
struct Record<Atom> {
  static constexpr std::string_view kName = "Atom";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("event_type", r.event_type);
    field("predicates", r.predicates);
    field("reference_predicates", r.reference_predicates);
    field("captures", r.captures);
  }
};

template <>
struct Record<Predicate> {
  static constexpr std::string_view kName = "Predicate";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("attribute", r.attribute);
    field("operator", r.op);
    field("value", r.value);
  }
};

template <>
struct Record<ReferencePredicate> {
  static constexpr std::string_view kName = "ReferencePredicate";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("attribute", r.attribute);
    field("operator", r.op);
    field("binding", r.binding);
  }
};

template <>
struct Record<Capture> {
  static constexpr std::string_view kName = "Capture";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("name", r.name);
    field("attribute", r.attribute);
  }
};

template <>
struct Record<Transition> {
  static constexpr std::string_view kName = "Transition";
  template <class R, class F>
  static void fields(R& r, F&& field) {
    field("max_elapsed", r.max_elapsed);
    field("absence", r.absence);
  }
};

template <class T>
concept IsRecord = requires { Record<T>::kName; };

template <class T>
constexpr bool kIsOptional = false;
template <class T>
constexpr bool kIsOptional<std::optional<T>> = true;

template <IsRecord T>
std::size_t field_count() {
  std::size_t count = 0;
  T record{};
  Record<T>::fields(record, [&](std::string_view, auto&) { ++count; });
  return count;
}

template <IsRecord T>
std::string struct_name() {
  return "struct " + std::string(Record<T>::kName);
}

// Unit-variant enumerations, named in declaration order.
template <class E>
struct Variants;

template <>
struct Variants<ComparisonOperator> {
  static constexpr std::array<std::string_view, 6> kNames = {"Eq",  "NotEq", "Gt",
                                                             "Gte", "Lt",    "Lte"};
};

template <>
struct Variants<MatchConsumption> {
  static constexpr std::array<std::string_view, 2> kNames = {"FirstSuccessorPerStart",
                                                             "ExhaustivePerStart"};
};

template <class E>
concept IsVariantEnum = requires { Variants<E>::kNames; };

// In ValueKind order.
constexpr std::array<std::string_view, 5> kValueNames = {"String", "Int", "Float", "Bool", "Null"};

// The position of `name` in `names`, or -1.
int variant_index(std::span<const std::string_view> names, std::string_view name);

// The message for a variant name that is not one of `names`.
std::string unknown_variant(std::string_view name, std::span<const std::string_view> names);

// The message for a pattern that breaks one of the structural rules.
std::string structural_message(StructuralFault fault);

}  // namespace kestrel::json
