#include "kestrel/pattern_warnings.hpp"
#include "kestrel/parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

struct WarningCase {
  std::string pattern;
  std::vector<std::string> types;  // one event of each, in this order
  std::vector<std::string> expected;
};

void PrintTo(const WarningCase& c, std::ostream* out) { *out << c.pattern; }

class PatternWarnings : public testing::TestWithParam<WarningCase> {};

TEST_P(PatternWarnings, SayWhatCannotMatch) {
  const auto pattern = parse_pattern(GetParam().pattern);
  ASSERT_TRUE(pattern.ok()) << pattern.error();
  std::vector<Event> events;
  for (const std::string& type : GetParam().types) events.push_back(Event{"p", 0, type, {}});
  const EventTable table = EventTable::from_events(events, {});
  EXPECT_EQ(pattern_warnings(pattern.value(), table), GetParam().expected);
}

const std::vector<std::string> kShop{"view", "add_to_cart", "add_to_carts", "checkout", "view"};

INSTANTIATE_TEST_SUITE_P(
    Table, PatternWarnings,
    testing::Values(
        WarningCase{
            "view[user as $u] -[no checkout[user == $u]]-> checkout[user == $u]", kShop, {}},
        // An absent type in an absence atom forbids nothing: no warning.
        WarningCase{"view -[no refund]-> checkout", kShop, {}},
        WarningCase{"view -> add_to_crat -> checkout",
                    kShop,
                    {"step 2: event type `add_to_crat` never occurs in the events; closest: "
                     "`add_to_cart`, `add_to_carts`"}},
        // Up to three, nearest first, ties in order of appearance.
        WarningCase{"ab",
                    {"abcd", "a", "b", "abc", "x"},
                    {"step 1: event type `ab` never occurs in the events; closest: `a`, `b`, "
                     "`abc`"}},
        WarningCase{"view -> zzzzzz",
                    kShop,
                    {"step 2: event type `zzzzzz` never occurs in the events; the types present "
                     "are `view`, `add_to_cart`, `add_to_carts`, `checkout`"}},
        WarningCase{"qqq",
                    {"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9", "a10", "a11"},
                    {"step 1: event type `qqq` never occurs in the events; the types present "
                     "are `a0`, `a1`, `a2`, `a3`, `a4`, `a5`, `a6`, `a7`, `a8`, `a9` and 2 more"}},
        WarningCase{"view",
                    {},
                    {"step 1: event type `view` never occurs in the events; there "
                     "are no events"}},
        // The same atom's capture binds too late; absence atoms capture nothing.
        WarningCase{"view[user as $u, session as $s] -[no checkout[user as $w]]-> "
                    "checkout[user == $nope, shop == $w, s == $s, s2 == $s] -> "
                    "view[x as $x, y == $x]",
                    kShop,
                    {"step 2: `$nope` is never captured before it is used; captured names are "
                     "`$u`, `$s`, `$x`",
                     "step 2: `$w` is never captured before it is used; captured names are "
                     "`$u`, `$s`, `$x`",
                     "step 3: `$x` is never captured before it is used; captured names are "
                     "`$u`, `$s`, `$x`"}},
        // Events at one timestamp meet a zero window; none meets a negative one.
        WarningCase{"view -[<=0]-> checkout -[<=-1]-> view -[<=-9, no cart]-> cart",
                    kShop,
                    {"step 3: window `<=-1` is negative, so no event can follow the previous "
                     "step's within it",
                     "step 4: event type `cart` never occurs in the events; the types present "
                     "are `view`, `add_to_cart`, `add_to_carts`, `checkout`",
                     "step 4: window `<=-9` is negative, so no event can follow the previous "
                     "step's within it"}},
        WarningCase{"view -[no checkout[user == $u]]-> cart",
                    kShop,
                    {"step 2: event type `cart` never occurs in the events; the types present "
                     "are `view`, `add_to_cart`, `add_to_carts`, `checkout`",
                     "step 2: `$u` is never captured before it is used; no step captures a "
                     "name"}}));

}  // namespace
}  // namespace kestrel
