// The stream against one batch call: random correlated cases, their
// partitions interleaved by time, cut into random batches, in both modes.
#include "kestrel/stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/explain/renumber.hpp"
#include "generator.hpp"
#include "kestrel/matcher.hpp"
#include "kestrel/parser.hpp"

namespace kestrel {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kCases = 600;
#else
constexpr std::uint64_t kCases = 3000;
#endif

EventSource source_of(std::span<const Event> events, const std::vector<std::string>& names) {
  return EventSource{EventTable::from_events(events, names), {}, {}, {}};
}

std::vector<std::string> attribute_names(const std::vector<Event>& events) {
  std::set<std::string> names;
  for (const Event& event : events) {
    for (const auto& [name, value] : event.attrs) names.insert(name);
  }
  return {names.begin(), names.end()};
}

struct Streamed {
  std::vector<Match> matches;
  std::vector<NearMiss> near_misses;
};

Streamed stream_in_batches(const Pattern& pattern, bool exhaustive, bool explain,
                           const std::vector<Event>& events, std::mt19937_64& random) {
  StreamMatcher stream(pattern, {exhaustive, explain, LateEvents::Refuse});
  const std::vector<std::string> names = attribute_names(events);
  Streamed out;
  for (std::size_t at = 0; at < events.size();) {
    const std::size_t size = std::min<std::size_t>(events.size() - at, 1 + random() % 5);
    Result<StreamOutput> pushed =
        stream.push(source_of(std::span(events).subspan(at, size), names));
    EXPECT_TRUE(pushed.ok()) << (pushed.ok() ? "" : pushed.error());
    if (!pushed.ok()) return out;
    for (Match& match : pushed.value().matches) out.matches.push_back(std::move(match));
    if (random() % 4 == 0) {  // a checkpoint goes on as the stream would
      Result<StreamMatcher> restored = StreamMatcher::restore(stream.checkpoint().value());
      EXPECT_TRUE(restored.ok()) << (restored.ok() ? "" : restored.error());
      if (!restored.ok()) return out;
      stream = std::move(restored.value());
    }
    Result<StreamOutput> settled = stream.take_near_misses();
    for (NearMiss& miss : settled.value().near_misses) out.near_misses.push_back(miss);
    at += size;
  }
  Result<StreamOutput> left = stream.flush();
  for (NearMiss& miss : left.value().near_misses) out.near_misses.push_back(miss);
  EXPECT_EQ(stream.stats().buffered, 0u);
  return out;
}

template <class Record>
std::string sorted_text(std::vector<Record> records) {
  std::vector<std::string> lines;
  for (const Record& record : records) lines.push_back(describe(record));
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(Stream, AnySplitGivesTheBatchResults) {
  std::size_t near_misses_seen = 0;
  for (std::uint64_t seed = 1; seed <= kCases && !testing::Test::HasFailure(); ++seed) {
    const GeneratedCase c = generate_case(seed);
    // The stream order: partitions interleaved by time, each in its order.
    std::vector<std::size_t> order(c.events.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return c.events[a].ts < c.events[b].ts; });
    std::vector<Event> events;
    std::vector<std::size_t> stream_position(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      events.push_back(c.events[order[i]]);
      stream_position[order[i]] = i;
    }
    std::mt19937_64 random(seed);
    for (const bool exhaustive : {false, true}) {
      Pattern pattern = c.pattern;
      if (exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
      std::vector<Match> matches = compiled_matches(c.events, pattern);
      for (Match& match : matches) {
        for (std::size_t& index : match.indices) index = stream_position[index];
      }
      std::vector<NearMiss> misses = near_misses(c.events, pattern);
      for (NearMiss& miss : misses) renumber(miss, stream_position);
      near_misses_seen += misses.size();
      for (const bool explain : {true, false}) {
        const Streamed streamed = stream_in_batches(pattern, exhaustive, explain, events, random);
        EXPECT_EQ(sorted_text(streamed.matches), sorted_text(matches))
            << (exhaustive ? "exhaustive" : "first successor")
            << (explain ? "\n" : ", matches only\n") << describe(c);
        EXPECT_EQ(sorted_text(streamed.near_misses), explain ? sorted_text(misses) : std::string())
            << describe(c);
      }
    }
  }
  EXPECT_GT(near_misses_seen, kCases);
}

TEST(Stream, ALateEventRefusesItsBatchOrIsDropped) {
  const std::vector<Event> first{{"p", 5, "a", {}}}, late{{"q", 1, "a", {}}, {"p", 4, "a", {}}};
  for (const LateEvents policy : {LateEvents::Refuse, LateEvents::Drop}) {
    StreamMatcher stream(parse_pattern("a -> a").value(), {false, true, policy});
    ASSERT_TRUE(stream.push(source_of(first, {})).ok());
    const Result<StreamOutput> pushed = stream.push(source_of(late, {}));
    EXPECT_EQ(pushed.ok(), policy == LateEvents::Drop);
    if (!pushed.ok()) {
      EXPECT_EQ(pushed.error(),
                "late event at stream position 2: partition 'p' is at timestamp 5, the event at "
                "4; each partition's events must come in time order");
      EXPECT_EQ(pushed.failure().kind, ErrorKind::LateEvent);
      ASSERT_TRUE(pushed.failure().number.has_value());
      EXPECT_EQ(pushed.failure().number->counts, ErrorNumber::Counts::StreamPositions);
      EXPECT_EQ(pushed.failure().number->value, 2u);
      EXPECT_EQ(pushed.failure().number->at, std::string("late event at stream position ").size());
    }
    EXPECT_EQ(stream.stats().events, policy == LateEvents::Drop ? 3u : 1u);
    EXPECT_EQ(stream.stats().late_dropped, policy == LateEvents::Drop ? 1u : 0u);
  }
}

TEST(Stream, AnEndedStreamRefusesEvenAnEmptyBatch) {
  StreamMatcher stream(parse_pattern("a -> b").value(), {});
  ASSERT_TRUE(stream.flush().ok());
  for (const std::vector<Event>& batch : {std::vector<Event>{}, {{"p", 1, "a", {}}}}) {
    const Result<StreamOutput> pushed = stream.push(source_of(batch, {}));
    ASSERT_FALSE(pushed.ok());
    EXPECT_EQ(pushed.error(), "the stream has ended; no events can follow flush()");
  }
}

TEST(Stream, ACallStoppedHalfWayLeavesTheStreamRefusing) {
  std::vector<Event> events;
  for (std::int64_t ts = 0; ts < 20'000; ++ts) events.push_back({"p", ts, ts % 2 ? "b" : "a", {}});
  for (const bool explain : {true, false}) {
    StreamMatcher stream(parse_pattern("a -> b").value(), {false, explain, LateEvents::Refuse});
    EXPECT_THROW((void)stream.push(source_of(events, {}), Interrupt([] { return true; })),
                 Interrupted);
    for (const Result<StreamOutput>& after :
         {stream.push(source_of(events, {})), stream.take_near_misses(), stream.flush()}) {
      ASSERT_FALSE(after.ok());
      EXPECT_EQ(after.error(),
                "the stream was stopped in the middle of a call and cannot go on; start a new "
                "one");
    }
    EXPECT_FALSE(stream.checkpoint().ok());
  }
}

}  // namespace
}  // namespace kestrel
