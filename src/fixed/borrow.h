// The per-instance borrow counter: 0 free, n > 0 shared holders, -1 one
// exclusive holder.  A conflict fails at once; nothing ever waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "bind/python.h"

namespace velk::py {

enum class Borrow { kNone, kShared, kExclusive };

class BorrowGuard {
 public:
  // Takes the borrow, or sets RuntimeError and leaves ok() false.
  BorrowGuard(std::atomic<int32_t>* counter, Borrow kind) : counter_(counter), kind_(kind) {
    if (kind_ == Borrow::kShared) {
#ifdef Py_GIL_DISABLED
      int32_t cur = counter_->load(std::memory_order_relaxed);
      do {
        if (cur == -1) {
          Fail("Already mutably borrowed");
          return;
        }
      } while (!counter_->compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed));
#else
      // Taking and releasing a borrow never runs Python code, so under the
      // interpreter lock no other thread can come between the load and the
      // store: plain atomic loads and stores suffice, and they spare the
      // shared path (every reader call) two locked instructions.
      const int32_t cur = counter_->load(std::memory_order_relaxed);
      if (cur == -1) {
        Fail("Already mutably borrowed");
        return;
      }
      counter_->store(cur + 1, std::memory_order_relaxed);
#endif
    } else if (kind_ == Borrow::kExclusive) {
      int32_t expected = 0;
      if (!counter_->compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        Fail("Already borrowed");
      }
    }
  }
  ~BorrowGuard() {
    if (kind_ == Borrow::kShared) {
#ifdef Py_GIL_DISABLED
      counter_->fetch_sub(1, std::memory_order_release);
#else
      counter_->store(counter_->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
#endif
    }
    if (kind_ == Borrow::kExclusive) counter_->store(0, std::memory_order_release);
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

  bool ok() const { return ok_; }

 private:
  void Fail(const char* msg) {
    PyErr_SetString(PyExc_RuntimeError, msg);
    kind_ = Borrow::kNone;
    ok_ = false;
  }

  std::atomic<int32_t>* counter_;
  Borrow kind_;
  bool ok_ = true;
};

}  // namespace velk::py
