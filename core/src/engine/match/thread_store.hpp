// The matcher's open partial matches in one partition.
//
// Threads are pooled and linked into their step's list and key indexes in
// place, so making, linking, unlinking and releasing one cost constant time
// per index. The store is all that a partition's open matches are: the scan
// that offers it events keeps only what one pass needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/atoms/cell_ops.hpp"
#include "engine/atoms/inline_vector.hpp"
#include "engine/atoms/key_buckets.hpp"
#include "engine/atoms/table_atom.hpp"
#include "engine/match/compiled_pattern.hpp"

namespace kestrel {

using ThreadId = std::uint32_t;
inline constexpr ThreadId kNoThread = UINT32_MAX;

// Rows matched so far, one per completed step.
using Path = InlineVector<std::size_t, 3>;

struct Thread {
  Path rows;
  Slots slots;
  std::int64_t last_ts = 0;
  std::uint32_t step = 0;
  bool linked = false;
};

// A thread's place in one list: its neighbours and, in an index, its bucket.
struct Links {
  ThreadId prev = kNoThread;
  ThreadId next = kNoThread;
  std::uint32_t bucket = kNoBucket;
};

// The threads waiting for one step: all of them in creation order, and the
// same threads again in each of the step's key indexes.
struct StepThreads {
  struct Index {
    KeyBuckets buckets;
    std::vector<ThreadId> heads;  // by bucket
  };
  ThreadId first = kNoThread;
  ThreadId last = kNoThread;
  std::vector<Index> indexes;
};

// Holds the pool of threads, their links and each step's list and indexes.
class ThreadStore {
 public:
  explicit ThreadStore(const CompiledPattern& pattern, TextKeys text_keys = TextKeys::ById)
      : steps_(&pattern.steps()), waiting_(steps_->size()), links_(1 + pattern.index_count()) {
    for (std::size_t k = 0; k < steps_->size(); ++k) {
      waiting_[k].indexes.resize((*steps_)[k].index_slots.size(),
                                 StepThreads::Index{KeyBuckets(text_keys), {}});
    }
  }

  Thread& thread(ThreadId id) noexcept { return threads_[id]; }
  const Thread& thread(ThreadId id) const noexcept { return threads_[id]; }

  // Threads linked into a step: the partition's open partial matches.
  std::size_t open() const noexcept { return open_; }

  // The oldest thread waiting for step `k`, or kNoThread.
  ThreadId first_waiting(std::uint32_t k) const noexcept { return waiting_[k].first; }

  // Visits the step's threads; `visit` may drop the one it is given.
  template <class Visit>
  void for_each_in_step(std::uint32_t k, Visit visit) {
    for (ThreadId id = waiting_[k].first; id != kNoThread;) {
      const ThreadId next = links_[0][id].next;
      visit(id);
      id = next;
    }
  }
  template <class Visit>
  void for_each_in_step(std::uint32_t k, Visit visit) const {
    for (ThreadId id = waiting_[k].first; id != kNoThread; id = links_[0][id].next) visit(id);
  }

  // Visits the threads of step `k` under `key` in its index `index`.
  template <class Visit>
  void for_each_in_bucket(std::uint32_t k, std::uint32_t index, const EqualityKey& key,
                          Visit visit) {
    const StepThreads::Index& keyed = waiting_[k].indexes[index];
    const std::uint32_t bucket = keyed.buckets.find(key);
    if (bucket == kNoBucket) return;
    const std::vector<Links>& links = links_[1 + index];
    for (ThreadId id = keyed.heads[bucket]; id != kNoThread;) {
      const ThreadId next = links[id].next;
      visit(id);
      id = next;
    }
  }

  ThreadId make() {
    ThreadId id;
    if (!free_.empty()) {
      id = free_.back();
      free_.pop_back();
    } else {
      id = static_cast<ThreadId>(threads_.size());
      threads_.emplace_back();
      for (std::vector<Links>& links : links_) links.emplace_back();
    }
    // Its links are set when it joins a step; until then it is unlinked.
    threads_[id].step = 0;
    threads_[id].linked = false;
    return id;
  }

