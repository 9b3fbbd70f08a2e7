// Feeds arbitrary bytes to the JSON reader and aborts when a result breaks the
// reader's guarantees: a refusal carries one of the reader's messages, and an
// accepted pattern writes, in either layout, text that reads back to the same
// pattern and the same compact text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kestrel/json.hpp"

#include "../tests/json_messages.hpp"

namespace {

using kestrel::test_support::is_reader_message;

using std::string_view;

void require(bool condition) {
  if (!condition) std::abort();
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
