#include "kestrel/parser.hpp"

#include "language/parser_pieces.hpp"
#include "parser_messages.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {
namespace {

using Op = ComparisonOperator;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---- Building expected patterns ----

Predicate pred(std::string attribute, Op op, Value value) {
  return Predicate{std::move(attribute), op, std::move(value)};
}
ReferencePredicate ref(std::string attribute, Op op, std::string binding) {
  return ReferencePredicate{std::move(attribute), op, std::move(binding)};
}
Capture cap(std::string name, std::string attribute) {
  return Capture{std::move(name), std::move(attribute)};
}

Atom atom(std::string type, std::vector<Predicate> predicates = {},
          std::vector<ReferencePredicate> references = {}, std::vector<Capture> captures = {}) {
  Atom result(std::move(type));
  result.predicates = std::move(predicates);
  result.reference_predicates = std::move(references);
  result.captures = std::move(captures);
  return result;
}

Transition transition(std::optional<std::int64_t> window = std::nullopt,
                      std::vector<Atom> absence = {}) {
  return Transition{window, std::move(absence)};
}

Pattern pattern(Atom first, std::vector<std::pair<Transition, Atom>> rest = {}) {
  Pattern result;
  result.steps.push_back(Step{std::move(first), std::nullopt});
  for (auto& [arrow, next] : rest) result.steps.push_back(Step{std::move(next), std::move(arrow)});
  return result;
}

Pattern one_predicate(Value value, Op op = Op::Eq) {
  return pattern(atom("a", {pred("x", op, std::move(value))}));
}

std::string show(const Result<Pattern>& result) {
  return result.ok() ? "a pattern of " + std::to_string(result.value().steps.size()) + " steps"
                     : "error: " + result.error();
}

// ---- White space ----

// Every White_Space character, encoded.
const std::vector<std::string> kWhiteSpace = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

// Characters and byte runs that look like white space but are not.
const std::vector<std::string> kNotWhiteSpace = {
    "\x1C",
    "\x1D",
    "\x1E",
    "\x1F",  // separators that some libraries strip
    std::string(1, '\0'),
    "\x85",
    "\xA0",          // Latin-1 bytes, not UTF-8
    "\xE2\x80\x8B",  // U+200B zero width space
    "\xE1\xA0\x8E",  // U+180E Mongolian vowel separator
    "\xEF\xBB\xBF",  // U+FEFF byte order mark
    "\xE2\x80\xAA",
    "\xE2\x81\xA0",  // neighbours of U+2029 and U+205F
    "\xC2",
    "\xE2\x80",
    "\xE3\x80",  // truncated encodings
    "\xC0\xA0",
    "\xE0\x80\xA0",  // overlong encodings of a space
    "x",
};

TEST(TrimWhiteSpace, RemovesEachWhiteSpaceCharacterFromBothEnds) {
  for (const std::string& white : kWhiteSpace) {
    const std::string text = white + white + "a" + white + "b" + white;
    EXPECT_EQ(trim_white_space(text), "a" + white + "b") << testing::PrintToString(white);
    EXPECT_EQ(trim_white_space(white), "") << testing::PrintToString(white);
  }
}

TEST(TrimWhiteSpace, KeepsEverythingElse) {
  for (const std::string& other : kNotWhiteSpace) {
    EXPECT_EQ(trim_white_space(" " + other + " "), other) << testing::PrintToString(other);
    EXPECT_EQ(trim_white_space(other), other) << testing::PrintToString(other);
  }
}

// A plain reference: strip any listed encoding while one is at an end.
std::string_view reference_trim(std::string_view text) {
  for (bool changed = true; changed;) {
    changed = false;
    for (const std::string& white : kWhiteSpace) {
      if (text.starts_with(white)) text.remove_prefix(white.size()), changed = true;
      if (text.ends_with(white)) text.remove_suffix(white.size()), changed = true;
    }
  }
  return text;
}

TEST(TrimWhiteSpace, AgreesWithReferenceOnRandomByteSoups) {
  std::mt19937 random(20240611);
  std::vector<std::string> pieces = kWhiteSpace;
  pieces.insert(pieces.end(), kNotWhiteSpace.begin(), kNotWhiteSpace.end());
  for (const char* fragment : {"\x80", "\x85", "\xA0", "\x9A", "\xE1", "\xE2", "\xE3", "\x81"}) {
    pieces.emplace_back(fragment);
  }
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int n = random() % 8; n > 0; --n) text += pieces[random() % pieces.size()];
    const std::string_view trimmed = trim_white_space(text);
    ASSERT_EQ(trimmed, reference_trim(text)) << testing::PrintToString(text);
    ASSERT_TRUE(trimmed.empty() ||
                (trimmed.data() >= text.data() && trimmed.end() <= text.data() + text.size()));
  }
}

