// The receiver check and the per-object hold: any number of shared holds (queries) or one
// exclusive hold (append) on an instance's borrow_flag, released on every path by RAII.
// Every hold is taken and released by a thread that holds the interpreter lock, and no Python
// code runs between a read of the flag and its write, so a plain atomic load and store suffice
// where a locked read-modify-write would buy nothing.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "boundary/error.hpp"

namespace quillometer::boundary {

// borrow_flag: 0 free, n > 0 shared holds, -1 one exclusive hold.
using BorrowFlag = std::atomic<std::int64_t>;
inline constexpr std::int64_t kExclusive = -1;

enum class HoldKind { shared, exclusive };

// Accepts the receiver if it is an instance of cls (or a subtype); otherwise sets the TypeError
// "'<type>' object cannot be converted to '<class name>'".
[[gnu::cold]] inline bool check_receiver_general(PyObject* receiver, PyTypeObject* cls,
                                                 std::string_view class_name) {
  return PyType_IsSubtype(Py_TYPE(receiver), cls) || raise_mismatch(receiver, class_name);
}

[[gnu::always_inline]] inline bool check_receiver(PyObject* receiver, PyTypeObject* cls,
                                                  std::string_view class_name) {
  return Py_TYPE(receiver) == cls || check_receiver_general(receiver, cls, class_name);
}

// A hold on an instance of type Instance (which has a BorrowFlag member `borrow_flag`). It starts
// empty; take() checks the receiver and takes the hold, which the destructor gives back. An
// exclusive hold (append) also keeps a strong reference to the receiver while it lasts, since
// the conversions it covers run Python code that can see reference counts. A shared hold (a
// query) converts no argument with Python code, but its error path builds exception objects,
// and the collector may run finalizers then; those can call the instance (and be refused) but
// cannot drop the caller's reference, which therefore suffices: none is taken.
template <class Instance, HoldKind Kind>
class Hold {
 public:
  Hold() noexcept = default;
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() {
    if (instance_ == nullptr) return;
    BorrowFlag& flag = instance_->borrow_flag;
    if constexpr (Kind == HoldKind::shared) {
      flag.store(flag.load(std::memory_order_relaxed) - 1, std::memory_order_release);
    } else {
      flag.store(0, std::memory_order_release);  // the holder is the only writer
      Py_DECREF(reinterpret_cast<PyObject*>(instance_));
    }
  }

  // Fails with the receiver's TypeError, or with the RuntimeError "Already mutably borrowed"
  // (shared, while an append runs) or "Already borrowed" (exclusive, while anything runs).
  [[gnu::always_inline]] bool take(PyObject* receiver, PyTypeObject* cls,
                                   std::string_view class_name) {
    if (!check_receiver(receiver, cls, class_name)) [[unlikely]]
      return false;
    auto* instance = reinterpret_cast<Instance*>(receiver);
    BorrowFlag& flag = instance->borrow_flag;
    const std::int64_t seen = flag.load(std::memory_order_acquire);
    if constexpr (Kind == HoldKind::shared) {
      if (seen == kExclusive) [[unlikely]]
        return raise_message(PyExc_RuntimeError, "Already mutably borrowed");
      flag.store(seen + 1, std::memory_order_relaxed);
    } else {
      if (seen != 0) [[unlikely]]
        return raise_message(PyExc_RuntimeError, "Already borrowed");
      flag.store(kExclusive, std::memory_order_relaxed);
      Py_INCREF(receiver);
    }
    instance_ = instance;
    return true;
  }

  // A shared hold on an instance already known to be of the class: false, with nothing taken,
  // while an append holds it (take() then reports why).
  [[gnu::always_inline]] bool try_take(Instance* instance) noexcept
    requires(Kind == HoldKind::shared)
  {
    BorrowFlag& flag = instance->borrow_flag;
    const std::int64_t seen = flag.load(std::memory_order_acquire);
    if (seen == kExclusive) [[unlikely]]
      return false;
    flag.store(seen + 1, std::memory_order_relaxed);
    instance_ = instance;
    return true;
  }

  Instance& instance() const noexcept { return *instance_; }

 private:
  Instance* instance_ = nullptr;
};

}  // namespace quillometer::boundary
