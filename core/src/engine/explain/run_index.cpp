#include "engine/explain/run_index.hpp"

#include <optional>

namespace kestrel {

RunIndex::RunIndex(const EventTable& table, const PatternAtoms& atoms) : view_(table) {
  // Every atom gets its entry now, so that entries never move later.
  for (const TableAtom& atom : atoms.steps) atoms_[&atom];
  for (const auto& forbidden : atoms.absence) {
    for (const TableAtom& atom : forbidden) atoms_[&atom];
  }
}

void RunIndex::reset(std::size_t begin, std::size_t end) {
  begin_ = begin;
  end_ = end;
  for (auto& [atom, rows] : atoms_) {
    if (!rows.gathered) continue;
    rows.gathered = false;
    rows.rows.clear();
    rows.buckets.clear();
    rows.bucket_begin.clear();
    rows.keyed_rows.clear();
  }
  types_.clear();
}

std::span<const std::size_t> RunIndex::candidates(const TableAtom& atom, const Slots& slots) {
  const AtomRows& rows = rows_of(atom);
  const ReferenceTest* reference = atom.equality_reference();
  if (!reference) return rows.rows;
  const std::optional<EqualityKey> key = equality_key(slots[reference->slot]);
  if (!key) return {};  // NaN equals nothing
  const std::uint32_t bucket = rows.buckets.find(*key);
  if (bucket == kNoBucket) return {};
  const std::size_t first = rows.bucket_begin[bucket];
  return std::span(rows.keyed_rows).subspan(first, rows.bucket_begin[bucket + 1] - first);
}

std::span<const std::size_t> RunIndex::rows_of_type(TextId type) {
  // One pass sorts the whole run by type: asking type by type would cost a
  // pass each, and a long pattern asks for many types.
  if (types_.empty() && begin_ < end_) {
    const std::vector<TextId>& types = view_.table().types;
    for (std::size_t row = begin_; row < end_; ++row) types_[types[row]].push_back(row);
  }
  const auto it = types_.find(type);
  if (it == types_.end()) return {};
  return it->second;
}

RunIndex::AtomRows& RunIndex::rows_of(const TableAtom& atom) {
  AtomRows& rows = atoms_.at(&atom);
  if (rows.gathered) return rows;
  rows.gathered = true;
  if (atom.never_matches()) return rows;
  for (const std::size_t row : rows_of_type(atom.type)) {
    if (atom.passes_event_clauses(view_, row)) rows.rows.push_back(row);
  }
  if (const ReferenceTest* reference = atom.equality_reference()) {
    group_by_key(*reference, rows);
  }
  return rows;
}

// A counting sort by bucket; rows stay ascending within each bucket.
void RunIndex::group_by_key(const ReferenceTest& reference, AtomRows& rows) {
  row_buckets_.clear();
  for (const std::size_t row : rows.rows) {
    const auto key = equality_key(view_.cell(reference.column, row));
    row_buckets_.push_back(key ? rows.buckets.bucket_for(*key) : kNoBucket);
  }
  rows.bucket_begin.assign(rows.buckets.size() + 1, 0);
  for (const std::uint32_t bucket : row_buckets_) {
    if (bucket != kNoBucket) ++rows.bucket_begin[bucket + 1];
  }
  for (std::size_t b = 1; b < rows.bucket_begin.size(); ++b) {
    rows.bucket_begin[b] += rows.bucket_begin[b - 1];
  }
  rows.keyed_rows.resize(rows.bucket_begin.back());
  std::vector<std::size_t> next(rows.bucket_begin.begin(), rows.bucket_begin.end() - 1);
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    if (row_buckets_[i] != kNoBucket) rows.keyed_rows[next[row_buckets_[i]]++] = rows.rows[i];
  }
}

}  // namespace kestrel
