// The rows of a call cut into shares of whole partition runs, and the
// shares run on worker threads (kestrel/run_options.hpp says how many).
#pragma once

#include <cstddef>
#include <functional>
#include <iterator>
#include <span>
#include <vector>

#include "kestrel/event_table.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/run_options.hpp"

namespace kestrel {

// Rows [begin, end) of a table.
struct RowRange {
  std::size_t begin = 0;
  std::size_t end = 0;

  friend bool operator==(const RowRange&, const RowRange&) = default;
};

// The rows cut into at most `shares` consecutive ranges of about equal
// size, each a whole number of partition runs: a cut falls only where the
// partition changes. No ranges when there are no rows; one when there is
// one run or `shares` is at most 1.
std::vector<RowRange> partition_shares(std::span<const TextId> partitions, std::size_t shares);

// Runs work(i, interrupt) for every i below `count`. With one thread in
// `options`, or one share, in turn on the calling thread, all polling one Interrupt that
// asks `options.stop_requested`, any exception leaving as it is. Else on up
// to `count` threads (fewer when the system refuses more), each call with
// its own Interrupt, while the calling thread watches
// `options.stop_requested`; then it throws Interrupted when the caller asked
// to stop, else the failure of the lowest i that failed other than by being
// stopped, a failure stopping the other workers. Returns when all are done.
void run_shares(std::size_t count, const RunOptions& options,
                const std::function<void(std::size_t, Interrupt&)>& work);

// work(range, interrupt) over each share, the pieces in share order.
template <class Piece, class Work>
std::vector<Piece> pieces_of(std::span<const RowRange> shares, const RunOptions& options,
                             Work&& work) {
  std::vector<Piece> pieces(shares.size());
  run_shares(shares.size(), options,
             [&](std::size_t i, Interrupt& interrupt) { pieces[i] = work(shares[i], interrupt); });
  return pieces;
}

// The pieces end to end, in their order.
template <class T>
std::vector<T> joined(std::vector<std::vector<T>> pieces) {
  std::size_t size = 0;
  for (const std::vector<T>& piece : pieces) size += piece.size();
  std::vector<T> out;
  out.reserve(size);
  for (std::vector<T>& piece : pieces) {
    out.insert(out.end(), std::make_move_iterator(piece.begin()),
               std::make_move_iterator(piece.end()));
  }
  return out;
}

}  // namespace kestrel
