// Dense bucket numbers for equality keys, shared by the matcher's thread
// indexes and the near-miss search's row indexes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/atoms/cell_ops.hpp"

namespace kestrel {

inline constexpr std::uint32_t kNoBucket = UINT32_MAX;

// How text keys find their buckets: through an array indexed by text id, one
// load, its memory following the largest id (for one map reused across a
// call's partitions); or hashed like other keys, its memory following the
// keys held (for the many maps a stream keeps, one per open partition).
enum class TextKeys : std::uint8_t { ById, Hashed };

// From an equality key to a dense bucket number. Text keys, the common
// case, are text ids and index an array directly: a look-up is one load, and
// the keys an event never asks for stay out of the cache. Other keys go
// through open addressing. Buckets are never removed one by one; clear()
// empties the map in time proportional to what it holds, so one map serves
// many partitions.
class KeyBuckets {
 public:
  explicit KeyBuckets(TextKeys text_keys = TextKeys::ById) : text_keys_(text_keys) {}

  std::uint32_t find(const EqualityKey& key) const noexcept {
    if (is_text(key)) return key.bits < by_text_.size() ? by_text_[key.bits] : kNoBucket;
    if (slots_.empty()) return kNoBucket;
    for (std::uint64_t at = hash_of(key) & mask_;; at = (at + 1) & mask_) {
      const std::uint32_t slot = slots_[at];
      if (slot == 0) return kNoBucket;
      if (keys_[slot - 1] == key) return slot - 1;
    }
  }

  std::uint32_t bucket_for(const EqualityKey& key) {
    if (is_text(key)) return text_bucket_for(key);
    if (2 * (hashed_ + 1) > slots_.size()) grow();
    for (std::uint64_t at = hash_of(key) & mask_;; at = (at + 1) & mask_) {
      const std::uint32_t slot = slots_[at];
      if (slot == 0) {
        keys_.push_back(key);
        ++hashed_;
        slots_[at] = static_cast<std::uint32_t>(keys_.size());
        return slots_[at] - 1;
      }
      if (keys_[slot - 1] == key) return slot - 1;
    }
  }

  std::size_t size() const noexcept { return keys_.size(); }

  void clear() {
    if (keys_.empty()) return;
    for (const EqualityKey& key : keys_) {
      if (is_text(key)) by_text_[key.bits] = kNoBucket;
    }
    keys_.clear();
    hashed_ = 0;
    // A large table left by a big partition is not swept for every small one.
    if (slots_.size() > 1024) slots_ = {};
    std::fill(slots_.begin(), slots_.end(), 0u);
    mask_ = slots_.empty() ? 0 : slots_.size() - 1;
  }

 private:
  bool is_text(const EqualityKey& key) const noexcept {
    return key.kind == 0 && text_keys_ == TextKeys::ById;
  }

  std::uint32_t text_bucket_for(const EqualityKey& key) {
    if (key.bits >= by_text_.size()) {
      by_text_.resize(std::max<std::size_t>(key.bits + 1, 2 * by_text_.size()), kNoBucket);
    }
    std::uint32_t& bucket = by_text_[key.bits];
    if (bucket == kNoBucket) {
      bucket = static_cast<std::uint32_t>(keys_.size());
      keys_.push_back(key);
    }
    return bucket;
  }

  void grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(16, 2 * old.size()), 0u);
    mask_ = slots_.size() - 1;
    for (const std::uint32_t slot : old) {
      if (slot == 0) continue;
      std::uint64_t at = hash_of(keys_[slot - 1]) & mask_;
      while (slots_[at] != 0) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  std::vector<std::uint32_t> by_text_;  // bucket by text id
  std::vector<std::uint32_t> slots_;    // bucket number + 1; 0 is empty
  std::vector<EqualityKey> keys_;       // by bucket number
  std::size_t hashed_ = 0;              // keys held in the slots
  std::uint64_t mask_ = 0;
  TextKeys text_keys_;
};

}  // namespace kestrel
