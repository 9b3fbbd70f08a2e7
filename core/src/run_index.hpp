// The rows of one partition run that each atom of a pattern could accept,
// so that the near-miss search looks candidates and forbidden events up
// instead of scanning the run for them.
//
// An atom's rows are those of its type that pass the clauses reading only
// the event; when the atom has an `==` reference, they are also grouped by
// the equality key of the referenced attribute, so that the rows an atom
// could accept under given bindings are one bucket. Every row found still
// goes through the exact test. Each atom's rows are gathered the first time
// they are asked for, in one pass over the run.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "cell_ops.hpp"
#include "kestrel/event_table.hpp"
#include "kestrel/pattern.hpp"
#include "table_atom.hpp"

namespace kestrel {

// An atom compiled against the table, with the binding its key reads.
struct IndexedAtom {
  TableAtom atom;
  std::optional<std::string> key_binding;
};

// The pattern's atoms by step: the step's own and its absence atoms.
struct PatternAtoms {
  std::vector<std::optional<TextId>> types;  // each step's type, if the table holds it
  std::vector<IndexedAtom> steps;
  std::vector<std::vector<IndexedAtom>> absence;

  PatternAtoms(const Pattern& pattern, const EventTable& table);
};

class RunIndex {
 public:
  RunIndex(const EventTable& table, std::size_t begin, std::size_t end)
      : view_(table), begin_(begin), end_(end) {}

  // Ascending rows that `atom` could accept under `bindings`.
  std::span<const std::size_t> candidates(const IndexedAtom& atom, const Bindings& bindings);

  // Ascending rows of the run with the type.
  std::span<const std::size_t> rows_of_type(TextId type);

 private:
  struct KeyHash {
    std::size_t operator()(const EqualityKey& key) const noexcept { return hash_of(key); }
  };
  struct AtomRows {
    std::vector<std::size_t> rows;
    std::unordered_map<EqualityKey, std::vector<std::size_t>, KeyHash> by_key;
  };

  const AtomRows& rows_of(const IndexedAtom& atom);

  TableView view_;
  std::size_t begin_;
  std::size_t end_;
  std::unordered_map<const IndexedAtom*, AtomRows> atoms_;
  std::unordered_map<TextId, std::vector<std::size_t>> types_;
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