// ---- Splitting off an atom ----

struct SplitCase {
  std::string text;
  std::string atom;
};

class TakeUntilTransition : public testing::TestWithParam<SplitCase> {};

TEST_P(TakeUntilTransition, StopsAtFirstTopLevelArrow) {
  EXPECT_EQ(take_until_transition(GetParam().text), GetParam().atom);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TakeUntilTransition,
    testing::Values(SplitCase{"a -> b", "a"}, SplitCase{"a -[<=5]-> b", "a"},
                    SplitCase{"a\xE2\x80\x83\n-> b", "a"}, SplitCase{"a  ", "a"},
                    SplitCase{"a - b", "a - b"}, SplitCase{"a[x -> y] -> b", "a[x -> y]"},
                    SplitCase{"a[x == \"]\"] -> b",
                              "a[x == \"]\"] -> b"},  // quotes do not hide brackets
                    SplitCase{"a] -> b", "a] -> b"},  // negative depth
                    SplitCase{"a] [ -> b", "a] ["}, SplitCase{"-> b", ""}, SplitCase{"a->", "a"},
                    SplitCase{"a-", "a-"}, SplitCase{"", ""},
                    SplitCase{"a[[x]] -[no b]-> c", "a[[x]]"}));

// ---- Patterns that parse ----

struct ParseCase {
  std::string text;
  Pattern expected;
};

class ParsesTo : public testing::TestWithParam<ParseCase> {};

TEST_P(ParsesTo, ExpectedPattern) {
  const auto result = parse_pattern(GetParam().text);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result.value(), GetParam().expected);
  EXPECT_EQ(result.value().consumption, MatchConsumption::FirstSuccessorPerStart);
}

