// Matching a pattern over events in canonical order.
//
// The compiled matcher simulates the pattern as a non-deterministic automaton:
// one forward pass over each partition keeps threads, each a partial match
// waiting for its next step. It reads the events as an EventTable, so types,
// texts and attributes are ids and fixed-size cells (table_atom.hpp).
//
// An event is offered only to the threads it can concern, so that the cost of
// a partition is linear in its events and in the threads it creates, however
// many threads are open at once:
//   - A step whose atom has an `==` reference to a bound name keeps its
//     threads in a hash index keyed by the bound value (cell_ops.hpp). An
//     event looks up the one bucket of its own value; the exact test still
//     runs on each thread found there.
//   - An absence atom that reads no binding blocks every thread of its step:
//     they are dropped at once, each once. One with an `==` reference blocks
//     the threads under the event's key, one with neither is tested on every
//     thread of its step.
//   - Threads of a step live in a list in creation order, which is also the
//     order of their last timestamps, so expired windows are cut from its
//     front. A thread that could never advance (its key is NaN, its window
//     is negative, its atom never matches) is never kept.
// Threads are pooled and linked into their step's list and indexes in place
// (thread_store.hpp); dropping one unlinks it in constant time. The rules are
// those of a thread list offered every event: each event first advances and
// then blocks the threads that existed before it, and only then do its
// successors and the start it makes join, so one event never fills two steps
// of a match.
// Matches complete in the order of their last events; each partition's are
// sorted by path when it ends.
//
// A bounded call stops at the event that makes its limit + 1st match and
// ends the partition there. Its result is therefore the unbounded result's
// prefix up to the last whole partition, then the limit + 1 - (that prefix)
// matches of the stopping partition that completed first, sorted by path:
// a subsequence of the unbounded result of exactly limit + 1 matches, not
// always its prefix (within a partition, a match that starts earlier may
// complete later). Finding the prefix itself would mean finishing the
// partition, which is the cost the bound exists to avoid. The unbounded path
// pays one comparison per event and one per match.
//
// Over several threads, each scans a share of whole partition runs with the
// same bound (runtime/shares.hpp). A share that one thread would have reached
// with `found` matches already, and in which the bound would have stopped
// it, is scanned again with the bound lowered by `found`, so that even a
// bounded result is the one-thread result: the extra cost falls only on
// calls that end in refusal, and is at most one share's scan. Shares after
// it are dropped; each did at most limit + 1 matches of work.

#include "kestrel/matcher.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/match/compiled_pattern.hpp"
#include "engine/match/scan.hpp"
#include "engine/match/thread_store.hpp"
#include "kestrel/event_table.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

namespace {

// A share of whole partition runs, with one store reused for every run.
std::vector<Match> scan_share(const CompiledPattern& pattern, const EventTable& table,
                              RowRange share, std::size_t limit, Interrupt& interrupt) {
  Scan scan(pattern, table, limit, interrupt);
  ThreadStore store(pattern);
  bool within_bound = true;
  for_each_partition_run(table.partitions, share, [&](RowRange run) {
    if (!within_bound) return;
    within_bound = scan.run_partition(run, store);
    store.clear();
  });
  return scan.take();
}

}  // namespace

std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    std::size_t limit, const RunOptions& options) {
  check_structure(pattern);
  if (table.size() == 0) return {};
  const CompiledPattern compiled(pattern, table);
  const std::vector<RowRange> shares =
      partition_shares(table.partitions, options.threads_for(table.size()));
  auto scan = [&](std::size_t share_limit) {
    return [&, share_limit](RowRange share, Interrupt& interrupt) {
      return scan_share(compiled, table, share, share_limit, interrupt);
    };
  };
  std::vector<std::vector<Match>> pieces =
      pieces_of<std::vector<Match>>(shares, options, scan(limit));
  std::size_t found = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].size() > limit - found) {
      // One thread would have come to this share with `found` matches and
      // stopped within it at an earlier event, unless none came before.
      if (found > 0) {
        pieces[i] = std::move(pieces_of<std::vector<Match>>(std::span(shares).subspan(i, 1),
                                                            options, scan(limit - found))
                                  .front());
      }
      pieces.resize(i + 1);
      break;
    }
    found += pieces[i].size();
  }
  return joined(std::move(pieces));
}

std::vector<Match> compiled_matches(const EventTable& table, const Pattern& pattern,
                                    const RunOptions& options) {
  return compiled_matches(table, pattern, SIZE_MAX, options);
}

std::vector<Match> compiled_matches(std::span<const Event> events, const Pattern& pattern,
                                    Interrupt interrupt) {
  check_structure(pattern);
  const EventTable table = EventTable::from_events(events, attributes_read(pattern), interrupt);
  return compiled_matches(table, pattern, RunOptions{1, interrupt.question()});
}

}  // namespace kestrel
