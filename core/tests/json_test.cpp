// Writing and reading the JSON form of patterns.
#include "kestrel/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_messages.hpp"

namespace kestrel {
namespace {

using test_support::is_reader_message;
using test_support::is_syntax_message;

using std::string;
using std::string_view;
using Op = ComparisonOperator;

string read_error(string_view text) {
  const auto result = pattern_from_json(text);
  return result ? "accepted" : result.error();
}

Pattern one_step(Atom atom,
                 MatchConsumption consumption = MatchConsumption::FirstSuccessorPerStart) {
  return Pattern{{Step{std::move(atom), std::nullopt}}, consumption};
}

// The pattern of `login[user as $u] -[<=300, no logout[user == $u]]-> purchase[amount > 100.0]`.
Pattern example_pattern() {
  Atom login = Atom("login").with_capture(Capture{"u", "user"});
  Atom purchase = Atom("purchase").with_predicate(Predicate{"amount", Op::Gt, 100.0});
  Atom logout = Atom("logout").with_reference_predicate(ReferencePredicate{"user", Op::Eq, "u"});
  Transition window = Transition{300, {}}.with_absence(std::move(logout));
  return Pattern{
      {Step{std::move(login), std::nullopt}, Step{std::move(purchase), std::move(window)}},
      MatchConsumption::FirstSuccessorPerStart};
}

// Documents that hold the part under test alone on the second line, so that
// positions inside it read as "line 2 column C" with C counted from its start.
// With an empty separator they are the compact text of the same pattern.
string with_value(string_view value, string_view separator = "\n") {
  return string(
             R"({"steps":[{"atom":{"event_type":"a","predicates":[{"attribute":"x","operator":"Eq","value":)") +
         string(separator) + string(value) + string(separator) +
         R"(}],"reference_predicates":[],"captures":[]},"transition_from_previous":null}],"consumption":"FirstSuccessorPerStart"})";
}

string with_operator(string_view op, string_view separator = "\n") {
  return string(
             R"({"steps":[{"atom":{"event_type":"a","predicates":[{"attribute":"x","operator":)") +
         string(separator) + string(op) + string(separator) +
         R"(,"value":"Null"}],"reference_predicates":[],"captures":[]},"transition_from_previous":null}],"consumption":"FirstSuccessorPerStart"})";
}

string with_atom(string_view atom, string_view separator = "\n") {
  return string(R"({"steps":[{"atom":)") + string(separator) + string(atom) + string(separator) +
         R"(,"transition_from_previous":null}],"consumption":"FirstSuccessorPerStart"})";
}

string with_step(string_view step, string_view separator = "\n") {
  return string(R"({"steps":[)") + string(separator) + string(step) + string(separator) +
         R"(],"consumption":"FirstSuccessorPerStart"})";
}

// The second step's transition.
string with_transition(string_view transition, string_view separator = "\n") {
  return string(
             R"({"steps":[{"atom":{"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":null},{"atom":{"event_type":"b","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":)") +
         string(separator) + string(transition) + string(separator) +
         R"(}],"consumption":"FirstSuccessorPerStart"})";
}

string with_consumption(string_view consumption, string_view separator = "\n") {
  return string(
             R"({"steps":[{"atom":{"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":null}],"consumption":)") +
         string(separator) + string(consumption) + string(separator) + "}";
}

constexpr string_view kEmptyAtom =
    R"({"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]})";

// ---- Writing ----------------------------------------------------------------

TEST(JsonWrite, CompactExample) {
  EXPECT_EQ(
      pattern_to_json(example_pattern()),
      R"({"steps":[{"atom":{"event_type":"login","predicates":[],"reference_predicates":[],"captures":[{"name":"u","attribute":"user"}]},"transition_from_previous":null},{"atom":{"event_type":"purchase","predicates":[{"attribute":"amount","operator":"Gt","value":{"Float":100.0}}],"reference_predicates":[],"captures":[]},"transition_from_previous":{"max_elapsed":300,"absence":[{"event_type":"logout","predicates":[],"reference_predicates":[{"attribute":"user","operator":"Eq","binding":"u"}],"captures":[]}]}}],"consumption":"FirstSuccessorPerStart"})");
}

TEST(JsonWrite, PrettyLayout) {
  const Pattern pattern =
      one_step(Atom("login").with_predicate(Predicate{"n", Op::Eq, std::int64_t{3}}));
  const string expected = R"({
  "steps": [
    {
      "atom": {
        "event_type": "login",
        "predicates": [
          {
            "attribute": "n",
            "operator": "Eq",
            "value": {
              "Int": 3
            }
          }
        ],
        "reference_predicates": [],
        "captures": []
      },
      "transition_from_previous": null
    }
  ],
  "consumption": "FirstSuccessorPerStart"
})";
  const string pretty = pattern_to_json_pretty(pattern);
  EXPECT_EQ(pretty, expected);
  EXPECT_EQ(std::count(pretty.begin(), pretty.end(), '\n') + 1, 22);
}

TEST(JsonWrite, PrettyExampleDiffersOnlyInWhitespace) {
  const string pretty = pattern_to_json_pretty(example_pattern());
  string squeezed;
  bool in_string = false;
  for (std::size_t i = 0; i < pretty.size(); ++i) {
    const char ch = pretty[i];
    if (ch == '"' && (i == 0 || pretty[i - 1] != '\\')) in_string = !in_string;
    if (in_string || (ch != ' ' && ch != '\n')) squeezed += ch;
  }
  EXPECT_EQ(squeezed, pattern_to_json(example_pattern()));
  EXPECT_NE(pretty.find("\n      \"transition_from_previous\": {\n        \"max_elapsed\": 300,\n"),
            string::npos);
  EXPECT_NE(pretty.back(), '\n');
}

TEST(JsonWrite, OptionalFieldsAndValues) {
  const Pattern pattern{
      {Step{Atom("a").with_predicate(Predicate{"n", Op::NotEq, Null{}}), std::nullopt},
       Step{Atom("b").with_predicate(Predicate{"f", Op::Lte, true}), Transition{}}},
      MatchConsumption::ExhaustivePerStart};
  EXPECT_EQ(
      pattern_to_json(pattern),
      R"({"steps":[{"atom":{"event_type":"a","predicates":[{"attribute":"n","operator":"NotEq","value":"Null"}],"reference_predicates":[],"captures":[]},"transition_from_previous":null},{"atom":{"event_type":"b","predicates":[{"attribute":"f","operator":"Lte","value":{"Bool":true}}],"reference_predicates":[],"captures":[]},"transition_from_previous":{"max_elapsed":null,"absence":[]}}],"consumption":"ExhaustivePerStart"})");
}

