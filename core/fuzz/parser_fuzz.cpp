// Feeds arbitrary bytes to the pattern parser and aborts when a result breaks
// the parser's guarantees: a parsed pattern obeys the structural rules, and a
// failure carries one of the parser's messages, quoting only input text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kestrel/parser.hpp"

#include "../tests/parser_messages.hpp"
#include "language/parser_pieces.hpp"

namespace {

using kestrel::test_support::is_parser_message;

using std::string_view;

void require(bool condition) {
  if (!condition) std::abort();
}

void check_atom(const kestrel::Atom& atom) {
  require(!atom.event_type.empty() && atom.event_type.find('[') == std::string::npos);
  for (const auto& predicate : atom.predicates) require(!predicate.attribute.empty());
  for (const auto& reference : atom.reference_predicates) require(!reference.attribute.empty());
  for (const auto& capture : atom.captures)
    require(!capture.name.empty() && !capture.attribute.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const string_view text(reinterpret_cast<const char*>(data), size);

  const auto pattern = kestrel::parse_pattern(text);
  if (pattern.ok()) {
    require(!kestrel::find_structural_fault(pattern.value()));
    require(pattern.value().consumption == kestrel::MatchConsumption::FirstSuccessorPerStart);
    for (const auto& step : pattern.value().steps) {
      check_atom(step.atom);
      if (step.transition_from_previous) {
        for (const auto& absent : step.transition_from_previous->absence) check_atom(absent);
      }
    }
  } else {
    require(is_parser_message(pattern.error(), text));
  }

  const auto atom = kestrel::parse_atom(text);
  if (atom.ok()) {
    check_atom(atom.value());
  } else {
    require(is_parser_message(atom.error(), text));
  }

  const string_view head = kestrel::take_until_transition(text);
  require(head.data() == text.data() && head.size() <= text.size());
  require(head.empty() || kestrel::trim_white_space(head).end() == head.end());

  const string_view trimmed = kestrel::trim_white_space(text);
  require(trimmed.data() >= text.data() && trimmed.end() <= text.end());
  require(kestrel::trim_white_space(trimmed) == trimmed);
  return 0;
}
