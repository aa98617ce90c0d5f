// Owning and borrowed Python references: a strong reference is a move-only RAII owner.
#pragma once

#include <Python.h>

#include <utility>

namespace quillometer::boundary {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a reference the caller owns (a C-API "new reference"); null stays null.
  static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller (for a C-API call that steals it).
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace quillometer::boundary