TEST(JsonWrite, ListsKeepCallOrder) {
  Atom atom = Atom("a")
                  .with_predicate(Predicate{"p2", Op::Gte, std::int64_t{-7}})
                  .with_predicate(Predicate{"p1", Op::Lt, string("s")})
                  .with_reference_predicate(ReferencePredicate{"r2", Op::Eq, "b2"})
                  .with_reference_predicate(ReferencePredicate{"r1", Op::NotEq, "b1"})
                  .with_capture(Capture{"c2", "x"})
                  .with_capture(Capture{"c1", "y"});
  const string json = pattern_to_json(one_step(std::move(atom)));
  EXPECT_LT(json.find("p2"), json.find("p1"));
  EXPECT_LT(json.find("r2"), json.find("r1"));
  EXPECT_LT(json.find("c2"), json.find("c1"));
  EXPECT_NE(json.find(R"({"Int":-7})"), string::npos);
  EXPECT_NE(json.find(R"({"name":"c2","attribute":"x"})"), string::npos);
}

TEST(JsonWrite, IntegerExtremes) {
  for (std::int64_t limit : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1},
                             std::int64_t{0}, std::numeric_limits<std::int64_t>::max()}) {
    const Pattern pattern{{Step{Atom("a"), std::nullopt}, Step{Atom("b"), Transition{limit, {}}}},
                          MatchConsumption::FirstSuccessorPerStart};
    const string json = pattern_to_json(pattern);
    EXPECT_NE(json.find("\"max_elapsed\":" + std::to_string(limit) + ","), string::npos) << json;
    const auto back = pattern_from_json(json);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back.value(), pattern);
  }
}

// The text written for a Float, cut out of a whole pattern.
string float_text(double value) {
  const string json =
      pattern_to_json(one_step(Atom("a").with_predicate(Predicate{"x", Op::Eq, value})));
  const string_view open = R"("value":{"Float":)";
  const std::size_t begin = json.find(open) + open.size();
  return json.substr(begin, json.find('}', begin) - begin);
}

struct FloatCase {
  double value;
  string_view text;
};

class JsonFloat : public testing::TestWithParam<FloatCase> {};

TEST_P(JsonFloat, WritesShortestDigitsAndReadsBack) {
  const auto [value, text] = GetParam();
  EXPECT_EQ(float_text(value), text);
  if (!std::isfinite(value)) return;
  const auto back = pattern_from_json(with_value("{\"Float\":" + string(text) + "}"));
  ASSERT_TRUE(back) << back.error();
  const double read = std::get<double>(back.value().steps[0].atom.predicates[0].value);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(read), std::bit_cast<std::uint64_t>(value));
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonFloat,
    testing::Values(
        FloatCase{100.0, "100.0"}, FloatCase{0.1, "0.1"}, FloatCase{0.00001, "0.00001"},
        FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "1e+16"},
        FloatCase{1.5e16, "1.5e+16"}, FloatCase{1e-6, "1e-6"}, FloatCase{1.2345e-7, "1.2345e-7"},
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "null"},
        FloatCase{std::numeric_limits<double>::infinity(), "null"},
        FloatCase{-std::numeric_limits<double>::infinity(), "null"}, FloatCase{5e-324, "5e-324"},
        FloatCase{-5e-324, "-5e-324"}, FloatCase{1.7976931348623157e308, "1.7976931348623157e+308"},
        FloatCase{2.2250738585072014e-308, "2.2250738585072014e-308"}, FloatCase{1.0, "1.0"},
        FloatCase{-2.5, "-2.5"}, FloatCase{123456.789, "123456.789"}, FloatCase{1.5e-5, "0.000015"},
        FloatCase{0.000123, "0.000123"}, FloatCase{1.0 / 3, "0.3333333333333333"},
        FloatCase{9007199254740993.0, "9007199254740992.0"},
        FloatCase{9999999999999998.0, "9999999999999998.0"}, FloatCase{1.23e102, "1.23e+102"},
        FloatCase{-1e100, "-1e+100"}, FloatCase{1e21, "1e+21"},
        FloatCase{12345678.9e8, "1234567890000000.0"}));

struct EscapeCase {
  string text;
  string_view json;
};

class JsonEscape : public testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, WritesExactEscapesAndReadsBack) {
  const auto& [text, json] = GetParam();
  const Pattern pattern = one_step(Atom(text));
  const string written = pattern_to_json(pattern);
  EXPECT_EQ(written, with_atom(R"({"event_type":)" + string(json) +
                                   R"(,"predicates":[],"reference_predicates":[],"captures":[]})",
                               ""));
  const auto back = pattern_from_json(written);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back.value(), pattern);
}

INSTANTIATE_TEST_SUITE_P(Table, JsonEscape,
                         testing::Values(EscapeCase{"plain", R"("plain")"},
                                         EscapeCase{"\"", R"("\"")"}, EscapeCase{"\\", R"("\\")"},
                                         EscapeCase{"\b\t\n\f\r", R"("\b\t\n\f\r")"},
                                         EscapeCase{"\x01\x1f\x0b", R"("\u0001\u001f\u000b")"},
                                         EscapeCase{string("a\0b", 3), R"("a\u0000b")"},
                                         EscapeCase{"/\x7f", "\"/\x7f\""},
                                         EscapeCase{"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                                    "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""}));

// ---- Reading: accepted texts -------------------------------------------------

struct ReadCase {
  string name;
  string input;
  string compact;  // what the pattern read writes back
};

class JsonReadAccepts : public testing::TestWithParam<ReadCase> {};

TEST_P(JsonReadAccepts, ReadsAsExpected) {
  const auto& c = GetParam();
  const auto result = pattern_from_json(c.input);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(pattern_to_json(result.value()), c.compact);
}

const string kAtomCapture =
    R"({"event_type":"a","predicates":[],"reference_predicates":[],"captures":[{"name":"n","attribute":"at"}]})";

