// W1: compiled_matches on session data against the ceiling, a hand-written
// loop over interned columns that finds exactly the same matches. 1,000,000
// events in 10,000 partitions, four users per partition (and a neighbour's
// now and then); the pattern looks for a purchase by the user who logged in,
// within 300 time units and without that user logging out in between.
//
// Flags: --partitions=10000 --events-per-partition=100 --rounds=7

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kestrel/matcher.hpp"

namespace {

using kestrel::Atom;
using kestrel::ComparisonOperator;
using kestrel::Event;
using kestrel::Match;
using kestrel::MatchConsumption;
using kestrel::Pattern;
namespace bench = kestrel::bench;

constexpr std::int64_t kWindow = 300;
constexpr int kUsersPerPartition = 4;
constexpr const char* kPatternText =
    "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]";

enum EventType : std::uint8_t { Login, Purchase, Logout, View };
constexpr const char* kTypeNames[] = {"login", "purchase", "logout", "view"};

// The events as the ceiling reads them: one array per field, texts interned.
struct SessionColumns {
  std::vector<std::uint32_t> partition;
  std::vector<std::int64_t> ts;
  std::vector<EventType> type;
  std::vector<std::uint32_t> user;
  std::vector<std::string> user_names;
};

// The rows of bench/datasets.py session_rows: types 20% login, 25% purchase,
// 15% logout, 40% view; one event in five by a user of the next partition;
// gaps of 1 to 30, so that the window spans about twenty events.
SessionColumns session_columns(std::uint32_t partitions, std::uint32_t per_partition) {
  SessionColumns columns;
  const std::size_t count = static_cast<std::size_t>(partitions) * per_partition;
  columns.partition.reserve(count);
  columns.ts.reserve(count);
  columns.type.reserve(count);
  columns.user.reserve(count);
  for (std::uint32_t p = 0; p < partitions; ++p) {
    std::int64_t ts = 1'700'000'000 + p;
    for (std::uint32_t i = 0; i < per_partition; ++i) {
      const std::uint64_t h = bench::mix(1, static_cast<std::uint64_t>(p) * per_partition + i);
      const std::uint64_t kind = h % 100;
      const EventType type = kind < 20 ? Login : kind < 45 ? Purchase : kind < 60 ? Logout : View;
      const std::uint64_t slot = (h >> 8) % 5;
      const std::uint32_t owner = slot < 4 ? p : (p + 1) % partitions;
      const std::uint64_t member = slot < 4 ? slot : (h >> 16) % kUsersPerPartition;
      columns.partition.push_back(p);
      columns.ts.push_back(ts);
      columns.type.push_back(type);
      columns.user.push_back(owner * kUsersPerPartition + static_cast<std::uint32_t>(member));
      ts += 1 + static_cast<std::int64_t>((h >> 24) % 30);
    }
  }
  char name[32];
  for (std::uint32_t u = 0; u < partitions * kUsersPerPartition; ++u) {
    std::snprintf(name, sizeof name, "user-%07u", u);
    columns.user_names.emplace_back(name);
  }
  return columns;
}

std::vector<Event> events_of(const SessionColumns& columns) {
  std::vector<Event> events;
  events.reserve(columns.ts.size());
  char partition[32];
  for (std::size_t i = 0; i < columns.ts.size(); ++i) {
    std::snprintf(partition, sizeof partition, "account-%07u", columns.partition[i]);
    events.push_back(Event{partition, columns.ts[i], kTypeNames[columns.type[i]], {}}.with_attr(
        "user", columns.user_names[columns.user[i]]));
  }
  return events;
}

Pattern session_pattern(MatchConsumption consumption) {
  const auto same_user = [](const char* type) {
    return Atom(type).with_reference_predicate({"user", ComparisonOperator::Eq, "u"});
  };
  Pattern pattern;
  pattern.steps.push_back({Atom("login").with_capture({"u", "user"}), std::nullopt});
  pattern.steps.push_back(
      {same_user("purchase"), kestrel::Transition{kWindow, {}}.with_absence(same_user("logout"))});
  pattern.consumption = consumption;
  return pattern;
}

struct Pair {
  std::uint32_t login;
  std::uint32_t purchase;
};

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// The ceiling. It walks the events backwards, keeping per user the purchases
// and the logout that follow the current event in its partition, so each
// login finds its purchases directly; reversing the output at the end gives
// the engine's order (by login, then purchase). A user's state is reset when
// it is first met in another partition.
class Ceiling {
 public:
  explicit Ceiling(const SessionColumns& columns)
      : columns_(columns), users_(columns.user_names.size()) {}

  // At most one pair per login: its first purchase, unless a logout or the
  // window comes first.
  void first_successor(std::vector<Pair>& out) {
    for (User& user : users_) user.partition = kNone;
    const auto& c = columns_;
    for (std::uint32_t i = static_cast<std::uint32_t>(c.ts.size()); i-- > 0;) {
      User& user = user_at(i);
      switch (c.type[i]) {
        case Purchase: user.next_purchase = i; break;
        case Logout: user.next_logout = i; break;
        case Login:
          if (user.next_purchase < user.next_logout &&
              c.ts[user.next_purchase] - c.ts[i] <= kWindow) {
            out.push_back({i, user.next_purchase});
          }
          break;
        case View: break;
      }
    }
    std::reverse(out.begin(), out.end());
  }

