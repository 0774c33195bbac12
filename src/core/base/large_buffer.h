// Large, long-lived buffers: allocation with huge-page backing, and
// best-effort prefaulting of buffers that are about to be filled.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <new>
#include <optional>

#include "core/base/helper_thread.h"

namespace velk {

// Asks the kernel to map the pages of [p, p + bytes) writable in one system
// call.  Filling a fresh multi-megabyte buffer otherwise takes one page
// fault per 4 KiB, which is about a third of the cost of loading a large
// index.  Small buffers are left alone; where the kernel lacks the request
// (before Linux 5.14) nothing happens.  Never changes the buffer's contents.
void PrefaultForWrite(const void* p, size_t bytes);

// Faults in the pages of some ranges on a thread of its own while the
// caller goes on, for buffers the caller will fill a little later: fresh
// memory can be slow to come by (a virtual machine's host may have to back
// it again), and the second core can take that wait.  Wait(), or the
// destructor, joins the thread; the ranges must stay mapped until then.
class BackgroundPrefault {
 public:
  struct Range {
    const void* p;
    size_t bytes;
  };
  BackgroundPrefault() = default;
  explicit BackgroundPrefault(std::initializer_list<Range> ranges);
  ~BackgroundPrefault() = default;
  BackgroundPrefault(const BackgroundPrefault&) = delete;
  BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

  void Wait() {
    if (helper_) helper_->Wait();
  }

 private:
  std::optional<HelperThread> helper_;
};

// Memory for a buffer of bytes bytes.  A large one gets a mapping of its
// own that starts on a huge-page boundary and is offered to the kernel for
// huge-page backing: lookups touch such buffers at random, and with 4 KiB
// pages nearly every touch also misses the TLB.  The tail past the last
// whole huge page keeps small pages, so nothing is committed beyond the
// buffer.  Throws std::bad_alloc when out of memory.
void* AllocateLarge(size_t bytes);
// The same, zero-filled.  A large buffer's fresh mapping is zero already,
// so its pages are left as they are, not faulted in.
void* AllocateLargeZeroed(size_t bytes);
// Frees memory from AllocateLarge(bytes) or AllocateLargeZeroed(bytes),
// with the same bytes.
void FreeLarge(void* p, size_t bytes) noexcept;

// Standard allocator over AllocateLarge, for the reader's tables.
template <typename T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AllocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { FreeLarge(p, n * sizeof(T)); }

  template <typename U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace velk
