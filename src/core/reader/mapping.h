// A read-only memory mapping of a whole file.  The file descriptor is closed
// as soon as the mapping exists; the mapping alone keeps the contents
// reachable until it is destroyed.
#pragma once

#include <cstddef>
#include <string>

#include "core/base/status.h"
#include "core/format/format.h"

namespace velk {

class Mapping {
 public:
  Mapping() = default;  // empty view
  ~Mapping();

  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  // Maps path read-only, taking no lock.  An empty file (or a FIFO or
  // device, which report length 0) gives an empty view without asking the
  // system for a mapping.
  static Result<Mapping> Open(const std::string& path);

  Bytes bytes() const { return {data_, size_}; }

  // Asks for the bytes from offset on to be mapped with huge pages where
  // the system can: a structure read at random (the lookup index) then
  // costs no page-table walk per access.  Advice only: it changes nothing
  // a reader sees, and a system without huge pages for files ignores it.
  void AdviseHugePages(uint64_t offset) const;
  size_t size() const { return size_; }

 private:
  Mapping(const std::byte* data, size_t size) : data_(data), size_(size) {}
  void Release();

  const std::byte* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace velk
