// Values, events, pattern records and atom evaluation.
#include "kestrel/model.hpp"
#include "describe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iomanip>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Counts heap allocations so that the no-allocation promises of the hot
// paths can be checked. Every unaligned form is replaced, so that each block
// is freed by the allocator that made it.
namespace {
std::size_t allocation_count = 0;

void* counted_allocation(std::size_t size) noexcept {
  ++allocation_count;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* block = counted_allocation(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
// The replacements pair malloc with free; gcc takes the replaced operator
// new for the real one and reports the pair as mismatched.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace kestrel {
namespace {

using Op = ComparisonOperator;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t k2p53 = std::int64_t{1} << 53;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
constexpr std::array kOperators = {Op::Eq, Op::NotEq, Op::Gt, Op::Gte, Op::Lt, Op::Lte};

Value S(std::string text) { return Value(std::move(text)); }
Value I(std::int64_t number) { return Value(number); }
Value F(double number) { return Value(number); }
Value B(bool flag) { return Value(flag); }
Value N() { return Value(Null{}); }

using Entries = std::initializer_list<std::pair<const char*, Value>>;

Bindings bindings(Entries entries) {
  Bindings out;
  for (const auto& [name, value] : entries) out.set(name, value);
  return out;
}

Event event(std::string typ, Entries attrs = {}) {
  Event out{"p", 0, std::move(typ), {}};
  for (const auto& [key, value] : attrs) out = std::move(out).with_attr(key, value);
  return out;
}

std::string show(const Value& value) {
  std::ostringstream out;
  switch (kind_of(value)) {
    case ValueKind::String: out << "String \"" << std::get<std::string>(value) << '"'; break;
    case ValueKind::Int: out << "Int " << std::get<std::int64_t>(value); break;
    case ValueKind::Float:
      out << "Float " << std::setprecision(17) << std::get<double>(value);
      break;
    case ValueKind::Bool: out << "Bool " << std::get<bool>(value); break;
    case ValueKind::Null: out << "Null"; break;
  }
  return out.str();
}

std::vector<std::string> keys_of(const ValueMap& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

bool bytes_less(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

// ---------------------------------------------------------------- values

struct ComparisonRow {
  Value left;
  Value right;
  const char* expected;  // one digit per operator: == != > >= < <=
};

TEST(Comparison, TableOfSixOperators) {
  const ComparisonRow rows[] = {
      {I(1), F(1.0), "100101"},
      {F(1.0), I(1), "100101"},
      {I(3), F(3.0), "100101"},
      {I(3), F(2.5), "011100"},
      {F(2.5), I(3), "010011"},
      {I(2), I(1), "011100"},
      {F(-1.5), F(-2.5), "011100"},
      {S("1"), I(1), "010000"},
      {I(1), S("1"), "010000"},
      {S("1.0"), F(1.0), "010000"},
      {B(true), I(1), "010000"},
      {B(false), F(0.0), "010000"},
      {S(""), N(), "010000"},
      {F(kNaN), F(kNaN), "010000"},
      {F(kNaN), F(1.0), "010000"},
      {F(0.0), F(kNaN), "010000"},
      {F(kNaN), I(1), "010000"},
      {I(1), F(kNaN), "010000"},
      {F(kNaN), S("NaN"), "010000"},
      {F(kNaN), N(), "010000"},
      {N(), N(), "100000"},
      {N(), I(0), "010000"},
      {I(0), N(), "010000"},
      {N(), F(0.0), "010000"},
      {S("b"), S("a"), "010000"},
      {S("a"), S("b"), "010000"},
      {S("a"), S("a"), "100000"},
      {S("A"), S("a"), "010000"},
      {S("\xc3\xa9"), S("e\xcc\x81"), "010000"},  // composed vs decomposed
      {S(std::string("a\0b", 3)), S("a"), "010000"},
      {S(std::string("a\0b", 3)), S(std::string("a\0b", 3)), "100000"},
      {B(true), B(false), "010000"},
      {B(false), B(true), "010000"},
      {B(true), B(true), "100000"},
      {F(0.0), F(-0.0), "100101"},
      {I(0), F(-0.0), "100101"},
      {F(-0.0), I(0), "100101"},
      {F(kInf), F(kInf), "100101"},
      {F(-kInf), F(kInf), "010011"},
      // Int against Float rounds the integer to the nearest double, ties to even.
      {I(k2p53 + 1), F(9007199254740992.0), "100101"},
      {F(9007199254740992.0), I(k2p53 + 1), "100101"},
      {I(k2p53 + 1), F(9007199254740994.0), "010011"},
      {I(k2p53 + 3), F(9007199254740996.0), "100101"},
      {I(k2p53 + 3), F(9007199254740994.0), "011100"},
      // Two Ints compare exactly, never through doubles.
      {I(k2p53 + 1), I(k2p53), "011100"},
      {I(k2p53), I(k2p53 + 1), "010011"},
      {I(kMax), I(kMax - 1), "011100"},
      {I(kMax - 1), I(kMax), "010011"},
      {I(kMax), I(kMax), "100101"},
      {I(kMin), I(kMin + 1), "010011"},
      {I(kMin + 1), I(kMin), "011100"},
      {I(kMin), I(kMax), "010011"},
      {I(kMax), I(kMin), "011100"},
      {I(kMax), F(9223372036854775808.0), "100101"},
      {I(kMin), F(-9223372036854775808.0), "100101"},
      {I(kMax), F(kInf), "010011"},
      {I(kMin), F(-kInf), "011100"},
  };
  for (const ComparisonRow& row : rows) {
    for (std::size_t k = 0; k < kOperators.size(); ++k) {
      SCOPED_TRACE(show(row.left) + " " + std::string(operator_symbol(kOperators[k])) + " " +
                   show(row.right));
      EXPECT_EQ(matches(kOperators[k], row.left, row.right), row.expected[k] == '1');
    }
    EXPECT_EQ(values_equal(row.left, row.right), row.expected[0] == '1')
        << show(row.left) << " vs " << show(row.right);
  }
}

// Samples chosen so that any coercion (0 == false, "" == Null, "1" == 1)
// would show up.
std::vector<Value> samples_of(ValueKind kind) {
  switch (kind) {
    case ValueKind::String: return {S(""), S("0"), S("1"), S("true"), S("null"), S("a")};
    case ValueKind::Int: return {I(0), I(1), I(-1), I(kMax), I(kMin)};
    case ValueKind::Float: return {F(0.0), F(-0.0), F(1.0), F(kNaN), F(kInf)};
    case ValueKind::Bool: return {B(false), B(true)};
    case ValueKind::Null: return {N()};
  }
  return {};
}

constexpr std::array kKinds = {ValueKind::String, ValueKind::Int, ValueKind::Float, ValueKind::Bool,
                               ValueKind::Null};

bool is_number(ValueKind kind) { return kind == ValueKind::Int || kind == ValueKind::Float; }

TEST(Comparison, DifferentKindsOtherThanTwoNumbersAreUnequalAndUnordered) {
  for (ValueKind left_kind : kKinds) {
    for (ValueKind right_kind : kKinds) {
      if (left_kind == right_kind || (is_number(left_kind) && is_number(right_kind))) continue;
      for (const Value& left : samples_of(left_kind)) {
        for (const Value& right : samples_of(right_kind)) {
          SCOPED_TRACE(show(left) + " vs " + show(right));
          EXPECT_FALSE(values_equal(left, right));
          EXPECT_FALSE(matches(Op::Eq, left, right));
          EXPECT_TRUE(matches(Op::NotEq, left, right));
          for (Op op : {Op::Gt, Op::Gte, Op::Lt, Op::Lte}) EXPECT_FALSE(matches(op, left, right));
        }
      }
    }
  }
}

TEST(Comparison, TextsBooleansAndNullHaveNoOrderAmongThemselves) {
  for (ValueKind kind : {ValueKind::String, ValueKind::Bool, ValueKind::Null}) {
    const std::vector<Value> samples = samples_of(kind);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      for (std::size_t j = 0; j < samples.size(); ++j) {
        SCOPED_TRACE(show(samples[i]) + " vs " + show(samples[j]));
        EXPECT_EQ(values_equal(samples[i], samples[j]), i == j);
        for (Op op : {Op::Gt, Op::Gte, Op::Lt, Op::Lte}) {
          EXPECT_FALSE(matches(op, samples[i], samples[j]));
        }
      }
    }
  }
}

TEST(Comparison, OperatorsAreConsistentWithEachOther) {
  std::vector<Value> pool = {F(-kInf),
                             F(-9223372036854775808.0),
                             F(-1.0),
                             F(-0.0),
                             F(0.0),
                             F(0.5),
                             F(1.0),
                             F(9007199254740992.0),
                             F(9007199254740994.0),
                             F(9223372036854775808.0),
                             F(kInf),
                             F(kNaN)};
  for (std::int64_t i : {kMin, kMin + 1, std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, k2p53,
                         k2p53 + 1, k2p53 + 2, kMax - 1, kMax}) {
    pool.push_back(I(i));
  }
  const std::size_t numbers = pool.size();
  for (ValueKind kind : {ValueKind::String, ValueKind::Bool, ValueKind::Null}) {
    for (Value& sample : samples_of(kind)) pool.push_back(std::move(sample));
  }
  auto is_nan = [](const Value& v) {
    return std::holds_alternative<double>(v) && std::isnan(std::get<double>(v));
  };
  for (std::size_t i = 0; i < pool.size(); ++i) {
    for (std::size_t j = 0; j < pool.size(); ++j) {
      const Value& a = pool[i];
      const Value& b = pool[j];
      SCOPED_TRACE(show(a) + " vs " + show(b));
      const bool eq = matches(Op::Eq, a, b);
      EXPECT_EQ(eq, values_equal(a, b));
      EXPECT_EQ(eq, values_equal(b, a));
      EXPECT_EQ(matches(Op::NotEq, a, b), !eq);
      EXPECT_EQ(matches(Op::Gt, a, b), matches(Op::Lt, b, a));
      EXPECT_EQ(matches(Op::Gte, a, b), matches(Op::Lte, b, a));
      if (i < numbers && j < numbers && !is_nan(a) && !is_nan(b)) {
        const int holding = int{matches(Op::Lt, a, b)} + int{eq} + int{matches(Op::Gt, a, b)};
        EXPECT_EQ(holding, 1);
        EXPECT_EQ(matches(Op::Gte, a, b), matches(Op::Gt, a, b) || eq);
        EXPECT_EQ(matches(Op::Lte, a, b), matches(Op::Lt, a, b) || eq);
      }
    }
  }
}

TEST(Values, KindsAndOperatorsKeepTheirOrder) {
  const std::pair<Value, ValueKind> kinds[] = {{S("x"), ValueKind::String},
                                               {I(1), ValueKind::Int},
                                               {F(1.0), ValueKind::Float},
                                               {B(true), ValueKind::Bool},
                                               {N(), ValueKind::Null}};
  for (std::size_t i = 0; i < std::size(kinds); ++i) {
    EXPECT_EQ(kind_of(kinds[i].first), kinds[i].second);
    EXPECT_EQ(static_cast<std::size_t>(kinds[i].second), i);
  }
  const char* symbols[] = {"==", "!=", ">", ">=", "<", "<="};
  for (std::size_t i = 0; i < kOperators.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(kOperators[i]), i);
    EXPECT_EQ(operator_symbol(kOperators[i]), symbols[i]);
  }
  EXPECT_EQ(static_cast<int>(MatchConsumption::FirstSuccessorPerStart), 0);
  EXPECT_EQ(static_cast<int>(MatchConsumption::ExhaustivePerStart), 1);
}

// ---------------------------------------------------------------- events

TEST(Event, WithAttrKeepsKeysUniqueInByteOrder) {
  Event e{"p", 0, "T", {}};
  for (const char* key : {"aa", "\xc3\xa9", "z", "a", "\x80", "\x7f", "B", ""}) {
    e = std::move(e).with_attr(key, S(key));
  }
  const std::vector<std::string> expected = {"", "B", "a", "aa", "z", "\x7f", "\x80", "\xc3\xa9"};
  EXPECT_EQ(keys_of(e.attrs), expected);
  for (const auto& [key, value] : e.attrs) EXPECT_EQ(value, S(key));
}

TEST(Event, WithAttrReplacesInPlace) {
  Event e = Event{"p", 7, "T", {}}
                .with_attr("b", I(1))
                .with_attr("a", I(2))
                .with_attr("c", I(3))
                .with_attr("b", S("later"))
                .with_attr("b", F(2.5));
  EXPECT_EQ(keys_of(e.attrs), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_NE(e.attrs.find("b"), nullptr);
  EXPECT_TRUE(identical(*e.attrs.find("b"), F(2.5)));
  EXPECT_EQ(*e.attrs.find("a"), I(2));
  EXPECT_EQ(e.partition, "p");
  EXPECT_EQ(e.ts, 7);
  EXPECT_EQ(e.typ, "T");
}

TEST(Event, FindMatchesWholeKeysOnly) {
  const Event e = event("T", {{"ab", I(1)}, {"b", I(2)}});
  EXPECT_EQ(e.attrs.find("a"), nullptr);
  EXPECT_EQ(e.attrs.find("abc"), nullptr);
  EXPECT_EQ(e.attrs.find("A"), nullptr);
  EXPECT_EQ(e.attrs.find(""), nullptr);
  ASSERT_NE(e.attrs.find("ab"), nullptr);
  EXPECT_EQ(*e.attrs.find("ab"), I(1));
  EXPECT_EQ(Bindings{}.find("a"), nullptr);
}

std::vector<std::size_t> reference_order(const std::vector<Event>& events) {
  std::vector<std::size_t> order(events.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const Event& x = events[a];
    const Event& y = events[b];
    if (x.partition != y.partition) return bytes_less(x.partition, y.partition);
    if (x.ts != y.ts) return x.ts < y.ts;
    return a < b;
  });
  return order;
}

TEST(CanonicalOrder, SortsPartitionsByBytesThenSignedTimestampsStably) {
  const std::vector<Event> events = {
      {"a", kMax, "0", {}}, {"aa", 0, "1", {}},       {"B", 5, "2", {}},  {"a", 0, "3", {}},
      {"a", kMin, "4", {}}, {"\xc3\xa9", 0, "5", {}}, {"a", 0, "6", {}},  {"", 3, "7", {}},
      {"a", -1, "8", {}},   {"z", 0, "9", {}},        {"a", 0, "10", {}}, {"B", 5, "11", {}},
  };
  const std::vector<std::size_t> expected = {7, 2, 11, 4, 8, 3, 6, 10, 0, 1, 9, 5};
  EXPECT_EQ(canonical_order(events), expected);
  EXPECT_TRUE(canonical_order(std::span<const Event>{}).empty());
  EXPECT_EQ(canonical_order(std::vector<Event>{{"p", 1, "T", {}}}), std::vector<std::size_t>{0});
}

TEST(CanonicalOrder, RandomListsMatchAReferenceSort) {
  std::mt19937_64 rng(7);
  const char* partitions[] = {"", "a", "aa", "B", "\x7f", "\x80", "\xc3\xa9"};
  const std::int64_t stamps[] = {kMin, kMin + 1, -1, 0, 1, 2, kMax - 1, kMax};
  for (int round = 0; round < 500; ++round) {
    std::vector<Event> events(rng() % 40);
    for (Event& e : events) {
      e.partition = partitions[rng() % std::size(partitions)];
      e.ts = stamps[rng() % std::size(stamps)];
    }
    ASSERT_EQ(canonical_order(events), reference_order(events)) << "round " << round;
  }
}

// ---------------------------------------------------------------- patterns

TEST(PatternRecords, NewRecordsAreEmpty) {
  const Atom atom("Login");
  EXPECT_EQ(atom.event_type, "Login");
  EXPECT_TRUE(atom.predicates.empty());
  EXPECT_TRUE(atom.reference_predicates.empty());
  EXPECT_TRUE(atom.captures.empty());
  const Transition transition;
  EXPECT_FALSE(transition.max_elapsed.has_value());
  EXPECT_TRUE(transition.absence.empty());
  EXPECT_EQ(Pattern{}.consumption, MatchConsumption::FirstSuccessorPerStart);
  const Capture capture{"u", "user"};
  EXPECT_EQ(capture.name, "u");
  EXPECT_EQ(capture.attribute, "user");
}

TEST(PatternRecords, BuilderStepsKeepCallOrderAndDuplicates) {
  const Atom atom = Atom("Login")
                        .with_capture({"z", "zone"})
                        .with_predicate({"b", Op::Gt, I(1)})
                        .with_reference_predicate({"user", Op::Eq, "u"})
                        .with_predicate({"a", Op::Eq, S("x")})
                        .with_capture({"a", "addr"})
                        .with_reference_predicate({"device", Op::NotEq, "d"})
                        .with_capture({"z", "zone"})
                        .with_predicate({"b", Op::Gt, I(1)});
  EXPECT_EQ(atom.predicates, (std::vector<Predicate>{
                                 {"b", Op::Gt, I(1)}, {"a", Op::Eq, S("x")}, {"b", Op::Gt, I(1)}}));
  EXPECT_EQ(atom.reference_predicates,
            (std::vector<ReferencePredicate>{{"user", Op::Eq, "u"}, {"device", Op::NotEq, "d"}}));
  EXPECT_EQ(atom.captures, (std::vector<Capture>{{"z", "zone"}, {"a", "addr"}, {"z", "zone"}}));

  const Transition transition = Transition{}.with_absence(Atom("X")).with_absence(Atom("A"));
  ASSERT_EQ(transition.absence.size(), 2u);
  EXPECT_EQ(transition.absence[0].event_type, "X");
  EXPECT_EQ(transition.absence[1].event_type, "A");
}

TEST(PatternRecords, StructuralFaultsAreFoundInRuleOrder) {
  const Step plain{Atom("A"), std::nullopt};
  const Step linked{Atom("B"), Transition{}};
  const std::pair<std::vector<Step>, std::optional<StructuralFault>> rows[] = {
      {{}, StructuralFault::NoSteps},
      {{plain}, std::nullopt},
      {{plain, linked}, std::nullopt},
      {{plain, linked, linked}, std::nullopt},
      {{linked}, StructuralFault::FirstStepHasTransition},
      {{linked, linked}, StructuralFault::FirstStepHasTransition},
      {{plain, plain}, StructuralFault::LaterStepLacksTransition},
      {{plain, linked, plain}, StructuralFault::LaterStepLacksTransition},
      {{plain, linked, linked, plain}, StructuralFault::LaterStepLacksTransition},
      // The first step is checked before the later ones.
      {{linked, plain}, StructuralFault::FirstStepHasTransition},
  };
  for (const auto& [steps, fault] : rows) {
    for (MatchConsumption consumption :
         {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
      EXPECT_EQ(find_structural_fault(Pattern{steps, consumption}), fault)
          << steps.size() << " steps";
    }
  }
}

// ---------------------------------------------------------------- evaluation

struct EvaluationRow {
  const char* name;
  Atom atom;
  Event event;
  Bindings bindings;
  std::optional<Bindings> expected;
};

TEST(Evaluation, Rules) {
  const EvaluationRow rows[] = {
      {"type only matches and returns the input bindings", Atom("Login"),
       event("Login", {{"x", I(1)}}), bindings({{"b", I(2)}, {"a", S("q")}}),
       bindings({{"a", S("q")}, {"b", I(2)}})},
      {"another type never matches", Atom("Login"), event("login"), {}, std::nullopt},
      {"type is whole and byte-wise", Atom("Log"), event("Login"), {}, std::nullopt},
      {"empty type matches only empty typ", Atom(""), event(""), {}, Bindings{}},
      {"empty type refuses other types", Atom(""), event("A"), {}, std::nullopt},
      {"other type fails even when the rest holds",
       Atom("A").with_predicate({"n", Op::Eq, I(1)}).with_capture({"c", "n"}),
       event("B", {{"n", I(1)}}),
       {},
       std::nullopt},
      {"predicate holds",
       Atom("A").with_predicate({"amount", Op::Gt, I(10)}),
       event("A", {{"amount", I(11)}}),
       {},
       Bindings{}},
      {"predicate fails",
       Atom("A").with_predicate({"amount", Op::Gt, I(10)}),
       event("A", {{"amount", I(10)}}),
       {},
       std::nullopt},
      {"missing attribute fails >",
       Atom("A").with_predicate({"amount", Op::Gt, I(10)}),
       event("A", {{"other", I(11)}}),
       {},
       std::nullopt},
      {"missing attribute fails !=",
       Atom("A").with_predicate({"amount", Op::NotEq, I(10)}),
       event("A"),
       {},
       std::nullopt},
      {"missing attribute fails == Null",
       Atom("A").with_predicate({"amount", Op::Eq, N()}),
       event("A"),
       {},
       std::nullopt},
      {"Null attribute passes != 10",
       Atom("A").with_predicate({"amount", Op::NotEq, I(10)}),
       event("A", {{"amount", N()}}),
       {},
       Bindings{}},
      {"every predicate must hold",
       Atom("A").with_predicate({"a", Op::Eq, I(1)}).with_predicate({"b", Op::Eq, I(2)}),
       event("A", {{"a", I(1)}, {"b", I(3)}}),
       {},
       std::nullopt},
      {"reference against empty bindings fails",
       Atom("A").with_reference_predicate({"user", Op::NotEq, "u"}),
       event("A", {{"user", S("x")}}),
       {},
       std::nullopt},
      {"reference to an unbound name fails",
       Atom("A").with_reference_predicate({"user", Op::NotEq, "u"}), event("A", {{"user", S("x")}}),
       bindings({{"v", S("y")}}), std::nullopt},
      {"reference holds", Atom("A").with_reference_predicate({"amount", Op::Gt, "limit"}),
       event("A", {{"amount", F(2.5)}}), bindings({{"limit", I(2)}}), bindings({{"limit", I(2)}})},
      {"reference fails", Atom("A").with_reference_predicate({"amount", Op::Gt, "limit"}),
       event("A", {{"amount", I(2)}}), bindings({{"limit", I(2)}}), std::nullopt},
      {"reference with missing attribute fails",
       Atom("A").with_reference_predicate({"user", Op::NotEq, "u"}), event("A"),
       bindings({{"u", S("x")}}), std::nullopt},
      {"reference against bound Null", Atom("A").with_reference_predicate({"user", Op::Eq, "u"}),
       event("A", {{"user", N()}}), bindings({{"u", N()}}), bindings({{"u", N()}})},
      {"capture and reference of one name on a first step",
       Atom("A").with_capture({"u", "user"}).with_reference_predicate({"user", Op::Eq, "u"}),
       event("A", {{"user", S("x")}}),
       {},
       std::nullopt},
      {"capture and reference of one name, earlier value equal",
       Atom("A").with_capture({"u", "user"}).with_reference_predicate({"user", Op::Eq, "u"}),
       event("A", {{"user", S("x")}}), bindings({{"u", S("x")}}), bindings({{"u", S("x")}})},
      {"capture and reference of one name, earlier value different",
       Atom("A").with_capture({"u", "user"}).with_reference_predicate({"user", Op::Eq, "u"}),
       event("A", {{"user", S("x")}}), bindings({{"u", S("y")}}), std::nullopt},
      {"own captures are not visible to own references",
       Atom("A").with_capture({"u", "user"}).with_reference_predicate({"other", Op::Eq, "u"}),
       event("A", {{"other", S("x")}, {"user", S("x")}}),
       {},
       std::nullopt},
      {"capture adds a binding", Atom("A").with_capture({"u", "user"}),
       event("A", {{"user", S("x")}}), bindings({{"a", I(1)}}),
       bindings({{"a", I(1)}, {"u", S("x")}})},
      {"missing attribute captures Null",
       Atom("A").with_capture({"u", "user"}),
       event("A"),
       {},
       bindings({{"u", N()}})},
      {"Null binding repeats on a missing attribute", Atom("A").with_capture({"u", "user"}),
       event("A"), bindings({{"u", N()}}), bindings({{"u", N()}})},
      {"Null binding repeats on a Null attribute", Atom("A").with_capture({"u", "user"}),
       event("A", {{"user", N()}}), bindings({{"u", N()}}), bindings({{"u", N()}})},
      {"Null binding refuses empty text", Atom("A").with_capture({"u", "user"}),
       event("A", {{"user", S("")}}), bindings({{"u", N()}}), std::nullopt},
      {"Null binding refuses Int 0", Atom("A").with_capture({"u", "user"}),
       event("A", {{"user", I(0)}}), bindings({{"u", N()}}), std::nullopt},
      {"Int binding refuses an equal Float", Atom("A").with_capture({"n", "v"}),
       event("A", {{"v", F(1.0)}}), bindings({{"n", I(1)}}), std::nullopt},
      {"Float binding refuses an equal Int", Atom("A").with_capture({"n", "v"}),
       event("A", {{"v", I(1)}}), bindings({{"n", F(1.0)}}), std::nullopt},
      {"Int binding repeats on the same Int", Atom("A").with_capture({"n", "v"}),
       event("A", {{"v", I(1)}}), bindings({{"n", I(1)}}), bindings({{"n", I(1)}})},
      {"Int binding refuses another Int", Atom("A").with_capture({"n", "v"}),
       event("A", {{"v", I(k2p53 + 1)}}), bindings({{"n", I(k2p53)}}), std::nullopt},
      {"text binding is byte-wise", Atom("A").with_capture({"n", "v"}),
       event("A", {{"v", S("ABC")}}), bindings({{"n", S("abc")}}), std::nullopt},
      {"Bool binding refuses Int 1", Atom("A").with_capture({"n", "v"}), event("A", {{"v", I(1)}}),
       bindings({{"n", B(true)}}), std::nullopt},
      {"NaN binding never repeats", Atom("A").with_capture({"n", "v"}),
       event("A", {{"v", F(kNaN)}}), bindings({{"n", F(kNaN)}}), std::nullopt},
      {"two captures of one name, equal values",
       Atom("A").with_capture({"x", "a"}).with_capture({"x", "b"}),
       event("A", {{"a", I(1)}, {"b", I(1)}}),
       {},
       bindings({{"x", I(1)}})},
      {"two captures of one name, different values",
       Atom("A").with_capture({"x", "a"}).with_capture({"x", "b"}),
       event("A", {{"a", I(1)}, {"b", I(2)}}),
       {},
       std::nullopt},
      {"two captures of one name, Int and Float",
       Atom("A").with_capture({"x", "a"}).with_capture({"x", "b"}),
       event("A", {{"a", I(1)}, {"b", F(1.0)}}),
       {},
       std::nullopt},
      {"two captures of one name, both missing",
       Atom("A").with_capture({"x", "a"}).with_capture({"x", "b"}),
       event("A"),
       {},
       bindings({{"x", N()}})},
      {"two captures of one name, missing and Null",
       Atom("A").with_capture({"x", "a"}).with_capture({"x", "b"}),
       event("A", {{"b", N()}}),
       {},
       bindings({{"x", N()}})},
      {"one NaN attribute captured twice under one name",
       Atom("A").with_capture({"x", "a"}).with_capture({"x", "a"}),
       event("A", {{"a", F(kNaN)}}),
       {},
       std::nullopt},
      {"a later capture conflicting with an earlier one of the atom",
       Atom("A").with_capture({"x", "a"}).with_capture({"y", "b"}).with_capture({"x", "b"}),
       event("A", {{"a", I(1)}, {"b", I(2)}}),
       {},
       std::nullopt},
      {"result in byte order of names",
       Atom("A")
           .with_capture({"z", "v"})
           .with_capture({"aa", "v"})
           .with_capture({"\xc3\xa9", "v"})
           .with_capture({"a", "v"})
           .with_capture({"B", "v"}),
       event("A", {{"v", I(5)}}), bindings({{"m", I(0)}}),
       bindings(
           {{"B", I(5)}, {"a", I(5)}, {"aa", I(5)}, {"m", I(0)}, {"z", I(5)}, {"\xc3\xa9", I(5)}})},
  };
  for (const EvaluationRow& row : rows) {
    SCOPED_TRACE(row.name);
    const std::optional<Bindings> result = row.atom.evaluate(row.event, row.bindings);
    EXPECT_EQ(result, row.expected);
    EXPECT_EQ(row.atom.accepts(row.event, row.bindings), row.expected.has_value());
  }
}

TEST(Evaluation, SignedZeroCapturesAreIdenticalAndKeepTheFirstValue) {
  const Atom atom = Atom("A").with_capture({"x", "a"}).with_capture({"x", "b"});
  const std::optional<Bindings> within =
      atom.evaluate(event("A", {{"a", F(-0.0)}, {"b", F(0.0)}}), {});
  ASSERT_TRUE(within);
  EXPECT_TRUE(identical(*within, bindings({{"x", F(-0.0)}})));

  const Atom single = Atom("A").with_capture({"x", "a"});
  const std::optional<Bindings> across =
      single.evaluate(event("A", {{"a", F(-0.0)}}), bindings({{"x", F(0.0)}}));
  ASSERT_TRUE(across);
  EXPECT_TRUE(identical(*across, bindings({{"x", F(0.0)}})));
  EXPECT_TRUE(single.accepts(event("A", {{"a", F(-0.0)}}), bindings({{"x", F(0.0)}})));
}

TEST(Evaluation, FreshNaNCaptureIsBound) {
  const std::optional<Bindings> result =
      Atom("A").with_capture({"x", "a"}).evaluate(event("A", {{"a", F(kNaN)}}), {});
  ASSERT_TRUE(result);
  EXPECT_TRUE(identical(*result, bindings({{"x", F(kNaN)}})));
}

// An atom's captures act one after another, so an atom with many of them
// (checked by name groups) must agree with a chain of one-capture atoms
// (checked pairwise), names repeated across and within them.
TEST(Evaluation, ManyCapturesAgreeWithOneCaptureAtATime) {
  const std::vector<Value> values{I(1), F(1.0), F(-0.0), F(0.0), F(kNaN), S("a"), N()};
  std::mt19937 random(7);
  int accepted = 0;
  for (int round = 0; round < 2000; ++round) {
    Atom many("A");
    for (int c = 0; c < 20; ++c) {
      many = std::move(many).with_capture(
          {"n" + std::to_string(random() % 16), "a" + std::to_string(random() % 3)});
    }
    // Few attributes with values drawn from few, so that both outcomes occur.
    Event e = event("A");
    for (int a = 0; a < 3; ++a) {
      if (random() % 5 != 0) {
        e = std::move(e).with_attr("a" + std::to_string(a), values[random() % 3]);
      }
    }
    Bindings input;
    for (const char* name : {"n3", "n7"}) {
      if (random() % 2 == 0) input.set(name, values[random() % values.size()]);
    }
    std::optional<Bindings> chained = input;
    for (const Capture& capture : many.captures) {
      if (chained) chained = Atom("A").with_capture(capture).evaluate(e, *chained);
    }
    const std::optional<Bindings> at_once = many.evaluate(e, input);
    ASSERT_EQ(at_once.has_value(), chained.has_value()) << "round " << round;
    ASSERT_EQ(many.accepts(e, input), chained.has_value()) << "round " << round;
    if (chained) {
      ASSERT_TRUE(identical(*at_once, *chained)) << "round " << round;
    }
    accepted += chained.has_value();
  }
  EXPECT_GT(accepted, 20);
}

TEST(Evaluation, RejectionsAndAcceptsDoNotAllocate) {
  // Texts, keys and names too long for any small-string buffer, so that a
  // copy or a temporary key would show.
  const std::string text(100, 't');
  const char* user = "user_attribute_with_a_name_longer_than_any_inline_buffer";
  const char* amount = "amount_attribute_with_a_name_longer_than_any_inline_buffer";
  const char* u = "user_binding_with_a_name_longer_than_any_inline_buffer";
  const char* n = "amount_binding_with_a_name_longer_than_any_inline_buffer";
  const char* fresh = "fresh_binding_with_a_name_longer_than_any_inline_buffer";
  const Event e = event("Login", {{user, S(text)}, {amount, I(5)}});
  const Bindings bound = bindings({{u, S(text)}, {n, I(5)}});
  const Atom matching = Atom("Login")
                            .with_predicate({user, Op::Eq, S(text)})
                            .with_reference_predicate({user, Op::Eq, u})
                            .with_capture({n, amount})
                            .with_capture({fresh, user})
                            .with_capture({fresh, user});
  const Atom conflicting = Atom("Login").with_capture({u, amount});
  const Atom wrong_type = Atom("Logout");
  const Atom failing_predicate = Atom("Login").with_predicate({amount, Op::Lt, I(5)});
  const Atom failing_reference = Atom("Login").with_reference_predicate({user, Op::Eq, n});
  const Value left = S(text);
  const Value right = S(text);

  const std::size_t before = allocation_count;
  const bool accepted = matching.accepts(e, bound);
  const bool conflict = conflicting.accepts(e, bound);
  const bool wrong = wrong_type.evaluate(e, bound).has_value();
  const bool predicate = failing_predicate.evaluate(e, bound).has_value();
  const bool reference = failing_reference.evaluate(e, bound).has_value();
  bool compared = values_equal(left, right);
  for (Op op : kOperators) compared = matches(op, left, right) && compared;
  const std::size_t allocations = allocation_count - before;

  EXPECT_EQ(allocations, 0u);
  EXPECT_TRUE(accepted);
  EXPECT_FALSE(conflict);
  EXPECT_FALSE(wrong);
  EXPECT_FALSE(predicate);
  EXPECT_FALSE(reference);
  EXPECT_FALSE(compared);
}

}  // namespace
}  // namespace kestrel