INSTANTIATE_TEST_SUITE_P(
    Language, ParsesTo,
    testing::Values(
        ParseCase{"login", pattern(atom("login"))},
        ParseCase{"login[user as $u, attempts >= 3] -> purchase[user == $u, amount > 100.0]",
                  pattern(atom("login", {pred("attempts", Op::Gte, std::int64_t{3})}, {},
                               {cap("u", "user")}),
                          {{transition(), atom("purchase", {pred("amount", Op::Gt, 100.0)},
                                               {ref("user", Op::Eq, "u")})}})},
        ParseCase{"login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]",
                  pattern(atom("login", {}, {}, {cap("u", "user")}),
                          {{transition(300, {atom("logout", {}, {ref("user", Op::Eq, "u")})}),
                            atom("purchase", {}, {ref("user", Op::Eq, "u")})}})},
        ParseCase{"a -[]-> b", pattern(atom("a"), {{transition(), atom("b")}})},
        ParseCase{"a -> b", pattern(atom("a"), {{transition(), atom("b")}})},
        ParseCase{"a -[<=5, <=10]-> b", pattern(atom("a"), {{transition(10), atom("b")}})},
        ParseCase{"a -[<=-5]-> b", pattern(atom("a"), {{transition(-5), atom("b")}})},
        ParseCase{"a -[ , <=5 , ]-> b", pattern(atom("a"), {{transition(5), atom("b")}})},
        ParseCase{"a -[<= +0007]-> b", pattern(atom("a"), {{transition(7), atom("b")}})},
        ParseCase{"a -[<=9223372036854775807, <=-9223372036854775808]-> b",
                  pattern(atom("a"),
                          {{transition(std::numeric_limits<std::int64_t>::min()), atom("b")}})},
        ParseCase{
            "a -[no b, no c[x == 1], <=2]-> d",
            pattern(atom("a"),
                    {{transition(2, {atom("b"), atom("c", {pred("x", Op::Eq, std::int64_t{1})})}),
                      atom("d")}})},
        ParseCase{"temp[celsius > -5.5, unit == \"C\", ok == true, note == null, n == +7]",
                  pattern(atom("temp", {pred("celsius", Op::Gt, -5.5),
                                        pred("unit", Op::Eq, std::string("C")),
                                        pred("ok", Op::Eq, true), pred("note", Op::Eq, Null{}),
                                        pred("n", Op::Eq, std::int64_t{7})}))},
        ParseCase{"a[x == 5.]", one_predicate(5.0)}, ParseCase{"a[x == .5]", one_predicate(0.5)},
        ParseCase{"a[x == \"\"]", one_predicate(std::string())},
        ParseCase{"a[x == \"a\"b\"]", one_predicate(std::string("a\"b"))},
        ParseCase{"a[x == \" \"]", one_predicate(std::string(" "))},
        ParseCase{"a[x == false]", one_predicate(false)},
        ParseCase{"a[x == 1.0e400]", one_predicate(kInfinity)},
        ParseCase{"a[x as $ y]", pattern(atom("a", {}, {}, {cap(" y", "x")}))},
        ParseCase{"a[x == $ y]", pattern(atom("a", {}, {ref("x", Op::Eq, "y")}))},
        ParseCase{"a[x == $]", pattern(atom("a", {}, {ref("x", Op::Eq, "")}))},
        ParseCase{"a[x as $$u]", pattern(atom("a", {}, {}, {cap("$u", "x")}))},
        ParseCase{"a[msg == \"this as $x\"]",  // ` as ` anywhere makes a capture
                  pattern(atom("a", {}, {}, {cap("x\"", "msg == \"this")}))},
        ParseCase{"a[m != \"x==\"1\"]",  // `==` is searched before `!=`
                  pattern(atom("a", {pred("m != \"x", Op::Eq, std::string("1"))}))},
        ParseCase{
            "a[x != 1, x >= 2, x <= 3, x > 4, x < 5, x == 6]",
            pattern(atom(
                "a", {pred("x", Op::NotEq, std::int64_t{1}), pred("x", Op::Gte, std::int64_t{2}),
                      pred("x", Op::Lte, std::int64_t{3}), pred("x", Op::Gt, std::int64_t{4}),
                      pred("x", Op::Lt, std::int64_t{5}), pred("x", Op::Eq, std::int64_t{6})}))},
        ParseCase{"a[x<$y,z>=$w]",
                  pattern(atom("a", {}, {ref("x", Op::Lt, "y"), ref("z", Op::Gte, "w")}))},
        ParseCase{"a[x==1,,y==2,]", pattern(atom("a", {pred("x", Op::Eq, std::int64_t{1}),
                                                       pred("y", Op::Eq, std::int64_t{2})}))},
        ParseCase{"login[]", pattern(atom("login"))},
        ParseCase{"login[  ,  ]", pattern(atom("login"))},
        ParseCase{"a - b", pattern(atom("a - b"))},
        ParseCase{"user login -> x", pattern(atom("user login"), {{transition(), atom("x")}})},
        ParseCase{"a] -> b", pattern(atom("a] -> b"))},
        ParseCase{"a[x -> 1] -> b", pattern(atom("a", {pred("x -", Op::Gt, std::int64_t{1})}),
                                            {{transition(), atom("b")}})},
        ParseCase{"a[[x == \"1]\"] -> b",
                  pattern(atom("a", {pred("[x", Op::Eq, std::string("1]"))}),
                          {{transition(), atom("b")}})},
        ParseCase{"\xE3\x80\x80 caf\xC3\xA9 \xE2\x80\xA8->\xC2\xA0th\xC3\xA9\xE2\x80\x83",
                  pattern(atom("caf\xC3\xA9"), {{transition(), atom("th\xC3\xA9")}})},
        ParseCase{"a\x1F -> \x85"
                  "b",
                  pattern(atom("a\x1F"), {{transition(), atom("\x85"
                                                              "b")}})},
        ParseCase{"login[user as $u]\n  -[<=300,\n    no logout[user == $u]]->\n"
                  "  purchase[user == $u]\n",
                  pattern(atom("login", {}, {}, {cap("u", "user")}),
                          {{transition(300, {atom("logout", {}, {ref("user", Op::Eq, "u")})}),
                            atom("purchase", {}, {ref("user", Op::Eq, "u")})}})},
        ParseCase{"a->b->c",
                  pattern(atom("a"), {{transition(), atom("b")}, {transition(), atom("c")}})}));

// ---- Numbers ----

