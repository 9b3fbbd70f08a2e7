// One pass of the matcher over partition runs: offers each event to the
// threads it can concern, which advance, are blocked, expire or start. The
// threads live in a ThreadStore the caller hands in for each run, so that a
// batch call scans every partition with one reused store, and a stream
// keeps a partition's store between the runs its batches bring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/atoms/table_atom.hpp"
#include "engine/match/compiled_pattern.hpp"
#include "engine/match/found_matches.hpp"
#include "engine/match/thread_store.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/model.hpp"
#include "runtime/shares.hpp"

namespace kestrel {

class Scan {
 public:
  // Matches past `limit` + 1 are not kept (FoundMatches::full).
  Scan(const CompiledPattern& pattern, const EventTable& table, std::size_t limit,
       Interrupt& interrupt);

  // Offers the rows of one partition run, in order, to `store`, which holds
  // the partition's open partial matches and keeps those left open. The
  // run's matches join the result, sorted by path. False once the bound is
  // passed: the run stopped at the event that passed it.
  bool run_partition(RowRange run, ThreadStore& store);

  // The matches of every run so far, in run order.
  std::vector<Match> take() { return matches_.take(); }

 private:
  void offer(std::size_t row);
  void advance_step(std::uint32_t k, std::size_t row);
  void try_advance(ThreadId id, const CompiledStep& step, std::size_t row);
  void take_step(ThreadId id, std::size_t row);
  void start(std::size_t row);
  void block(std::uint32_t k, const CompiledAbsence& absence, std::size_t row);
  void expire_windows(std::int64_t ts);

  const CompiledPattern& pattern_;
  const std::vector<CompiledStep>& steps_;
  const EventTable& table_;
  TableView view_;
  Interrupt& interrupt_;
  const bool first_successor_only_;
  ThreadStore* store_ = nullptr;   // the open partial matches of the run's partition
  std::vector<ThreadId> joining_;  // successors and starts of the event being offered
  FoundMatches matches_;
};

// The runs of equal partition ids within `rows`, in order.
template <class Visit>
void for_each_partition_run(std::span<const TextId> partitions, RowRange rows, Visit visit) {
  for (std::size_t begin = rows.begin; begin < rows.end;) {
    std::size_t end = begin + 1;
    while (end < rows.end && partitions[end] == partitions[begin]) ++end;
    visit(RowRange{begin, end});
    begin = end;
  }
}

}  // namespace kestrel
