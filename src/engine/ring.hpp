// A first-in first-out ring of trivially copyable elements: push at the back, removal at the
// front, storage that only grows. A ring whose storage is always a power of two (it starts
// empty and only ever doubles) wraps its indices with a mask.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace quillometer::engine {

template <class T, bool PowerOfTwo = false>
class Ring {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // Storage of this many bytes (1 TiB) or more is refused without asking the allocator.
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 40;

  Ring() noexcept = default;
  // Reserves storage for exactly `capacity` elements; throws std::bad_alloc, also for storage
  // of kMaxBytes or more.
  explicit Ring(std::size_t capacity)
    requires(!PowerOfTwo)
  {
    reallocate(capacity);
  }
  Ring(Ring&& other) noexcept { swap(other); }
  Ring& operator=(Ring&& other) noexcept {
    Ring(std::move(other)).swap(*this);
    return *this;
  }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() { std::free(data_); }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  bool full() const noexcept { return size_ == capacity_; }

  const T& front() const noexcept { return data_[head_]; }
  // The i-th element from the front.
  const T& operator[](std::size_t i) const noexcept { return data_[wrap(head_ + i)]; }

  // Makes room for one more element, growing a full ring to twice its storage and at least
  // four elements, order kept. Throws std::bad_alloc and leaves the ring as it was on failure;
  // callers that must not half-apply an update call this before changing anything.
  void reserve_one() {
    if (size_ < capacity_) return;
    grow();
  }

  void push_back(const T& value) {
    reserve_one();
    data_[wrap(head_ + size_)] = value;
    ++size_;
  }

  // Pushes into a ring known to have room (after pop_front or reserve_one).
  void push_back_reserved(const T& value) noexcept {
    data_[wrap(head_ + size_)] = value;
    ++size_;
  }

  // Removes the front element; the ring must not be empty.
  void pop_front() noexcept {
    head_ = wrap(head_ + 1);
    --size_;
  }

  // On a full ring: removes the front element and pushes `value` in one step (the back of a
  // full ring is the slot its front leaves). Returns the element removed.
  T replace_front(const T& value) noexcept {
    T* slot = data_ + head_;
    const T removed = *slot;
    *slot = value;
    head_ = wrap(head_ + 1);
    return removed;
  }

 private:
  // Indices stay below 2 * capacity, so one conditional subtraction wraps them; a power-of-two
  // ring masks them instead.
  std::size_t wrap(std::size_t i) const noexcept {
    if constexpr (PowerOfTwo) {
      return i & (capacity_ - 1);
    } else {
      return i >= capacity_ ? i - capacity_ : i;
    }
  }

  [[gnu::noinline, gnu::cold]] void grow() { reallocate(capacity_ < 2 ? 4 : capacity_ * 2); }

  // Storage comes from malloc so that a request too large for the machine is reported as
  // std::bad_alloc by us, the same way under every allocator (sanitizers included). Requests of
  // kMaxBytes or more never reach the allocator: some allocators (a sanitizer's among them)
  // abort on such sizes instead of failing. Only a ring obtaining storage makes the test.
  void reallocate(std::size_t capacity) {
    T* fresh = nullptr;
    if (capacity > 0) {
      if (capacity > (kMaxBytes - 1) / sizeof(T)) throw std::bad_alloc();
      fresh = static_cast<T*>(std::malloc(capacity * sizeof(T)));
      if (fresh == nullptr) throw std::bad_alloc();
    }
    if (size_ > 0) {
      std::size_t first = std::min(size_, capacity_ - head_);
      std::memcpy(fresh, data_ + head_, first * sizeof(T));
      std::memcpy(fresh + first, data_, (size_ - first) * sizeof(T));
    }
    std::free(data_);
    data_ = fresh;
    capacity_ = capacity;
    head_ = 0;
  }

  void swap(Ring& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
  }

  T* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quillometer::engine
