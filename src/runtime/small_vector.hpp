// A vector that keeps its first N elements inline, so that typical rows allocate nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace quillometer::runtime {

template <class T, std::size_t N>
class SmallVector {
 public:
  SmallVector() noexcept = default;
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;
  ~SmallVector() {
    clear();
    if (data_ != inline_data()) std::allocator<T>().deallocate(data_, capacity_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

  // Reserves room for n elements; throws std::bad_alloc and keeps the contents on failure.
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    T* fresh = std::allocator<T>().allocate(n);
    for (std::size_t i = 0; i < size_; ++i) {
      ::new (static_cast<void*>(fresh + i)) T(std::move(data_[i]));
      data_[i].~T();
    }
    if (data_ != inline_data()) std::allocator<T>().deallocate(data_, capacity_);
    data_ = fresh;
    capacity_ = n;
  }

  // Appends to a vector known to have room (after reserve).
  void push_back_reserved(const T& value) noexcept
    requires std::is_trivially_copyable_v<T>
  {
    ::new (static_cast<void*>(data_ + size_)) T(value);
    ++size_;
  }

  void pop_back() noexcept { data_[--size_].~T(); }

  void clear() noexcept {
    while (size_ > 0) pop_back();
  }

  // Keeps the first n elements.
  void truncate(std::size_t n) noexcept {
    while (size_ > n) pop_back();
  }

 private:
  static_assert(std::is_nothrow_move_constructible_v<T>);

  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }

  alignas(T) unsigned char inline_[sizeof(T) * N];
  T* data_ = inline_data();
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace quillometer::runtime
