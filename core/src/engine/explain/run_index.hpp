// The rows of one partition run that each atom of a pattern could accept,
// so that the near-miss search looks candidates and forbidden events up
// instead of scanning the run for them.
//
// An atom's rows are those of its type that pass the clauses reading only
// the event; when the atom has an `==` reference, they are also grouped by
// the equality key of the referenced attribute, so that the rows an atom
// could accept under given bound slots are one bucket. Every row found still
// goes through the exact test. Each atom's rows are gathered the first time
// they are asked for, in one pass over the run, and grouped by key with a
// counting sort into one flat array. The index serves one run at a time and
// keeps its storage from run to run.
#pragma once

#include <cstddef>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/atoms/cell_ops.hpp"
#include "engine/atoms/key_buckets.hpp"
#include "engine/atoms/table_atom.hpp"
#include "engine/explain/pattern_atoms.hpp"
#include "kestrel/event_table.hpp"

namespace kestrel {

class RunIndex {
 public:
  RunIndex(const EventTable& table, const PatternAtoms& atoms);

  // Starts serving the run [begin, end).
  void reset(std::size_t begin, std::size_t end);

  // Ascending rows that `atom` could accept under `slots`: of its type,
  // passing its event clauses and, by an `==` reference, of the bound key.
  std::span<const std::size_t> candidates(const TableAtom& atom, const Slots& slots);

  // Ascending rows of the run with the type.
  std::span<const std::size_t> rows_of_type(TextId type);

 private:
  struct AtomRows {
    bool gathered = false;
    std::vector<std::size_t> rows;
    KeyBuckets buckets;
    std::vector<std::size_t> bucket_begin;  // bucket b's rows: [begin[b], begin[b + 1])
    std::vector<std::size_t> keyed_rows;
  };

  AtomRows& rows_of(const TableAtom& atom);
  void group_by_key(const ReferenceTest& reference, AtomRows& rows);

  TableView view_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::unordered_map<const TableAtom*, AtomRows> atoms_;
  std::unordered_map<TextId, std::vector<std::size_t>> types_;
  std::vector<std::uint32_t> row_buckets_;  // scratch of group_by_key
};

// The first row in [from, to) of `rows`, or rows.end().
inline const std::size_t* first_at_or_after(std::span<const std::size_t> rows, std::size_t from) {
  const std::size_t* low = rows.data();
  const std::size_t* high = rows.data() + rows.size();
  while (low < high) {
    const std::size_t* mid = low + (high - low) / 2;
    if (*mid < from) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

}  // namespace kestrel