  // Links a successor or a start into its step, unless it could never
  // advance there.
  void join(ThreadId id) {
    Thread& thread = threads_[id];
    const CompiledStep& step = (*steps_)[thread.step];
    if (step.unreachable) return release(id);
    std::vector<std::optional<EqualityKey>>& keys = join_keys_;
    keys.resize(step.index_slots.size());
    for (std::size_t j = 0; j < keys.size(); ++j) {
      keys[j] = equality_key(thread.slots[step.index_slots[j]]);
    }
    // A NaN bound value equals nothing, so the thread could never advance.
    if (step.advance_index && !keys[*step.advance_index]) return release(id);
    StepThreads& waiting = waiting_[thread.step];
    link_after(links_[0], waiting.first, waiting.last, id);
    for (std::size_t j = 0; j < keys.size(); ++j) {
      Links& link = links_[1 + j][id];
      link = Links{};          // a successor still holds its place in the previous step
      if (!keys[j]) continue;  // an absence atom keyed on NaN never blocks it
      StepThreads::Index& keyed = waiting.indexes[j];
      link.bucket = keyed.buckets.bucket_for(*keys[j]);
      if (link.bucket == keyed.heads.size()) keyed.heads.push_back(kNoThread);
      ThreadId& head = keyed.heads[link.bucket];
      link.next = head;
      if (head != kNoThread) links_[1 + j][head].prev = id;
      head = id;
    }
    thread.linked = true;
    ++open_;
  }

  void unlink(ThreadId id) {
    Thread& thread = threads_[id];
    if (!thread.linked) return;
    thread.linked = false;
    --open_;
    StepThreads& waiting = waiting_[thread.step];
    Links& all = links_[0][id];
    (all.prev == kNoThread ? waiting.first : links_[0][all.prev].next) = all.next;
    (all.next == kNoThread ? waiting.last : links_[0][all.next].prev) = all.prev;
    for (std::size_t j = 0; j < waiting.indexes.size(); ++j) {
      Links& link = links_[1 + j][id];
      if (link.bucket == kNoBucket) continue;
      if (link.prev == kNoThread) {
        waiting.indexes[j].heads[link.bucket] = link.next;
      } else {
        links_[1 + j][link.prev].next = link.next;
      }
      if (link.next != kNoThread) links_[1 + j][link.next].prev = link.prev;
    }
  }

  void drop(ThreadId id) {
    unlink(id);
    release(id);
  }

  void release(ThreadId id) {
    Thread& thread = threads_[id];
    thread.rows.clear();
    thread.slots.clear();
    free_.push_back(id);
  }

  // Forgets every thread, keeping the memory for the next partition.
  void clear() {
    threads_.clear();
    free_.clear();
    open_ = 0;
    for (std::vector<Links>& links : links_) links.clear();
    for (StepThreads& waiting : waiting_) {
      waiting.first = waiting.last = kNoThread;
      for (StepThreads::Index& keyed : waiting.indexes) {
        keyed.buckets.clear();
        keyed.heads.clear();
      }
    }
  }

 private:
  static void link_after(std::vector<Links>& links, ThreadId& first, ThreadId& last, ThreadId id) {
    links[id].prev = last;
    links[id].next = kNoThread;
    if (last != kNoThread) {
      links[last].next = id;
    } else {
      first = id;
    }
    last = id;
  }

  const std::vector<CompiledStep>* steps_;  // a pointer keeps stores movable
  std::vector<Thread> threads_;
  std::vector<ThreadId> free_;
  std::vector<StepThreads> waiting_;
  // links_[0]: the step lists; links_[1 + j]: the step's index j.
  std::vector<std::vector<Links>> links_;
  std::vector<std::optional<EqualityKey>> join_keys_;  // reused by every join
  std::size_t open_ = 0;
};

}  // namespace kestrel
