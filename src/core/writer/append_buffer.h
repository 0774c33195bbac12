// The writer's append-only buffers: a growable array of trivially
// copyable elements in one block from malloc.
//
// It grows through realloc rather than allocate-copy-free as std::vector
// does.  For a large block the C library then moves the pages to a larger
// mapping instead of copying them (mremap on Linux), so staging a
// hundred megabytes of objects neither copies them again at every
// doubling nor needs the old and the new block at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace velk::writer {

template <typename T>
class AppendBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are moved by realloc");

 public:
  AppendBuffer() = default;
  AppendBuffer(AppendBuffer&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  AppendBuffer& operator=(AppendBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }
  AppendBuffer(const AppendBuffer&) = delete;
  AppendBuffer& operator=(const AppendBuffer&) = delete;

  size_t size() const { return size_; }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  T& operator[](size_t i) { return data_.get()[i]; }
  const T& operator[](size_t i) const { return data_.get()[i]; }
  std::span<const T> span() const { return {data_.get(), size_}; }

  // Makes room for `extra` more elements at the end, at least doubling the
  // capacity when it grows, so that appending one element at a time costs
  // amortised constant time.  Afterwards appending `extra` elements cannot
  // fail.  Throws std::bad_alloc with the buffer unchanged.
  void ReserveFor(uint64_t extra) {
    constexpr size_t kMax = SIZE_MAX / sizeof(T);
    if (extra > kMax - size_) throw std::bad_alloc();
    const size_t need = size_ + static_cast<size_t>(extra);
    if (need <= capacity_) return;
    const size_t doubled = capacity_ <= kMax / 2 ? capacity_ * 2 : kMax;
    const size_t grown = std::max({need, doubled, size_t{16}});
    void* p = std::realloc(data_.get(), grown * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();  // the old block is intact
    (void)data_.release();
    data_.reset(static_cast<T*>(p));
    capacity_ = grown;
  }

  // Appends within the reserved room (see ReserveFor).
  void Append(const T* src, size_t n) {
    if (n != 0) std::memcpy(data_.get() + size_, src, n * sizeof(T));
    size_ += n;
  }
  void PushBack(const T& v) { Append(&v, 1); }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace velk::writer