  // Every purchase before the user's next logout and within the window.
  void exhaustive(std::vector<Pair>& out) {
    for (User& user : users_) user.partition = kNone;
    const auto& c = columns_;
    for (std::uint32_t i = static_cast<std::uint32_t>(c.ts.size()); i-- > 0;) {
      User& user = user_at(i);
      auto& purchases = user.purchases;  // nearest last
      switch (c.type[i]) {
        case Purchase: purchases.push_back(i); break;
        case Logout: purchases.clear(); break;
        case Login: {
          std::size_t first = purchases.size();
          while (first > 0 && c.ts[purchases[first - 1]] - c.ts[i] <= kWindow) --first;
          for (std::size_t k = first; k < purchases.size(); ++k) out.push_back({i, purchases[k]});
          break;
        }
        case View: break;
      }
    }
    std::reverse(out.begin(), out.end());
  }

 private:
  struct User {
    std::uint32_t partition = kNone;
    std::uint32_t next_purchase = kNone;
    std::uint32_t next_logout = kNone;
    std::vector<std::uint32_t> purchases;
  };

  User& user_at(std::uint32_t i) {
    User& user = users_[columns_.user[i]];
    if (user.partition != columns_.partition[i]) {
      user.partition = columns_.partition[i];
      user.next_purchase = kNone;
      user.next_logout = kNone;
      user.purchases.clear();
    }
    return user;
  }

  const SessionColumns& columns_;
  std::vector<User> users_;
};

bool same_matches(const std::vector<Match>& engine, const std::vector<Pair>& ceiling,
                  const SessionColumns& columns) {
  if (engine.size() != ceiling.size()) return false;
  for (std::size_t k = 0; k < engine.size(); ++k) {
    const Match& match = engine[k];
    const Pair pair = ceiling[k];
    if (match.indices != std::vector<std::size_t>{pair.login, pair.purchase}) return false;
    const kestrel::Value* user = match.captures.find("u");
    if (match.captures.size() != 1 || !user ||
        *user != kestrel::Value(columns.user_names[columns.user[pair.login]])) {
      return false;
    }
  }
  return true;
}

// Engine and ceiling in alternation; false when their matches differ.
bool compare(MatchConsumption consumption, const std::vector<Event>& events,
             const SessionColumns& columns, int rounds) {
  const Pattern pattern = session_pattern(consumption);
  // The engine alone reads the columnar table, as the ceiling reads its
  // columns; building it from Event objects is timed apart.
  const kestrel::EventTable table =
      kestrel::EventTable::from_events(events, kestrel::attributes_read(pattern));
  const bool first = consumption == MatchConsumption::FirstSuccessorPerStart;
  Ceiling ceiling(columns);
  std::vector<Match> matches;
  std::vector<Pair> pairs;
  std::vector<double> engine_seconds, ceiling_seconds, ratios;
  bool agree = true;
  for (int round = 0; round < rounds; ++round) {
    matches.clear();  // outside the clock: freeing results is not matching
    engine_seconds.push_back(
        bench::timed([&] { matches = kestrel::compiled_matches(table, pattern); }));
    pairs.clear();
    ceiling_seconds.push_back(bench::timed([&] {
      if (first) {
        ceiling.first_successor(pairs);
      } else {
        ceiling.exhaustive(pairs);
      }
    }));
    ratios.push_back(engine_seconds.back() / ceiling_seconds.back());
    agree = agree && same_matches(matches, pairs, columns);
  }
  const double engine = bench::median(engine_seconds);
  const double ceiling_time = bench::median(ceiling_seconds);
  const double millions = static_cast<double>(events.size()) / 1e6;
  std::printf("%-16s %9zu %10.1f %8.2f %11.2f %8.1f %9.1fx  %s\n",
              first ? "first-successor" : "exhaustive", matches.size(), engine * 1e3,
              millions / engine, ceiling_time * 1e3, millions / ceiling_time, bench::median(ratios),
              agree ? "same matches" : "MATCHES DIFFER");
  return agree;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Flags flags(argc, argv);
  const auto partitions = static_cast<std::uint32_t>(flags.integer("partitions", 10'000));
  const auto per_partition = static_cast<std::uint32_t>(flags.integer("events-per-partition", 100));
  const int rounds = static_cast<int>(flags.integer("rounds", 7));
  flags.finish();

  const SessionColumns columns = session_columns(partitions, per_partition);
  const std::vector<Event> events = events_of(columns);
  std::printf("W1: %zu events in %u partitions, %zu users\n%s\n", events.size(), partitions,
              columns.user_names.size(), kPatternText);
  std::printf("%-16s %9s %10s %8s %11s %8s %10s  (medians of %d interleaved rounds)\n", "mode",
              "matches", "engine ms", "M ev/s", "ceiling ms", "M ev/s", "engine/ceiling", rounds);
  bool agree = true;
  for (const MatchConsumption consumption :
       {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
    agree = compare(consumption, events, columns, rounds) && agree;
  }
  const Pattern pattern = session_pattern(MatchConsumption::FirstSuccessorPerStart);
  std::vector<double> building;
  for (int round = 0; round < rounds; ++round) {
    building.push_back(bench::timed(
        [&] { kestrel::EventTable::from_events(events, kestrel::attributes_read(pattern)); }));
  }
  std::printf("building the table from Event objects (outside the figures above): %.1f ms\n",
              bench::median(building) * 1e3);
  return agree ? 0 : 1;
}