INSTANTIATE_TEST_SUITE_P(
    Table, JsonReadAccepts,
    testing::Values(
        ReadCase{"NullAsString", with_value(R"("Null")"), with_value(R"("Null")", "")},
        ReadCase{"NullAsObject", with_value(R"({"Null":null})"), with_value(R"("Null")", "")},
        ReadCase{"FloatFromInteger", with_value(R"({"Float":2})"),
                 with_value(R"({"Float":2.0})", "")},
        ReadCase{"FloatFromMinusZero", with_value(R"({"Float":-0})"),
                 with_value(R"({"Float":-0.0})", "")},
        ReadCase{"FloatFromHugeInteger", with_value(R"({"Float":18446744073709551616})"),
                 with_value(R"({"Float":1.8446744073709552e+19})", "")},
        ReadCase{"FloatUnderflowsToZero", with_value(R"({"Float":-1e-400})"),
                 with_value(R"({"Float":-0.0})", "")},
        ReadCase{"FloatExponentForms", with_value(R"({"Float":12.5E-1})"),
                 with_value(R"({"Float":1.25})", "")},
        ReadCase{"FloatManyDigits", with_value(R"({"Float":0.1000000000000000055511151231257827})"),
                 with_value(R"({"Float":0.1})", "")},
        ReadCase{"IntMinusZero", with_value(R"({"Int":-0})"), with_value(R"({"Int":0})", "")},
        ReadCase{"IntMin", with_value(R"({"Int":-9223372036854775808})"),
                 with_value(R"({"Int":-9223372036854775808})", "")},
        ReadCase{"BoolFalse", with_value(R"({"Bool":false})"), with_value(R"({"Bool":false})", "")},
        ReadCase{"StringEscapes", with_value(R"({"String":"\u00e9\ud83d\ude00\/\u0000"})"),
                 with_value("{\"String\":\"\xc3\xa9\xf0\x9f\x98\x80/\\u0000\"}", "")},
        ReadCase{"ValueWhitespace", with_value(" {\r\n\t\"Int\" : 4 } "),
                 with_value(R"({"Int":4})", "")},
        ReadCase{"OperatorAsObject", with_operator(R"({"Gte":null})"),
                 with_operator(R"("Gte")", "")},
        ReadCase{"ConsumptionAsObject", with_consumption(R"({ "ExhaustivePerStart" : null })"),
                 with_consumption(R"("ExhaustivePerStart")", "")},
        ReadCase{"AtomAsArray", with_atom(R"(["a",[],[],[["n","at"]]])"),
                 with_atom(kAtomCapture, "")},
        ReadCase{
            "KeysInAnyOrder",
            with_atom(
                R"({"captures":[{"attribute":"at","name":"n"}],"reference_predicates":[],"predicates":[],"event_type":"a"})"),
            with_atom(kAtomCapture, "")},
        ReadCase{
            "EscapedKeys",
            with_atom(
                R"({"event_\u0074ype":"a","predicates":[],"reference_predicates":[],"captures":[{"name":"n","attribute":"at"}]})"),
            with_atom(kAtomCapture, "")},
        ReadCase{
            "UnknownKeysSkipped",
            with_atom(
                R"({"comment":{"deep":[1,2.5e3,true,false,null,"x",{"y":[]}]},"event_type":"a","predicates":[],"reference_predicates":[],"captures":[{"name":"n","attribute":"at","extra":[]}],"Captures":1})"),
            with_atom(kAtomCapture, "")},
        ReadCase{
            "StepWithoutTransitionKey", with_step(R"({"atom":["a",[],[],[]]})"),
            with_step(
                R"({"atom":{"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":null})",
                "")},
        ReadCase{
            "StepAsArray", with_step(R"([["a",[],[],[]],null])"),
            with_step(
                R"({"atom":{"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":null})",
                "")},
        ReadCase{"TransitionWithoutWindowKey", with_transition(R"({"absence":[]})"),
                 with_transition(R"({"max_elapsed":null,"absence":[]})", "")},
        ReadCase{
            "TransitionAsArray",
            with_transition(R"([-5,[["x",[["k","Lt",{"Int":1}]],[["k","Eq","b"]],[]]]])"),
            with_transition(
                R"({"max_elapsed":-5,"absence":[{"event_type":"x","predicates":[{"attribute":"k","operator":"Lt","value":{"Int":1}}],"reference_predicates":[{"attribute":"k","operator":"Eq","binding":"b"}],"captures":[]}]})",
                "")},
        ReadCase{
            "PatternAsArray", R"([[[["a",[],[],[]],null]],"ExhaustivePerStart"])",
            R"({"steps":[{"atom":{"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":null}],"consumption":"ExhaustivePerStart"})"},
        ReadCase{
            "SurroundingWhitespace", " \t\r\n" + with_step(R"({"atom":["a",[],[],[]]})") + "\n\n ",
            with_step(
                R"({"atom":{"event_type":"a","predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":null})",
                "")}),
    [](const auto& info) { return info.param.name; });

// ---- Reading: refused texts ---------------------------------------------------

struct RefuseCase {
  string name;
  string input;
  string message;
};

class JsonReadRefuses : public testing::TestWithParam<RefuseCase> {};

TEST_P(JsonReadRefuses, WithExactMessage) {
  const auto& c = GetParam();
  EXPECT_EQ(read_error(c.input), c.message) << c.input;
}

