// Process-wide values created on first need (the classes, PanicException).
// Creation runs at most once; a thread that has to wait for another one
// creating the value gives up the interpreter lock while it waits, so the
// creator can finish even if it lets the lock go in between.
#pragma once

#include <atomic>
#include <mutex>

#include "bind/python.h"

namespace velk::py {

class OnceObject {
 public:
  // Returns the value, creating it with create() if needed.  A failed
  // creation returns nullptr (with create's error) and is retried next time.
  // The value if it has been created, else nullptr.
  PyObject* Peek() const { return value_.load(std::memory_order_acquire); }

  template <typename Create>
  PyObject* Get(Create create) {
    if (PyObject* v = Peek()) return v;
    if (!mu_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS
      mu_.lock();
      Py_END_ALLOW_THREADS
    }
    std::lock_guard<std::mutex> unlock(mu_, std::adopt_lock);
    PyObject* v = value_.load(std::memory_order_acquire);
    if (v == nullptr) {
      v = create();
      value_.store(v, std::memory_order_release);
    }
    return v;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mu_;
};

}  // namespace velk::py
