// Matching a pattern over events in canonical order.
//
// The compiled matcher simulates the pattern as a non-deterministic automaton,
// breadth-first: one forward pass over each partition keeps a list of threads,
// each a partial match waiting for its next step, and offers every event to
// every live thread before trying it as a new start. The thread list is
// double-buffered: the survivors and successors of one event go to the other
// buffer and the two are swapped, so once the buffers have grown the pass
// allocates only for new threads and matches. A thread blocked by an absence
// atom could never advance again and is dropped at once. Matches complete in
// the order of their last events; each partition's are sorted by path when it
// ends.
//
// Compiling resolves whatever does not depend on the events. Event types and
// attribute names become dense ids, so an event's type is compared once per
// event and each attribute is looked up at most once per event. Which names
// are bound before a step is fixed by the pattern (every step of a thread's
// path has run its captures), so bindings live in numbered slots, reference
// predicates and capture checks name their slot in advance, and a reference
// to a name that no earlier step binds makes its atom one that never matches.
// A slot points at the bound value inside its event rather than copying it.

#include "kestrel/matcher.hpp"
#include "transition.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace kestrel {

namespace {

const Value kNullValue = Null{};

// ---------------------------------------------------------------------------
// Compiled matcher.

template <class Word>
Word load(const char* bytes) noexcept {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Byte equality of two texts. Types, partitions and attribute names are
// mostly short, and a few word loads beat a call to memcmp on every event.
inline bool same_bytes(const char* x, const char* y, std::size_t n) noexcept {
  if (n > 16) return std::memcmp(x, y, n) == 0;
  // Two possibly overlapping loads cover the first and the last bytes.
  if (n >= 8) {
    return load<std::uint64_t>(x) == load<std::uint64_t>(y) &&
           load<std::uint64_t>(x + n - 8) == load<std::uint64_t>(y + n - 8);
  }
  if (n >= 4) {
    return load<std::uint32_t>(x) == load<std::uint32_t>(y) &&
           load<std::uint32_t>(x + n - 4) == load<std::uint32_t>(y + n - 4);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

inline bool same_text(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

// Events carry few attributes, and a scan with the cheap comparison beats the
// map's binary search for them.
const Value* find_attribute(const Attributes& attributes, std::string_view name) noexcept {
  if (attributes.size() > 8) return attributes.find(name);
  for (const auto& [key, value] : attributes) {
    if (same_text(key, name)) return &value;
  }
  return nullptr;
}

// `matches`, with text equality done inline.
bool holds(ComparisonOperator op, const Value& left, const Value& right) noexcept {
  if (op == ComparisonOperator::Eq || op == ComparisonOperator::NotEq) {
    const auto* l = std::get_if<std::string>(&left);
    const auto* r = std::get_if<std::string>(&right);
    if (l && r) return same_text(*l, *r) == (op == ComparisonOperator::Eq);
  }
  return matches(op, left, right);
}

using NameId = std::uint32_t;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

// Dense ids for names, in order of first appearance.
class NameTable {
 public:
  static constexpr NameId kMissing = UINT32_MAX;

  NameTable() { by_length_.fill(kMissing); }

  NameId intern(std::string_view name) {
    if (const NameId id = find(name); id != kMissing) return id;
    const auto id = static_cast<NameId>(names_.size());
    names_.emplace_back(name);
    ids_.emplace(names_.back(), id);
    next_same_length_.push_back(kMissing);
    // find() walks the chains only while the table is small.
    if (name.size() < kLengths && id < kChainedNames) {
      NameId* last = &by_length_[name.size()];
      while (*last != kMissing) last = &next_same_length_[*last];
      *last = id;
    }
    return id;
  }

  // This runs once per event. The few names of a typical table are chained by
  // length, so most misses cost one load and most hits one comparison; large
  // tables and long names are hashed.
  NameId find(std::string_view name) const noexcept {
    if (names_.size() <= kChainedNames && name.size() < kLengths) {
      for (NameId id = by_length_[name.size()]; id != kMissing; id = next_same_length_[id]) {
        if (same_bytes(names_[id].data(), name.data(), name.size())) return id;
      }
      return kMissing;
    }
    const auto it = ids_.find(name);
    return it == ids_.end() ? kMissing : it->second;
  }

  const std::vector<std::string>& names() const noexcept { return names_; }

 private:
  static constexpr std::size_t kChainedNames = 16;
  static constexpr std::size_t kLengths = 32;

  std::vector<std::string> names_;
  std::unordered_map<std::string, NameId, NameHash, std::equal_to<>> ids_;
  std::array<NameId, kLengths> by_length_;
  std::vector<NameId> next_same_length_;
};

// Type id of an atom that no event can satisfy; events never get it.
constexpr NameId kNeverType = NameTable::kMissing - 1;

// The event being matched. Each attribute is looked up at most once per event,
// however many threads and atoms ask for it.
class CurrentEvent {
 public:
  explicit CurrentEvent(const std::vector<std::string>& attribute_names)
      : attribute_names_(attribute_names),
        values_(attribute_names.size(), nullptr),
        stamps_(attribute_names.size(), 0) {}

  void reset(const Event& event, std::size_t index, NameId type) noexcept {
    event_ = &event;
    index_ = index;
    type_ = type;
    ++stamp_;
  }

  const Event& event() const noexcept { return *event_; }
  std::size_t index() const noexcept { return index_; }
  NameId type() const noexcept { return type_; }

  // Null when the event lacks the attribute.
  const Value* attribute(NameId id) noexcept {
    if (stamps_[id] != stamp_) {
      stamps_[id] = stamp_;
      values_[id] = find_attribute(event_->attrs, attribute_names_[id]);
    }
    return values_[id];
  }

  // What a capture of the attribute binds: its value, or Null when missing.
  const Value& captured(NameId id) noexcept {
    const Value* value = attribute(id);
    return value ? *value : kNullValue;
  }

 private:
  const std::vector<std::string>& attribute_names_;
  std::vector<const Value*> values_;
  std::vector<std::uint64_t> stamps_;
  std::uint64_t stamp_ = 0;
  const Event* event_ = nullptr;
  std::size_t index_ = 0;
  NameId type_ = NameTable::kMissing;
};

// A growable array of trivially copyable values whose first kInline elements
// live inside the object: the paths and bindings of short patterns then cost no
// allocation and sit next to the thread that owns them.
template <class T, std::uint32_t kInline>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  InlineVector() = default;
  InlineVector(InlineVector&& other) noexcept
      : size_(other.size_), capacity_(other.capacity_), heap_(std::move(other.heap_)) {
    // Copying the whole inline array is a few fixed moves, cheaper than a
    // copy of variable length.
    if (!heap_) std::copy_n(other.inline_, kInline, inline_);
    other.size_ = 0;
    other.capacity_ = kInline;
  }
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;
  InlineVector& operator=(InlineVector&&) = delete;

  std::size_t size() const noexcept { return size_; }
  const T* begin() const noexcept { return heap_ ? heap_.get() : inline_; }
  const T* end() const noexcept { return begin() + size_; }
  const T& operator[](std::size_t i) const noexcept { return begin()[i]; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  void push_back(T value) {
    if (size_ == capacity_) grow(2 * std::size_t{capacity_});
    data()[size_++] = value;
  }
  void append(const T* first, const T* last) {
    reserve(size_ + static_cast<std::size_t>(last - first));
    size_ = static_cast<std::uint32_t>(std::copy(first, last, data() + size_) - data());
  }

 private:
  T* data() noexcept { return heap_ ? heap_.get() : inline_; }

  void grow(std::size_t capacity) {
    auto heap = std::make_unique_for_overwrite<T[]>(capacity);
    std::copy_n(begin(), size_, heap.get());
    heap_ = std::move(heap);
    capacity_ = static_cast<std::uint32_t>(capacity);
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInline;
  std::unique_ptr<T[]> heap_;
  T inline_[kInline]{};
};

// Events matched so far, one per completed step.
using Path = InlineVector<std::size_t, 3>;
// Bound values by slot; each points into an event or at kNullValue.
using Slots = InlineVector<const Value*, 2>;

struct CompiledPredicate {
  NameId attribute;
  ComparisonOperator op;
  Value value;
};

struct CompiledReference {
  NameId attribute;
  ComparisonOperator op;
  NameId slot;
};

// A capture of a name that is already bound: the new value must be identical
// to the bound one, either a slot bound before the atom or, when an earlier
// capture of the same atom binds the name, that capture's attribute.
struct CaptureCheck {
  NameId attribute;
  bool against_slot;
  NameId against;
};

struct CompiledAtom {
  NameId type = kNeverType;
  std::vector<CompiledPredicate> predicates;
  std::vector<CompiledReference> references;
  std::vector<CaptureCheck> checks;
  // Attributes whose values fill the next slots, in slot order.
  std::vector<NameId> binds;
  bool has_clauses = false;

  // The type test, which rejects most events, stays inline at the call.
  bool accepts(CurrentEvent& event, const Slots& slots) const noexcept {
    return event.type() == type && (!has_clauses || passes_clauses(event, slots));
  }

  bool passes_clauses(CurrentEvent& event, const Slots& slots) const noexcept {
    for (const CompiledPredicate& predicate : predicates) {
      const Value* actual = event.attribute(predicate.attribute);
      if (!actual || !holds(predicate.op, *actual, predicate.value)) return false;
    }
    for (const CompiledReference& reference : references) {
      const Value* actual = event.attribute(reference.attribute);
      if (!actual || !holds(reference.op, *actual, *slots[reference.slot])) return false;
    }
    for (const CaptureCheck& check : checks) {
      const Value& bound =
          check.against_slot ? *slots[check.against] : event.captured(check.against);
      if (!(event.captured(check.attribute) == bound)) return false;
    }
    return true;
  }

  void bind(CurrentEvent& event, Slots& slots) const {
    for (const NameId attribute : binds) slots.push_back(&event.captured(attribute));
  }
};

// A step with the transition that leads into it.
struct CompiledStep {
  CompiledAtom atom;
  std::optional<std::int64_t> max_elapsed;
  std::vector<CompiledAtom> absence;

  bool blocks(CurrentEvent& event, const Slots& slots) const noexcept {
    return std::any_of(absence.begin(), absence.end(),
                       [&](const CompiledAtom& atom) { return atom.accepts(event, slots); });
  }
};

// A partial match waiting for `step`.
struct Thread {
  Path indices;
  Slots slots;
  std::int64_t last_ts = 0;
  std::size_t step = 0;
};

class CompiledPattern {
 public:
  explicit CompiledPattern(const Pattern& pattern);

  std::vector<Match> matches(std::span<const Event> events, Interrupt& interrupt) const;

  const NameTable& types() const noexcept { return types_; }
  // Whether an event of the type can advance or block a thread; the others
  // could only close windows, which changes no result.
  bool concerns_threads(NameId type) const noexcept { return concerns_threads_[type]; }
  const std::vector<std::string>& attribute_names() const noexcept { return attributes_.names(); }
  const std::vector<CompiledStep>& steps() const noexcept { return steps_; }
  MatchConsumption consumption() const noexcept { return consumption_; }
  std::size_t slot_count() const noexcept { return slots_by_name_.size(); }
  Bindings captures_of(const Value* const* slots) const;

 private:
  CompiledAtom compile(const Atom& atom, NameTable& fresh_names);

  NameTable types_;
  NameTable attributes_;
  NameTable slots_;
  std::vector<NameId> slots_by_name_;
  std::vector<CompiledStep> steps_;
  std::vector<char> concerns_threads_;
  MatchConsumption consumption_;
};

// Slots are numbered in the order the pattern first binds their names, so the
// names bound before a step are exactly those interned when it is compiled.
CompiledPattern::CompiledPattern(const Pattern& pattern) : consumption_(pattern.consumption) {
  steps_.reserve(pattern.steps.size());
  NameTable fresh_names;
  for (const Step& step : pattern.steps) {
    CompiledStep compiled;
    if (const auto& transition = step.transition_from_previous) {
      compiled.max_elapsed = transition->max_elapsed;
      for (const Atom& atom : transition->absence) {
        // Absence atoms are only tested, so their fresh names never become
        // slots; one that can never match can never block.
        CompiledAtom absent = compile(atom, fresh_names);
        if (absent.type != kNeverType) compiled.absence.push_back(std::move(absent));
      }
    }
    compiled.atom = compile(step.atom, fresh_names);
    for (const std::string& name : fresh_names.names()) slots_.intern(name);
    steps_.push_back(std::move(compiled));
  }
  concerns_threads_.assign(types_.names().size(), false);
  const auto concern = [&](const CompiledAtom& atom) {
    if (atom.type != kNeverType) concerns_threads_[atom.type] = true;
  };
  for (std::size_t step = 1; step < steps_.size(); ++step) {
    concern(steps_[step].atom);
    for (const CompiledAtom& atom : steps_[step].absence) concern(atom);
  }
  slots_by_name_.resize(slots_.names().size());
  for (NameId slot = 0; slot < slots_by_name_.size(); ++slot) slots_by_name_[slot] = slot;
  std::sort(slots_by_name_.begin(), slots_by_name_.end(), [&](NameId a, NameId b) {
    return slots_.names()[a] < slots_.names()[b];
  });
}

CompiledAtom CompiledPattern::compile(const Atom& atom, NameTable& fresh_names) {
  fresh_names = NameTable();
  CompiledAtom compiled;
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const NameId slot = slots_.find(reference.binding);
    if (slot == NameTable::kMissing) return CompiledAtom();
    compiled.references.push_back({attributes_.intern(reference.attribute), reference.op, slot});
  }
  compiled.type = types_.intern(atom.event_type);
  for (const Predicate& predicate : atom.predicates) {
    compiled.predicates.push_back({attributes_.intern(predicate.attribute), predicate.op,
                                   predicate.value});
  }
  for (const Capture& capture : atom.captures) {
    const NameId attribute = attributes_.intern(capture.attribute);
    if (const NameId slot = slots_.find(capture.name); slot != NameTable::kMissing) {
      compiled.checks.push_back({attribute, true, slot});
    } else if (const NameId fresh = fresh_names.find(capture.name); fresh != NameTable::kMissing) {
      compiled.checks.push_back({attribute, false, compiled.binds[fresh]});
    } else {
      fresh_names.intern(capture.name);
      compiled.binds.push_back(attribute);
    }
  }
  compiled.has_clauses =
      !compiled.predicates.empty() || !compiled.references.empty() || !compiled.checks.empty();
  return compiled;
}

Bindings CompiledPattern::captures_of(const Value* const* slots) const {
  Bindings captures;
  captures.reserve(slots_by_name_.size());
  // Ascending names make each insertion an append.
  for (const NameId slot : slots_by_name_) captures.set(slots_.names()[slot], *slots[slot]);
  return captures;
}

// Attribute maps live apart from their events, and waiting for each one when
// its event comes up would dominate the pass: they are requested some events
// ahead instead.
void prefetch_attributes(const Event& event) noexcept {
#if defined(__GNUC__)
  if (!event.attrs.empty()) __builtin_prefetch(&*event.attrs.begin());
#else
  (void)event;
#endif
}

constexpr std::size_t kPrefetchDistance = 16;

// The working state of one call: the current event and the two thread lists.
class Scan {
 public:
  Scan(const CompiledPattern& pattern, std::span<const Event> events, Interrupt& interrupt)
      : pattern_(pattern),
        interrupt_(interrupt),
        steps_(pattern.steps()),
        events_(events),
        current_(pattern.attribute_names()),
        first_successor_only_(pattern.consumption() ==
                              MatchConsumption::FirstSuccessorPerStart) {}

  // The single pass. Partitions are the runs of equal partition texts; each
  // ends by sorting its matches, since they complete in the order of their
  // last events, not of their paths.
  std::vector<Match> run() {
    for (std::size_t index = 0; index < events_.size(); ++index) {
      if (index > 0 && !same_text(events_[index].partition, events_[index - 1].partition)) {
        end_partition();
      }
      if (index + kPrefetchDistance < events_.size()) {
        prefetch_attributes(events_[index + kPrefetchDistance]);
      }
      interrupt_.poll();
      offer(index);
    }
    end_partition();
    return std::move(found_);
  }

 private:
  void end_partition() {
    live_.clear();
    const auto by_path = [&](std::uint32_t a, std::uint32_t b) {
      const std::size_t* x = pending_path(a);
      const std::size_t* y = pending_path(b);
      return std::lexicographical_compare(x, x + steps_.size(), y, y + steps_.size());
    };
    // Often already in order; the check is cheaper than the sort's buffer.
    if (!std::is_sorted(pending_order_.begin(), pending_order_.end(), by_path)) {
      std::stable_sort(pending_order_.begin(), pending_order_.end(), by_path);
    }
    for (const std::uint32_t match : pending_order_) emit(match);
    pending_order_.clear();
    pending_paths_.clear();
    pending_slots_.clear();
  }

  const std::size_t* pending_path(std::uint32_t match) const noexcept {
    return pending_paths_.data() + std::size_t{match} * steps_.size();
  }

  void emit(std::uint32_t match) {
    const std::size_t* path = pending_path(match);
    Match& emitted = found_.emplace_back();
    emitted.indices.assign(path, path + steps_.size());
    const Event& first = events_[path[0]];
    emitted.partition = first.partition;
    emitted.start = first.ts;
    emitted.end = events_[path[steps_.size() - 1]].ts;
    emitted.captures =
        pattern_.captures_of(pending_slots_.data() + std::size_t{match} * pattern_.slot_count());
  }

  void offer(std::size_t index) {
    const Event& event = events_[index];
    const NameId type = pattern_.types().find(event.typ);
    // No atom accepts the event. Threads whose window it would close stay
    // until a later event: they could not advance anyway.
    if (type == NameTable::kMissing) return;
    current_.reset(event, index, type);
    if (!live_.empty() && pattern_.concerns_threads(type)) advance_threads();
    try_start();
  }

  void advance_threads() {
    next_.clear();
    next_.reserve(live_.size() + 1);
    const std::int64_t ts = current_.event().ts;
    for (Thread& thread : live_) {
      interrupt_.poll();  // exhaustive threads can multiply without bound
      const CompiledStep& step = steps_[thread.step];
      if (!within_window(step.max_elapsed, thread.last_ts, ts)) continue;
      if (step.atom.accepts(current_, thread.slots)) {
        if (first_successor_only_) {
          if (advance(thread)) next_.push_back(std::move(thread));
          continue;
        }
        branch_into(next_, thread);
      }
      // A blocked thread never advances again, so it is dropped at once.
      if (step.blocks(current_, thread.slots)) continue;
      next_.push_back(std::move(thread));
    }
    live_.swap(next_);
  }

  // Threads are built where they will live, sparing a move each.
  void try_start() {
    if (!steps_.front().atom.accepts(current_, no_slots_)) return;
    if (!advance(live_.emplace_back())) live_.pop_back();
  }

  // A successor of `parent` that leaves the parent as it is.
  void branch_into(std::vector<Thread>& destination, const Thread& parent) {
    Thread& child = destination.emplace_back();
    child.indices.reserve(parent.indices.size() + 1);
    child.indices.append(parent.indices.begin(), parent.indices.end());
    child.slots.reserve(parent.slots.size() + steps_[parent.step].atom.binds.size());
    child.slots.append(parent.slots.begin(), parent.slots.end());
    child.step = parent.step;
    if (!advance(child)) destination.pop_back();
  }

  // Moves `thread` past its step on the current event. False when that was the
  // last step: the thread has become a match and is spent.
  bool advance(Thread& thread) {
    steps_[thread.step].atom.bind(current_, thread.slots);
    if (thread.step + 1 == steps_.size()) {
      record_match(thread);
      return false;
    }
    thread.indices.push_back(current_.index());
    thread.step += 1;
    thread.last_ts = current_.event().ts;
    return true;
  }

  // Matches wait in flat buffers until their partition ends: sorting then
  // moves small numbers, and each Match is built once, in its final place.
  void record_match(const Thread& thread) {
    pending_order_.push_back(static_cast<std::uint32_t>(pending_order_.size()));
    pending_paths_.insert(pending_paths_.end(), thread.indices.begin(), thread.indices.end());
    pending_paths_.push_back(current_.index());
    pending_slots_.insert(pending_slots_.end(), thread.slots.begin(), thread.slots.end());
  }

  const CompiledPattern& pattern_;
  Interrupt& interrupt_;
  const std::vector<CompiledStep>& steps_;
  std::span<const Event> events_;
  CurrentEvent current_;
  const bool first_successor_only_;
  const Slots no_slots_{};
  std::vector<Thread> live_;
  std::vector<Thread> next_;
  std::vector<std::uint32_t> pending_order_;
  std::vector<std::size_t> pending_paths_;
  std::vector<const Value*> pending_slots_;
  std::vector<Match> found_;
};

std::vector<Match> CompiledPattern::matches(std::span<const Event> events,
                                            Interrupt& interrupt) const {
  return Scan(*this, events, interrupt).run();
}

}  // namespace

std::vector<Match> compiled_matches(std::span<const Event> events, const Pattern& pattern,
                                    Interrupt interrupt) {
  check_structure(pattern);
  return CompiledPattern(pattern).matches(events, interrupt);
}

}  // namespace kestrel