struct NumberCase {
  std::string literal;
  Value expected;
};

class ReadsNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ReadsNumber, ExactValue) {
  const auto result = parse_pattern("a[x == " + GetParam().literal + "]");
  ASSERT_TRUE(result.ok()) << result.error();
  const Value& value = result.value().steps[0].atom.predicates.at(0).value;
  ASSERT_EQ(value.index(), GetParam().expected.index());
  if (const auto* number = std::get_if<double>(&value)) {
    const double expected = std::get<double>(GetParam().expected);
    EXPECT_EQ(*number, expected);
    EXPECT_EQ(std::signbit(*number), std::signbit(expected));
  } else {
    EXPECT_EQ(value, GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Literals, ReadsNumber,
    testing::Values(
        NumberCase{"0", std::int64_t{0}}, NumberCase{"-0", std::int64_t{0}},
        NumberCase{"007", std::int64_t{7}},
        NumberCase{"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        NumberCase{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        NumberCase{"+9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        NumberCase{"0.1", 0.1}, NumberCase{"-.5", -0.5}, NumberCase{"+5.", 5.0},
        NumberCase{"-0.0", -0.0}, NumberCase{"1.5e3", 1500.0}, NumberCase{"1.5E+3", 1500.0},
        NumberCase{"15.e-1", 1.5}, NumberCase{"000.25", 0.25},
        NumberCase{"1.7976931348623157e308", std::numeric_limits<double>::max()},
        NumberCase{"1.7976931348623158e308", std::numeric_limits<double>::max()},  // rounds down
        NumberCase{"1.7976931348623159e308", kInfinity},                           // rounds up
        NumberCase{"-1.0e400", -kInfinity}, NumberCase{"1.0e99999999999999999999999999", kInfinity},
        NumberCase{"123456789" + std::string(400, '0') + ".0", kInfinity},
        NumberCase{"4.9e-324", std::numeric_limits<double>::denorm_min()},
        NumberCase{"2.2250738585072014e-308", std::numeric_limits<double>::min()},
        NumberCase{"1.0e-400", 0.0}, NumberCase{"-1.0e-400", -0.0},
        NumberCase{"2.4703282292062327e-324", 0.0},  // just below half the least subnormal
        NumberCase{"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min()},
        NumberCase{"0." + std::string(400, '0') + "1", 0.0},
        NumberCase{"0.0e99999999999999999999999999", 0.0},
        NumberCase{"-0.0e-99999999999999999999999999", -0.0}, NumberCase{"0.1e310", kInfinity},
        NumberCase{"10.0e-325", 0.0}, NumberCase{"0.30000000000000004", 0.30000000000000004},
        NumberCase{"9007199254740993.0", 9007199254740992.0}));  // ties to even

// ---- Failures ----

struct FailureCase {
  std::string text;
  std::string message;
};

class FailsWith : public testing::TestWithParam<FailureCase> {};

TEST_P(FailsWith, ExactMessage) {
  const auto result = parse_pattern(GetParam().text);
  ASSERT_FALSE(result.ok()) << show(result);
  EXPECT_EQ(result.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FailsWith,
    testing::Values(
        FailureCase{"", "pattern is empty"},
        FailureCase{" \n\t\xE3\x80\x80\xC2\x85 ", "pattern is empty"},
        FailureCase{"-> b", "atom is empty"}, FailureCase{"-[<=5]-> b", "atom is empty"},
        FailureCase{"a -[no ]-> b", "unsupported transition constraint `no`"},
        FailureCase{"[x == 1]", "atom event type is empty"},
        FailureCase{" \xE2\x80\x80[x == 1] -> b", "atom event type is empty"},
        FailureCase{"a -> [x == 1]", "atom event type is empty"},
        FailureCase{"a[x == 1] b", "unexpected text after atom predicate list"},
        FailureCase{"a]x[", "unexpected text after atom predicate list"},
        // A stray `]` leaves the depth negative, so the arrow does not split.
        FailureCase{"a[x == 1]]-> b", "unexpected text after atom predicate list"},
        FailureCase{"a[[x == 1]] -> b", "invalid literal `1]`"},
        FailureCase{"a[msg != \"x==y\"]", "invalid literal `y\"`"},
        FailureCase{"[x", "atom predicate list is missing closing `]`"},
        FailureCase{"a[x == 1", "atom predicate list is missing closing `]`"},
        FailureCase{"a -[no b[x == 1, y == 2]]-> c", "atom predicate list is missing closing `]`"},
        FailureCase{"a ->", "transition is missing a following atom"},
        FailureCase{"a -> -> b", "transition is missing a following atom"},
        FailureCase{"a -[<=5]-> \n", "transition is missing a following atom"},
        FailureCase{"a -> -[]-> b", "transition is missing a following atom"},
        FailureCase{"a -[<=5 -> b", "transition constraint is missing closing `]->`"},
        FailureCase{"a -[<=5]- > b", "transition constraint is missing closing `]->`"},
        FailureCase{"a -[no]-> b", "unsupported transition constraint `no`"},
        FailureCase{"a -[within 5]-> b", "unsupported transition constraint `within 5`"},
        FailureCase{"a -[x]-> b", "unsupported transition constraint `x`"},
        FailureCase{"a -[ < ]-> b", "unsupported transition constraint `<`"},
        FailureCase{"a -[No b]-> c", "unsupported transition constraint `No b`"},
        FailureCase{"a -[no\tb]-> c", "unsupported transition constraint `no\tb`"},
        FailureCase{"a -[<=]-> b", "invalid timestamp literal ``"},
        FailureCase{"a -[<= 1.5 ]-> b", "invalid timestamp literal `1.5`"},
        FailureCase{"a -[<=9223372036854775808]-> b",
                    "invalid timestamp literal `9223372036854775808`"},
        FailureCase{"a -[<=+-1]-> b", "invalid timestamp literal `+-1`"},
        FailureCase{"a -[<=5, within]-> b", "unsupported transition constraint `within`"},
        FailureCase{"a[x as u]", "capture binding must start with `$`"},
        FailureCase{"a[x as  ]", "unsupported atom predicate `x as`"},
        FailureCase{"a[x as $]", "capture binding name is empty"},
        FailureCase{"a[x as $ ]", "capture binding name is empty"},
        FailureCase{"a[x = 1]", "unsupported atom predicate `x = 1`"},
        FailureCase{"a[x]", "unsupported atom predicate `x`"},
        FailureCase{"a[== 1]", "comparison must have an attribute and value"},
        FailureCase{"a[x ==  ]", "comparison must have an attribute and value"},
        FailureCase{"a[x == 1.2.3]", "invalid float literal `1.2.3`"},
        FailureCase{"a[x == \"a.b]", "invalid float literal `\"a.b`"},
        FailureCase{"a[x == .]", "invalid float literal `.`"},
        FailureCase{"a[x == -.e5]", "invalid float literal `-.e5`"},
        FailureCase{"a[x == 1.5e]", "invalid float literal `1.5e`"},
        FailureCase{"a[x == 1.5e+]", "invalid float literal `1.5e+`"},
        FailureCase{"a[x == +-1.5]", "invalid float literal `+-1.5`"},
        FailureCase{"a[x == inf.]", "invalid float literal `inf.`"},
        FailureCase{"a[x == 0x1.8p3]", "invalid float literal `0x1.8p3`"},
        FailureCase{"a[x == 1.5 e3]", "invalid float literal `1.5 e3`"},
        FailureCase{"a[x == 1e5]", "invalid literal `1e5`"},
        FailureCase{"a[x == True]", "invalid literal `True`"},
        FailureCase{"a[x == 9223372036854775808]", "invalid literal `9223372036854775808`"},
        FailureCase{"a[x == -9223372036854775809]", "invalid literal `-9223372036854775809`"},
        FailureCase{"a[x == abc]", "invalid literal `abc`"},
        FailureCase{"a[x == -]", "invalid literal `-`"},
        FailureCase{"a[x == \"]", "invalid literal `\"`"},
        FailureCase{"a[x == inf]", "invalid literal `inf`"},
        FailureCase{"a[x == 1 2]", "invalid literal `1 2`"},
        FailureCase{"a[msg == \"x,y\"]", "invalid literal `\"x`"},
        // The first failure wins, in reading order.
        FailureCase{"a[x == bad] -> [y]", "invalid literal `bad`"},
        FailureCase{"a -> b[x] -[<=q]-> c", "unsupported atom predicate `x`"},
        FailureCase{"a -[<=q, no [x]]-> c", "invalid timestamp literal `q`"}));

TEST(ParseAtom, ParsesOneAtomAndReportsItsErrors) {
  const auto parsed = parse_atom("  logout[user == $u, n < 2] ");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value(),
            atom("logout", {pred("n", Op::Lt, std::int64_t{2})}, {ref("user", Op::Eq, "u")}));
  EXPECT_EQ(parse_atom("a -> b").value(), atom("a -> b"));  // arrows are not split here
  EXPECT_EQ(parse_atom(" \n ").error(), "atom is empty");
  EXPECT_EQ(parse_atom("a[x").error(), "atom predicate list is missing closing `]`");
}

// ---- Random round trips ----

// Writes patterns as text with randomly chosen, equivalent spellings: extra
// white space of every kind, empty pieces, decoy windows, empty clause lists.
class PatternWriter {
 public:
  explicit PatternWriter(std::uint32_t seed) : random_(seed) {}

  Pattern random_pattern() {
    Pattern result;
    const int steps = 1 + pick(4);
    for (int i = 0; i < steps; ++i) {
      Step step{random_atom(3), std::nullopt};
      if (i > 0) {
        Transition arrow;
        if (pick(2)) arrow.max_elapsed = random_int();
        for (int n = pick(3); n > 0; --n) arrow.absence.push_back(random_atom(1));
        step.transition_from_previous = std::move(arrow);
      }
      result.steps.push_back(std::move(step));
    }
    return result;
  }

  std::string write(const Pattern& pattern) {
    std::string text = space();
    for (const Step& step : pattern.steps) {
      if (step.transition_from_previous) text += write(*step.transition_from_previous) + space();
      text += write(step.atom) + space();
    }
    return text;
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

  std::string word() {
    static const std::vector<std::string> kWords = {
        "a", "login", "x_1", "caf\xC3\xA9", "\xE6\x97\xA5", "no", "as", "true", "Z9"};
    return kWords[pick(static_cast<int>(kWords.size()))];
  }

  std::int64_t random_int() {
    switch (pick(4)) {
      case 0: return std::numeric_limits<std::int64_t>::min() + pick(2);
      case 1: return std::numeric_limits<std::int64_t>::max() - pick(2);
      default: return static_cast<std::int64_t>(random_()) - (std::int64_t{1} << 31);
    }
  }

  Value random_value() {
    switch (pick(6)) {
      case 0: {
        // No commas (they cut clauses), operators or brackets inside strings.
        static const std::string kChars = "ab .\"$ -\xC3\xA9";
        // No `s`, so no ` as ` either.
        std::string text;
        for (int n = pick(6); n > 0; --n) text += kChars[pick(static_cast<int>(kChars.size()))];
        return text;
      }
      case 1: return random_int();
      case 2: {
        const double value = std::ldexp(static_cast<double>(random_()) - 2e9, pick(600) - 300);
        return value;
      }
      case 3: return pick(2) == 0;
      case 4: return Null{};
      default: return static_cast<double>(pick(100)) / 4;
    }
  }

  Atom random_atom(int max_clauses) {
    Atom result(pick(4) ? word() : word() + " " + word());
    for (int n = pick(max_clauses + 1); n > 0; --n) {
      const Op op = static_cast<Op>(pick(6));
      switch (pick(3)) {
        case 0: result.predicates.push_back(pred(word(), op, random_value())); break;
        case 1: result.reference_predicates.push_back(ref(word(), op, word())); break;
        default: result.captures.push_back(cap((pick(4) ? "" : " ") + word(), word())); break;
      }
    }
    return result;
  }

  std::string space() {
    std::string text;
    for (int n = pick(3); n > 0; --n)
      text += kWhiteSpace[pick(static_cast<int>(kWhiteSpace.size()))];
    return text;
  }

  std::string write_int(std::int64_t value) {
    std::string digits = std::to_string(value);
    if (value >= 0 && pick(3) == 0) digits = "+" + digits;
    return digits;
  }

  std::string write(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return "\"" + *text + "\"";
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return write_int(*integer);
    if (const auto* number = std::get_if<double>(&value)) {
      char buffer[64];
      const auto end =
          std::to_chars(buffer, buffer + sizeof buffer, *number, std::chars_format::scientific, 17)
              .ptr;
      return std::string(buffer, end);
    }
    if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "true" : "false";
    return "null";
  }

  // Inside a constraint list every comma would end the absence atom, so
  // there it gets no separators at all (it has at most one clause).
  std::string write(const Atom& atom, bool commas = true) {
    // Clauses of the three kinds interleave freely; each kind keeps its order.
    std::vector<std::string> clauses;
    std::size_t p = 0, r = 0, c = 0;
    const auto op = [](Op o) { return std::string(operator_symbol(o)); };
    while (p + r + c <
           atom.predicates.size() + atom.reference_predicates.size() + atom.captures.size()) {
      const int kind = pick(3);
      if (kind == 0 && p < atom.predicates.size()) {
        const Predicate& x = atom.predicates[p++];
        clauses.push_back(x.attribute + space() + op(x.op) + space() + write(x.value));
      } else if (kind == 1 && r < atom.reference_predicates.size()) {
        const ReferencePredicate& x = atom.reference_predicates[r++];
        clauses.push_back(x.attribute + space() + op(x.op) + space() + "$" + space() + x.binding);
      } else if (kind == 2 && c < atom.captures.size()) {
        const Capture& x = atom.captures[c++];
        clauses.push_back(x.attribute + space() + " as " + space() + "$" + x.name);
      }
    }
    std::string text = atom.event_type;
    if (clauses.empty() && pick(2)) return text;
    text += space() + "[" + space();
    for (const std::string& clause : clauses)
      text += clause + space() + (commas ? "," : "") + space();
    if (commas && !clauses.empty() && pick(2)) text.resize(text.rfind(','));  // no trailing comma
    return text + space() + "]";
  }

  std::string write(const Transition& arrow) {
    std::vector<std::string> constraints;
    if (arrow.max_elapsed) {
      if (pick(3) == 0) constraints.push_back("<=" + space() + write_int(random_int()));
      constraints.push_back("<=" + space() + write_int(*arrow.max_elapsed));
    }
    for (const Atom& absent : arrow.absence)
      constraints.push_back("no " + space() + write(absent, false));
    if (constraints.empty() && pick(2)) return "->";
    std::string text = "-[" + space();
    for (const std::string& constraint : constraints) {
      text += (pick(4) ? "" : "," + space()) + constraint + space() + "," + space();
    }
    return text + "]->";
  }

  std::mt19937 random_;
};

TEST(ParsePatternProperty, WrittenPatternsParseBackUnchanged) {
  PatternWriter writer(7);
  for (int round = 0; round < 3000; ++round) {
    const Pattern expected = writer.random_pattern();
    const std::string text = writer.write(expected);
    const auto result = parse_pattern(text);
    ASSERT_TRUE(result.ok()) << testing::PrintToString(text) << "\n" << result.error();
    ASSERT_EQ(result.value(), expected) << testing::PrintToString(text);
  }
}

// ---- Random garbage ----

using kestrel::test_support::is_parser_message;

void expect_sound(const Atom& parsed) {
  EXPECT_FALSE(parsed.event_type.empty());
  EXPECT_EQ(parsed.event_type.find('['), std::string::npos);
  EXPECT_EQ(trim_white_space(parsed.event_type), parsed.event_type);
  for (const Capture& capture : parsed.captures) EXPECT_FALSE(capture.name.empty());
}

void expect_pattern_or_message(const std::string& text) {
  const auto result = parse_pattern(text);
  if (!result.ok()) {
    EXPECT_TRUE(is_parser_message(result.error(), text))
        << testing::PrintToString(text) << " gave " << result.error();
    return;
  }
  EXPECT_FALSE(find_structural_fault(result.value())) << testing::PrintToString(text);
  EXPECT_EQ(result.value().consumption, MatchConsumption::FirstSuccessorPerStart);
  for (const Step& step : result.value().steps) {
    expect_sound(step.atom);
    if (step.transition_from_previous) {
      for (const Atom& absent : step.transition_from_previous->absence) expect_sound(absent);
    }
  }
}

TEST(ParsePatternProperty, RandomBytesGiveAPatternOrAMessage) {
  std::mt19937 random(99);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 40, '\0');
    for (char& byte : text) byte = static_cast<char>(random());
    expect_pattern_or_message(text);
  }
}

TEST(ParsePatternProperty, RandomTokenSoupsGiveAPatternOrAMessage) {
  static const std::vector<std::string> kTokens = {"a",        "b c",
                                                   "[",        "]",
                                                   "->",       "-[",
                                                   "]->",      "-",
                                                   ">",        ",",
                                                   " ",        "\n",
                                                   "\xC2\xA0", "\xE2\x80",
                                                   "<=",       "no ",
                                                   "no",       " as ",
                                                   "$",        "$u",
                                                   "==",       "!=",
                                                   ">=",       "<",
                                                   "=",        "\"",
                                                   "\"s\"",    ".",
                                                   "1",        "-5",
                                                   "+",        "e",
                                                   "1.5e3",    "9223372036854775808",
                                                   "true",     "null",
                                                   "\xC2",     "\x80",
                                                   "x"};
  std::mt19937 random(5);
  for (int round = 0; round < 50000; ++round) {
    std::string text;
    for (int n = random() % 24; n > 0; --n) text += kTokens[random() % kTokens.size()];
    expect_pattern_or_message(text);
    const std::string_view head = take_until_transition(text);
    ASSERT_EQ(head.data(), text.data());
    ASSERT_TRUE(head.empty() || trim_white_space(head).end() == head.end());
  }
}

// ---- Large inputs ----

constexpr std::size_t kMegabyte = 1 << 20;

TEST(ParsePatternLarge, DeepBracketsNeitherRecurseNorSplit) {
  const std::string open(kMegabyte, '[');
  EXPECT_EQ(parse_pattern("a" + open + " -> b").error(),
            "atom predicate list is missing closing `]`");
  EXPECT_EQ(
      parse_pattern("a" + open + std::string(kMegabyte, ']')).error(),
      "unsupported atom predicate `" + open.substr(1) + std::string(kMegabyte - 1, ']') + "`");
  EXPECT_EQ(parse_pattern(std::string(kMegabyte, ']') + " -> b").value(),
            pattern(atom(std::string(kMegabyte, ']') + " -> b")));
}

TEST(ParsePatternLarge, LongChainsAndLists) {
  std::string chain = "a";
  while (chain.size() < kMegabyte) chain += " -> a";
  const auto steps = parse_pattern(chain);
  ASSERT_TRUE(steps.ok()) << steps.error();
  EXPECT_EQ(steps.value().steps.size(), (chain.size() - 1) / 5 + 1);

  std::string clauses = "a[";
  while (clauses.size() < kMegabyte) clauses += "x == 1,";
  const auto atom_with_clauses = parse_pattern(clauses + "]");
  ASSERT_TRUE(atom_with_clauses.ok()) << atom_with_clauses.error();
  EXPECT_EQ(atom_with_clauses.value().steps[0].atom.predicates.size(), (clauses.size() - 2) / 7);

  std::string constraints = "a -[";
  while (constraints.size() < kMegabyte) constraints += "no b, ,";
  const auto absences = parse_pattern(constraints + "]-> c");
  ASSERT_TRUE(absences.ok()) << absences.error();
  EXPECT_EQ(absences.value().steps[1].transition_from_previous->absence.size(),
            (constraints.size() - 4) / 7);

  std::string arrows = "a";
  while (arrows.size() < kMegabyte) arrows += " -[<=1";
  EXPECT_EQ(parse_pattern(arrows).error(), "transition constraint is missing closing `]->`");
}

TEST(ParsePatternLarge, LongLiteralsAndWhiteSpace) {
  const std::string digits(kMegabyte, '7');
  EXPECT_EQ(parse_pattern("a[x == " + digits + "]").error(), "invalid literal `" + digits + "`");
  EXPECT_EQ(
      std::get<double>(
          parse_pattern("a[x == " + digits + ".5]").value().steps[0].atom.predicates[0].value),
      kInfinity);
  EXPECT_EQ(std::get<double>(parse_pattern("a[x == 0." + std::string(kMegabyte, '0') + "1e10]")
                                 .value()
                                 .steps[0]
                                 .atom.predicates[0]
                                 .value),
            0.0);
  std::string wide;
  while (wide.size() < kMegabyte) wide += "\xE3\x80\x80\n";
  EXPECT_EQ(parse_pattern(wide).error(), "pattern is empty");
  EXPECT_EQ(parse_pattern(wide + "a" + wide + "->" + wide + "b" + wide).value(),
            pattern(atom("a"), {{transition(), atom("b")}}));
}

}  // namespace
}  // namespace kestrel
