// Bytes from the kernel's random source, for hash seeds and unique names.
#pragma once

#include <cstddef>

namespace velk {

// Fills out with n random bytes: true, or false with errno set (no random
// source: a very old kernel or a seccomp filter).  Retries interrupted and
// partial reads.
bool FillRandom(void* out, size_t n);

}  // namespace velk
