// Feeds arbitrary bytes to the JSON reader and aborts when a result breaks the
// reader's guarantees: a refusal carries a message (with a position unless it
// is a structural one), and an accepted pattern writes, in either layout, text
// that reads back to the same pattern and the same compact text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kestrel/json.hpp"

namespace {

using std::string_view;

constexpr string_view kStructuralMessages[] = {
    "pattern must contain at least one step",
    "the first pattern step cannot have a transition",
    "every step after the first must have a transition",
};

void require(bool condition) {
  if (!condition) std::abort();
}

bool is_reader_message(string_view message) {
  for (string_view structural : kStructuralMessages) {
    if (message == structural) return true;
  }
  const std::size_t at = message.rfind(" at line ");
  return at != string_view::npos && at > 0 && message.find(" column ", at) != string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const string_view text(reinterpret_cast<const char*>(data), size);
  const auto result = kestrel::pattern_from_json(text);
  if (!result) {
    require(is_reader_message(result.error()));
    return 0;
  }
  const std::string compact = kestrel::pattern_to_json(result.value());
  const std::string pretty = kestrel::pattern_to_json_pretty(result.value());
  for (const std::string* written : {&compact, &pretty}) {
    const auto again = kestrel::pattern_from_json(*written);
    require(again.ok());
    require(again.value() == result.value());
    require(kestrel::pattern_to_json(again.value()) == compact);
    require(kestrel::pattern_to_json_pretty(again.value()) == pretty);
  }
  return 0;
}
