// A small-buffer vector for the matcher's paths and bound values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace kestrel {

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
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T& back() const noexcept { return begin()[size_ - 1]; }
  void clear() noexcept { size_ = 0; }  // keeps the capacity for reuse

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

}  // namespace kestrel
