// The messages of the JSON schema: names that are not variants, and patterns
// that break the structural rules.
#include "language/json_schema.hpp"

namespace kestrel::json {

int variant_index(std::span<const std::string_view> names, std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return -1;
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> names) {
  std::string message = "unknown variant `";
  message += name;
  message += "`, expected ";
  if (names.size() == 2) {
    message += "`";
    message += names[0];
    message += "` or `";
    message += names[1];
    message += "`";
    return message;
  }
  message += "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) message += ", ";
    message += '`';
    message += names[i];
    message += '`';
  }
  return message;
}

std::string structural_message(StructuralFault fault) {
  switch (fault) {
    case StructuralFault::NoSteps: return "pattern must contain at least one step";
    case StructuralFault::FirstStepHasTransition:
      return "the first pattern step cannot have a transition";
    case StructuralFault::LaterStepLacksTransition:
      return "every step after the first must have a transition";
  }
  throw InternalError("unknown structural fault");
}

}  // namespace kestrel::json