// Positions point at the offending byte; shape errors at the last byte of the
// offending value; at the end of the text, the length of the last line.
INSTANTIATE_TEST_SUITE_P(
    Syntax, JsonReadRefuses,
    testing::Values(
        RefuseCase{"Empty", "", "EOF while parsing a value at line 1 column 0"},
        RefuseCase{"OnlyWhitespace", " \n  ", "EOF while parsing a value at line 2 column 2"},
        RefuseCase{"NotAValue", "x", "expected value at line 1 column 1"},
        RefuseCase{"PlusSign", "+1", "expected value at line 1 column 1"},
        RefuseCase{"LeadingPoint", ".5", "expected value at line 1 column 1"},
        RefuseCase{"OpenObject", "{", "EOF while parsing an object at line 1 column 1"},
        RefuseCase{"OpenArray", "[", "EOF while parsing a list at line 1 column 1"},
        RefuseCase{"EofAfterKey", R"({"steps")", "EOF while parsing an object at line 1 column 8"},
        RefuseCase{"MissingColon", R"({"steps" [])", "expected `:` at line 1 column 10"},
        RefuseCase{"ObjectWithoutComma", R"({"steps":[] "x":1})",
                   "expected `,` or `}` at line 1 column 13"},
        RefuseCase{"ArrayWithoutComma", R"([[] "x"])", "expected `,` or `]` at line 1 column 5"},
        RefuseCase{"ObjectTrailingComma", R"({"steps":[],})", "trailing comma at line 1 column 13"},
        RefuseCase{"ArrayTrailingComma", R"([[],])", "trailing comma at line 1 column 5"},
        RefuseCase{"RecordArrayTrailingComma", R"([[],"ExhaustivePerStart",])",
                   "trailing comma at line 1 column 26"},
        RefuseCase{"EofAfterComma", R"({"steps":[],)",
                   "EOF while parsing a value at line 1 column 12"},
        RefuseCase{"NumberKey", R"({1:2})", "key must be a string at line 1 column 2"},
        RefuseCase{"KeyAfterComma", R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
        RefuseCase{"ShortTrue", "tru", "EOF while parsing a value at line 1 column 3"},
        RefuseCase{"MisspeltTrue", "trye", "expected ident at line 1 column 3"},
        RefuseCase{"MisspeltNull", "[nulL]", "expected ident at line 1 column 5"},
        RefuseCase{"UnclosedString", R"("abc)", "EOF while parsing a string at line 1 column 4"},
        RefuseCase{"BadEscape", R"("\x")", "invalid escape at line 1 column 3"},
        RefuseCase{"EofAfterBackslash", R"("\)", "EOF while parsing a string at line 1 column 2"},
        RefuseCase{"BadHexDigit", R"("\u12G4")", "invalid escape at line 1 column 6"},
        RefuseCase{"ShortHexEscape", R"("\u12)", "EOF while parsing a string at line 1 column 5"},
        RefuseCase{"LoneTrailingSurrogate", R"("\uDC00")",
                   "lone leading surrogate in hex escape at line 1 column 7"},
        RefuseCase{"LeadingSurrogateAlone", R"("\uD800x")",
                   "unexpected end of hex escape at line 1 column 8"},
        RefuseCase{"LeadingSurrogateOtherEscape", R"("\uD800\n")",
                   "unexpected end of hex escape at line 1 column 9"},
        RefuseCase{"LeadingSurrogateThenBmp", R"("\uD800\u0041")",
                   "lone leading surrogate in hex escape at line 1 column 13"},
        RefuseCase{"LeadingSurrogateAtEnd", R"("\uD800)",
                   "EOF while parsing a string at line 1 column 7"},
        RefuseCase{
            "ControlCharacter", "\"a\x01\"",
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        RefuseCase{
            "NewlineInString", "\"a\nb\"",
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        RefuseCase{"InvalidUtf8Lead", "\"\xff\"", "invalid unicode code point at line 1 column 2"},
        RefuseCase{"LoneContinuation", "\"\x80\"", "invalid unicode code point at line 1 column 2"},
        RefuseCase{"TruncatedSequence", "\"\xc3\"",
                   "invalid unicode code point at line 1 column 3"},
        RefuseCase{"OverlongSequence", "\"\xe0\x80\x80\"",
                   "invalid unicode code point at line 1 column 3"},
        RefuseCase{"OverlongTwoBytes", "\"\xc0\xaf\"",
                   "invalid unicode code point at line 1 column 2"},
        RefuseCase{"EncodedSurrogate", "\"\xed\xa0\x80\"",
                   "invalid unicode code point at line 1 column 3"},
        RefuseCase{"BeyondUnicode", "\"\xf4\x90\x80\x80\"",
                   "invalid unicode code point at line 1 column 3"},
        RefuseCase{"BadThirdByte", "\"\xe2\x82\x41\"",
                   "invalid unicode code point at line 1 column 4"},
        RefuseCase{"SequenceCutByEnd", "\"\xe2\x82",
                   "EOF while parsing a string at line 1 column 3"},
        RefuseCase{"InvalidUtf8InSkippedKey", "{\"\xfe\":1}",
                   "invalid unicode code point at line 1 column 3"},
        RefuseCase{"LoneMinus", "-", "EOF while parsing a value at line 1 column 1"},
        RefuseCase{"MinusLetter", "-x", "invalid number at line 1 column 2"},
        RefuseCase{"LeadingZero", "01", "invalid number at line 1 column 2"},
        RefuseCase{"PointAtEnd", "1.", "EOF while parsing a value at line 1 column 2"},
        RefuseCase{"PointLetter", "[1.x]", "invalid number at line 1 column 4"},
        RefuseCase{"ExponentAtEnd", "1e", "EOF while parsing a value at line 1 column 2"},
        RefuseCase{"ExponentSignLetter", "1e+x", "invalid number at line 1 column 4"},
        RefuseCase{"NumberTooLarge", "[1e400]", "number out of range at line 1 column 6"},
        RefuseCase{"NegativeNumberTooLarge", "\n -1.5e308000",
                   "number out of range at line 2 column 12"},
        RefuseCase{"TooLargeWithZeroDigits", "[0.00001e320]",
                   "number out of range at line 1 column 12"},
        RefuseCase{"TrailingCharacters", with_step(R"({"atom":["a",[],[],[]]})") + " x",
                   "trailing characters at line 3 column 43"},
        RefuseCase{"SecondDocument", "[[],\"ExhaustivePerStart\"] []",
                   "trailing characters at line 1 column 27"},
        RefuseCase{"ColumnsCountBytes", "[\"\xc3\xa9\", x]", "expected value at line 1 column 8"},
        RefuseCase{"LineCountsNewlines", "\r\n[\n\n  [],\n  ]",
                   "trailing comma at line 5 column 3"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Shape, JsonReadRefuses,
    testing::Values(
        RefuseCase{"PatternFromEmptyArray", "[]",
                   "invalid length 0, expected struct Pattern with 2 elements at line 1 column 2"},
        RefuseCase{"PatternFromEmptyObject", "{}", "missing field `steps` at line 1 column 2"},
        RefuseCase{"MissingConsumption", R"({"steps":[]})",
                   "missing field `consumption` at line 1 column 12"},
        RefuseCase{"MissingStepsAfterConsumption", R"({"consumption":"ExhaustivePerStart"})",
                   "missing field `steps` at line 1 column 36"},
        RefuseCase{"PatternFromInteger", "5",
                   "invalid type: integer `5`, expected struct Pattern at line 1 column 1"},
        RefuseCase{"PatternFromNegative", " -12 ",
                   "invalid type: integer `-12`, expected struct Pattern at line 1 column 4"},
        RefuseCase{
            "PatternFromFloat", "1.50",
            "invalid type: floating point `1.5`, expected struct Pattern at line 1 column 4"},
        RefuseCase{"PatternFromBool", "true",
                   "invalid type: boolean `true`, expected struct Pattern at line 1 column 4"},
        RefuseCase{"PatternFromNull", "null",
                   "invalid type: null, expected struct Pattern at line 1 column 4"},
        RefuseCase{"PatternFromString", R"("a\"\n\u00e9")",
                   "invalid type: string \"a\\\"\\n\xc3\xa9\", expected struct Pattern at line 1 "
                   "column 13"},
        RefuseCase{"StepsFromObject", R"({"steps":{}})",
                   "invalid type: map, expected a sequence at line 1 column 10"},
        RefuseCase{"StepFromInteger", with_step("7"),
                   "invalid type: integer `7`, expected struct Step at line 2 column 1"},
        RefuseCase{"DuplicateSteps", R"({"steps":[],"steps":[]})",
                   "duplicate field `steps` at line 1 column 19"},
        RefuseCase{"DuplicateEscapedKey", R"({"steps":[],"st\u0065ps":[]})",
                   "duplicate field `steps` at line 1 column 24"},
        RefuseCase{"UnknownConsumption", with_consumption(R"("All")"),
                   "unknown variant `All`, expected `FirstSuccessorPerStart` or "
                   "`ExhaustivePerStart` at line 2 column 5"},
        RefuseCase{"ConsumptionFromInteger", with_consumption("1"),
                   "expected value at line 2 column 1"},
        RefuseCase{"ConsumptionFromArray", with_consumption(R"(["ExhaustivePerStart"])"),
                   "expected value at line 2 column 1"},
        RefuseCase{"AtomWithoutCaptures",
                   with_atom(R"({"event_type":"a","predicates":[],"reference_predicates":[]})"),
                   "missing field `captures` at line 2 column 60"},
        RefuseCase{"AtomMissingFieldsInOrder", with_atom(R"({"captures":[]})"),
                   "missing field `event_type` at line 2 column 15"},
        RefuseCase{"AtomShortArray", with_atom(R"(["a",[]])"),
                   "invalid length 2, expected struct Atom with 4 elements at line 2 column 8"},
        RefuseCase{"AtomLongArray", with_atom(R"(["a",[],[],[], 5])"),
                   "trailing characters at line 2 column 16"},
        RefuseCase{"EventTypeFromInteger", with_atom(R"({"event_type":5})"),
                   "invalid type: integer `5`, expected a string at line 2 column 15"},
        RefuseCase{"PredicatesFromString", with_atom(R"({"event_type":"a","predicates":"p"})"),
                   "invalid type: string \"p\", expected a sequence at line 2 column 34"},
        RefuseCase{"PredicateFromBool", with_atom(R"(["a",[false],[],[]])"),
                   "invalid type: boolean `false`, expected struct Predicate at line 2 column 11"},
        RefuseCase{"ReferencePredicateShort", with_atom(R"(["a",[],[["k","Eq"]],[]])"),
                   "invalid length 2, expected struct ReferencePredicate with 3 elements at line 2 "
                   "column 19"},
        RefuseCase{"CaptureOneElement", with_atom(R"(["a",[],[],[["n"]]])"),
                   "invalid length 1, expected struct Capture with 2 elements at line 2 column 17"},
        RefuseCase{"CaptureThreeElements", with_atom(R"(["a",[],[],[["n","x","y"]]])"),
                   "trailing characters at line 2 column 22"},
        RefuseCase{"CaptureDuplicateName", with_atom(R"(["a",[],[],[{"name":"n","name":"m"}]])"),
                   "duplicate field `name` at line 2 column 30"},
        RefuseCase{"UnknownOperator", with_operator(R"("Equals")"),
                   "unknown variant `Equals`, expected one of `Eq`, `NotEq`, `Gt`, `Gte`, `Lt`, "
                   "`Lte` at line 2 column 8"},
        RefuseCase{"UnknownOperatorObject", with_operator(R"({"Equals":null})"),
                   "unknown variant `Equals`, expected one of `Eq`, `NotEq`, `Gt`, `Gte`, `Lt`, "
                   "`Lte` at line 2 column 9"},
        RefuseCase{"OperatorObjectPayload", with_operator(R"({"Eq":1})"),
                   "invalid type: integer `1`, expected unit at line 2 column 7"},
        RefuseCase{"OperatorObjectTwoKeys", with_operator(R"({"Eq":null,"Gt":null})"),
                   "expected value at line 2 column 11"},
        RefuseCase{"OperatorEmptyObject", with_operator("{}"), "expected value at line 2 column 2"},
        RefuseCase{"OperatorFromNull", with_operator("null"), "expected value at line 2 column 1"},
        RefuseCase{"ValueFromInteger", with_value("5"), "expected value at line 2 column 1"},
        RefuseCase{"ValueFromNull", with_value("null"), "expected value at line 2 column 1"},
        RefuseCase{"ValueFromArray", with_value(R"([{"Int":5}])"),
                   "expected value at line 2 column 1"},
        RefuseCase{"ValueBareInt", with_value(R"("Int")"),
                   "invalid type: unit variant, expected newtype variant at line 2 column 5"},
        RefuseCase{"ValueUnknownName", with_value(R"("Integer")"),
                   "unknown variant `Integer`, expected one of `String`, `Int`, `Float`, `Bool`, "
                   "`Null` at line 2 column 9"},
        RefuseCase{"ValueUnknownKey", with_value(R"({"int":5})"),
                   "unknown variant `int`, expected one of `String`, `Int`, `Float`, `Bool`, "
                   "`Null` at line 2 column 6"},
        RefuseCase{"ValueSecondKey", with_value(R"({"Int":5,"Float":1.0})"),
                   "expected value at line 2 column 9"},
        RefuseCase{"ValueEmptyObject", with_value("{}"), "expected value at line 2 column 2"},
        RefuseCase{"IntFromFloat", with_value(R"({"Int":1.5})"),
                   "invalid type: floating point `1.5`, expected i64 at line 2 column 10"},
        RefuseCase{"IntFromExponent", with_value(R"({"Int":1e2})"),
                   "invalid type: floating point `100.0`, expected i64 at line 2 column 10"},
        RefuseCase{"IntFromString", with_value(R"({"Int":"5"})"),
                   "invalid type: string \"5\", expected i64 at line 2 column 10"},
        RefuseCase{"IntFromArray", with_value(R"({"Int":[5]})"),
                   "invalid type: sequence, expected i64 at line 2 column 8"},
        RefuseCase{
            "IntAboveRange", with_value(R"({"Int":9223372036854775808})"),
            "invalid value: integer `9223372036854775808`, expected i64 at line 2 column 26"},
        RefuseCase{
            "IntAtUnsignedMax", with_value(R"({"Int":18446744073709551615})"),
            "invalid value: integer `18446744073709551615`, expected i64 at line 2 column 27"},
        RefuseCase{"IntBeyondUnsigned", with_value(R"({"Int":18446744073709551616})"),
                   "invalid type: floating point `1.8446744073709552e+19`, expected i64 at line 2 "
                   "column 27"},
        RefuseCase{"IntBelowRange", with_value(R"({"Int":-9223372036854775809})"),
                   "invalid type: floating point `-9.223372036854776e+18`, expected i64 at line 2 "
                   "column 27"},
        RefuseCase{"FloatFromNull", with_value(R"({"Float":null})"),
                   "invalid type: null, expected f64 at line 2 column 13"},
        RefuseCase{"FloatFromString", with_value(R"({"Float":"NaN"})"),
                   "invalid type: string \"NaN\", expected f64 at line 2 column 14"},
        RefuseCase{"BoolFromInteger", with_value(R"({"Bool":1})"),
                   "invalid type: integer `1`, expected a boolean at line 2 column 9"},
        RefuseCase{"StringFromMap", with_value(R"({"String":{}})"),
                   "invalid type: map, expected a string at line 2 column 11"},
        RefuseCase{"NullWithPayload", with_value(R"({"Null":0})"),
                   "invalid type: integer `0`, expected unit at line 2 column 9"},
        RefuseCase{"WindowFromFloat", with_transition(R"({"max_elapsed":3.0,"absence":[]})"),
                   "invalid type: floating point `3.0`, expected i64 at line 2 column 18"},
        RefuseCase{"WindowFromString", with_transition(R"({"max_elapsed":"300","absence":[]})"),
                   "invalid type: string \"300\", expected i64 at line 2 column 20"},
        RefuseCase{
            "WindowAboveRange",
            with_transition(R"({"max_elapsed":9223372036854775808,"absence":[]})"),
            "invalid value: integer `9223372036854775808`, expected i64 at line 2 column 34"},
        RefuseCase{"TransitionFromString", with_transition(R"("plain")"),
                   "invalid type: string \"plain\", expected struct Transition at line 2 column 7"},
        RefuseCase{"TransitionMissingAbsence", with_transition(R"({"max_elapsed":1})"),
                   "missing field `absence` at line 2 column 17"},
        RefuseCase{
            "TransitionShortArray", with_transition("[null]"),
            "invalid length 1, expected struct Transition with 2 elements at line 2 column 6"},
        RefuseCase{"StepArrayNeedsOptional", with_step(R"([["a",[],[],[]]])"),
                   "invalid length 1, expected struct Step with 2 elements at line 2 column 16"},
        RefuseCase{"StepMissingAtom", with_step(R"({"transition_from_previous":null})"),
                   "missing field `atom` at line 2 column 33"}),
    [](const auto& info) { return info.param.name; });

// A shape error stands only when the rest of the text is JSON.
INSTANTIATE_TEST_SUITE_P(
    Priority, JsonReadRefuses,
    testing::Values(
        RefuseCase{"TypeThenTrailingComma", R"({"steps":5,})",
                   "trailing comma at line 1 column 12"},
        RefuseCase{"TypeThenGarbage", R"(["",] x)", "trailing comma at line 1 column 5"},
        RefuseCase{"TypeThenTrailingCharacters", R"({"steps":5} x)",
                   "trailing characters at line 1 column 13"},
        RefuseCase{"TypeThenEof", R"({"steps":"x")",
                   "EOF while parsing an object at line 1 column 12"},
        RefuseCase{"UnacceptedArrayIsScanned", R"({"steps":{"a":[1,2,]}})",
                   "trailing comma at line 1 column 20"},
        RefuseCase{"DuplicateThenMissingColon", R"({"steps":[],"steps" 1})",
                   "expected `:` at line 1 column 21"},
        RefuseCase{"UnknownVariantThenBadKey", with_consumption(R"({"All":null,3:4})"),
                   "key must be a string at line 2 column 13"},
        RefuseCase{"SecondKeyThenGarbage", with_value(R"({"Int":5 6})"),
                   "expected `,` or `}` at line 2 column 10"},
        RefuseCase{"ValueFromNonValue", with_value("*"), "expected value at line 2 column 1"},
        RefuseCase{"MissingFieldThenTrailing", "{}}", "trailing characters at line 1 column 3"},
        RefuseCase{"TypeThenBadEscape", R"([[5], "\q"])", "invalid escape at line 1 column 9"},
        RefuseCase{"InvalidLengthThenMoreText", R"([[]] "\q")",
                   "trailing characters at line 1 column 6"},
        RefuseCase{"ExtraElementIsScanned", R"([[],"ExhaustivePerStart",[1 2]])",
                   "expected `,` or `]` at line 1 column 29"},
        RefuseCase{"ShapeThenDeepNesting",
                   "{\"steps\":5,\"x\":" + string(200, '[') + string(200, ']') + "}",
                   "recursion limit exceeded at line 1 column 143"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Structure, JsonReadRefuses,
    testing::Values(
        RefuseCase{"NoSteps", R"({"steps":[],"consumption":"FirstSuccessorPerStart"})",
                   "pattern must contain at least one step"},
        RefuseCase{"FirstStepWithTransition",
                   with_step(R"({"atom":["a",[],[],[]],"transition_from_previous":[null,[]]})"),
                   "the first pattern step cannot have a transition"},
        RefuseCase{"LaterStepWithoutTransition",
                   with_step(R"({"atom":["a",[],[],[]]},{"atom":["b",[],[],[]]})"),
                   "every step after the first must have a transition"},
        RefuseCase{
            "FirstRuleBrokenFirst",
            with_step(
                R"({"atom":["a",[],[],[]],"transition_from_previous":[null,[]]},{"atom":["b",[],[],[]]})"),
            "the first pattern step cannot have a transition"}),
    [](const auto& info) { return info.param.name; });

TEST(JsonRead, NonFiniteFloatDoesNotReadBack) {
  const Pattern pattern = one_step(
      Atom("a").with_predicate(Predicate{"x", Op::Eq, std::numeric_limits<double>::quiet_NaN()}));
  const string json = pattern_to_json(pattern);
  EXPECT_EQ(read_error(json), "invalid type: null, expected f64 at line 1 column " +
                                  std::to_string(json.find("null") + 4));
}

TEST(JsonRead, ExampleReadsBack) {
  const string json = pattern_to_json(example_pattern());
  const auto back = pattern_from_json(json);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back.value(), example_pattern());
  const auto pretty = pattern_from_json(pattern_to_json_pretty(example_pattern()));
  ASSERT_TRUE(pretty) << pretty.error();
  EXPECT_EQ(pretty.value(), example_pattern());
}

// ---- Nesting and size ---------------------------------------------------------

// An unknown key of the outermost object holding `depth` nested arrays.
string nested_in_unknown_key(std::size_t depth) {
  return R"({"x":)" + string(depth, '[') + string(depth, ']') +
         R"(,"steps":[],"consumption":"FirstSuccessorPerStart"})";
}

TEST(JsonNesting, AllowsExactly128Levels) {
  // The outer object is the first level.
  EXPECT_EQ(read_error(nested_in_unknown_key(127)), "pattern must contain at least one step");
  EXPECT_EQ(read_error(nested_in_unknown_key(128)),
            "recursion limit exceeded at line 1 column 133");
  // The shape error at the fifth bracket stands once the rest scans clean.
  EXPECT_EQ(read_error(string(128, '[') + string(128, ']')),
            "invalid type: sequence, expected a string at line 1 column 5");
  EXPECT_EQ(read_error(string(129, '[') + string(129, ']')),
            "recursion limit exceeded at line 1 column 129");
}

TEST(JsonNesting, CountsTypedContainers) {
  // Seven levels up to the Value object, then the Int payload as nested arrays.
  const auto value_at_depth = [](std::size_t arrays) {
    return with_value(R"({"Int":)" + string(arrays, '[') + string(arrays, ']') + "}");
  };
  EXPECT_EQ(read_error(value_at_depth(121)),
            "invalid type: sequence, expected i64 at line 2 column 8");
  EXPECT_EQ(read_error(value_at_depth(122)), "recursion limit exceeded at line 2 column 129");
}

TEST(JsonNesting, VeryDeepInputsFailWithoutOverflow) {
  const std::size_t depth = 1'000'000;
  EXPECT_EQ(read_error(string(depth, '[')), "recursion limit exceeded at line 1 column 129");
  string objects;
  for (std::size_t i = 0; i < depth / 8; ++i) objects += R"({"a":)";
  EXPECT_EQ(read_error(objects), "recursion limit exceeded at line 1 column 641");
  string mixed = R"({"steps":5,"x":)";
  for (std::size_t i = 0; i < depth / 8; ++i) mixed += R"([{"":)";
  EXPECT_EQ(read_error(mixed), "recursion limit exceeded at line 1 column 332");
}

TEST(JsonSize, LongInputsReadInOnePass) {
  Pattern pattern = one_step(Atom(string(1 << 20, 'e')));
  for (int i = 0; i < 50'000; ++i) {
    pattern.steps.push_back(Step{Atom("s").with_capture(Capture{"c", "a"}), Transition{i, {}}});
  }
  const string json = pattern_to_json(pattern);
  const auto back = pattern_from_json(json);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back.value(), pattern);
  const string skipped =
      R"({"big":")" + string(8 << 20, 'x') + R"(","steps":[],"consumption":"ExhaustivePerStart"})";
  EXPECT_EQ(read_error(skipped), "pattern must contain at least one step");
}

// ---- Randomised properties ----------------------------------------------------

class RandomPatterns {
 public:
  explicit RandomPatterns(std::uint32_t seed) : rng_(seed) {}

  Pattern pattern() {
    Pattern result;
    const int steps = uniform(1, 4);
    for (int i = 0; i < steps; ++i) {
      std::optional<Transition> transition;
      if (i > 0) transition = this->transition();
      result.steps.push_back(Step{atom(), std::move(transition)});
    }
    result.consumption =
        coin() ? MatchConsumption::FirstSuccessorPerStart : MatchConsumption::ExhaustivePerStart;
    return result;
  }

  std::mt19937& rng() { return rng_; }

  int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

 private:
  bool coin() { return uniform(0, 1) == 1; }

  Transition transition() {
    Transition result;
    if (coin()) result.max_elapsed = integer();
    for (int n = uniform(0, 2); n > 0; --n) result = std::move(result).with_absence(atom());
    return result;
  }

  Atom atom() {
    Atom result(text());
    for (int n = uniform(0, 3); n > 0; --n)
      result = std::move(result).with_predicate(Predicate{text(), op(), value()});
    for (int n = uniform(0, 2); n > 0; --n) {
      result = std::move(result).with_reference_predicate(ReferencePredicate{text(), op(), text()});
    }
    for (int n = uniform(0, 2); n > 0; --n)
      result = std::move(result).with_capture(Capture{text(), text()});
    return result;
  }

  Op op() { return static_cast<Op>(uniform(0, 5)); }

  std::int64_t integer() {
    switch (uniform(0, 3)) {
      case 0: return uniform(-10, 10);
      case 1: return std::numeric_limits<std::int64_t>::min() + uniform(0, 2);
      case 2: return std::numeric_limits<std::int64_t>::max() - uniform(0, 2);
      default:
        return static_cast<std::int64_t>(std::uniform_int_distribution<std::uint64_t>()(rng_));
    }
  }

  double real() {
    for (;;) {
      double candidate = 0;
      switch (uniform(0, 3)) {
        case 0:
          candidate = std::bit_cast<double>(std::uniform_int_distribution<std::uint64_t>()(rng_));
          break;
        case 1: candidate = uniform(-1000, 1000) / 8.0; break;
        case 2: candidate = std::pow(10.0, uniform(-8, 18)) * (coin() ? 1 : -1); break;
        default: candidate = coin() ? 0.0 : -0.0;
      }
      if (std::isfinite(candidate)) return candidate;
    }
  }

  Value value() {
    switch (uniform(0, 4)) {
      case 0: return text();
      case 1: return integer();
      case 2: return real();
      case 3: return coin();
      default: return Null{};
    }
  }

  // Valid UTF-8 with quotes, backslashes, control characters and every
  // encoding length.
  string text() {
    string result;
    for (int n = uniform(0, 6); n > 0; --n) {
      std::uint32_t code_point = 0;
      switch (uniform(0, 5)) {
        case 0: code_point = static_cast<std::uint32_t>(uniform(0, 0x1F)); break;
        case 1: code_point = "\"\\/ab"[uniform(0, 4)]; break;
        case 2: code_point = static_cast<std::uint32_t>(uniform(0x20, 0x7F)); break;
        case 3: code_point = static_cast<std::uint32_t>(uniform(0x80, 0x7FF)); break;
        case 4:
          code_point = static_cast<std::uint32_t>(uniform(0x800, 0xFFFF));
          if (code_point >= 0xD800 && code_point <= 0xDFFF) code_point = 0xFFFD;
          break;
        default: code_point = static_cast<std::uint32_t>(uniform(0x10000, 0x10FFFF));
      }
      append_utf8(result, code_point);
    }
    return result;
  }

  static void append_utf8(string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::mt19937 rng_;
};

TEST(JsonProperty, RandomPatternsRoundTripInBothLayouts) {
  RandomPatterns random(20240611);
  for (int i = 0; i < 400; ++i) {
    const Pattern pattern = random.pattern();
    const string compact = pattern_to_json(pattern);
    const string pretty = pattern_to_json_pretty(pattern);
    for (const string* text : {&compact, &pretty}) {
      const auto back = pattern_from_json(*text);
      ASSERT_TRUE(back) << back.error() << "\n" << *text;
      EXPECT_EQ(back.value(), pattern);
      EXPECT_EQ(pattern_to_json(back.value()), compact);
      EXPECT_EQ(pattern_to_json_pretty(back.value()), pretty);
    }
  }
}

// Either a pattern that writes back to text that reads back the same, or one
// of the reader's messages.
void expect_sound_result(const string& input) {
  const auto result = pattern_from_json(input);
  if (!result) {
    EXPECT_TRUE(is_reader_message(result.error())) << result.error();
    return;
  }
  const string compact = pattern_to_json(result.value());
  const auto again = pattern_from_json(compact);
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(pattern_to_json(again.value()), compact);
}

TEST(JsonProperty, RandomBytesGetAMessage) {
  std::mt19937 rng(7);
  constexpr string_view kAlphabet = "{}[]:,\" \\tfnrue0123456789.-+Eu\n\x01\x80\xc3\xff";
  for (int i = 0; i < 3000; ++i) {
    string input;
    const int length = std::uniform_int_distribution<int>(0, 64)(rng);
    const bool from_alphabet = i % 2 == 0;
    for (int j = 0; j < length; ++j) {
      input +=
          from_alphabet
              ? kAlphabet[std::uniform_int_distribution<std::size_t>(0, kAlphabet.size() - 1)(rng)]
              : static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    }
    expect_sound_result(input);
  }
}

TEST(JsonProperty, MutatedPatternsGetAPatternOrAMessage) {
  RandomPatterns random(99);
  constexpr string_view kInserts[] = {"{",  "}",    "[",    "]", ",",       ":",        "\"",
                                      "\\", "null", "1",    "-", "e",       "\"Null\"", "[]",
                                      "{}", "\\u",  "\xff", " ", "\"x\":1,"};
  int accepted = 0;
  for (int i = 0; i < 300; ++i) {
    const Pattern pattern = random.pattern();
    const string original = i % 3 == 0 ? pattern_to_json_pretty(pattern) : pattern_to_json(pattern);
    for (int m = 0; m < 20; ++m) {
      string input = original;
      for (int edits = random.uniform(1, 3); edits > 0 && !input.empty(); --edits) {
        const auto at =
            static_cast<std::size_t>(random.uniform(0, static_cast<int>(input.size()) - 1));
        switch (random.uniform(0, 4)) {
          case 0: input.erase(at, static_cast<std::size_t>(random.uniform(1, 8))); break;
          case 1: input.insert(at, kInserts[random.uniform(0, std::size(kInserts) - 1)]); break;
          case 2: input[at] = static_cast<char>(random.uniform(0, 255)); break;
          case 3:
            input.insert(at, input.substr(at, static_cast<std::size_t>(random.uniform(1, 40))));
            break;
          default: input.resize(at);
        }
      }
      const auto result = pattern_from_json(input);
      accepted += result.ok();
      expect_sound_result(input);
    }
  }
  EXPECT_GT(accepted, 0);
}

// ---- Conformance corpus -------------------------------------------------------

TEST(JsonConformance, ParsingSuite) {
  const std::filesystem::path folder = KESTREL_SOURCE_DIR "/../shared/jsontestsuite/test_parsing";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no conformance corpus at " << folder;
  struct Counts {
    int files = 0;
    int accepted = 0;
    int refused = 0;
  };
  std::array<Counts, 3> counts;  // y, n, i
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const string input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto result = pattern_from_json(input);
    const string message = result ? string() : result.error();
    const std::size_t kind = name[0] == 'y' ? 0 : name[0] == 'n' ? 1 : 2;
    ++counts[kind].files;
    ++(result ? counts[kind].accepted : counts[kind].refused);
    if (!result) {
      EXPECT_TRUE(is_reader_message(message)) << name << ": " << message;
    }
    if (kind == 0 && !result) {
      EXPECT_FALSE(is_syntax_message(message)) << name << ": " << message;
    }
    if (kind == 1) {
      EXPECT_TRUE(!result && is_syntax_message(message)) << name << ": " << message;
    }
  }
  EXPECT_GT(counts[0].files, 0);
  EXPECT_GT(counts[1].files, 0);
  constexpr const char* kNames[] = {"y", "n", "i"};
  for (std::size_t kind = 0; kind < counts.size(); ++kind) {
    std::cout << kNames[kind] << "_*: " << counts[kind].files << " files, " << counts[kind].accepted
              << " accepted, " << counts[kind].refused << " refused\n";
  }
}

}  // namespace
}  // namespace kestrel
