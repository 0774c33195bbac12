// Best-effort prefaulting of large buffers that are about to be filled.
#pragma once

#include <cstddef>

namespace velk {

// Asks the kernel to map the pages of [p, p + bytes) writable in one system
// call.  Filling a fresh multi-megabyte buffer otherwise takes one page
// fault per 4 KiB, which is about a third of the cost of loading a large
// index.  Small buffers are left alone; where the kernel lacks the request
// (before Linux 5.14) nothing happens.  Never changes the buffer's contents.
void PrefaultForWrite(const void* p, size_t bytes);

}  // namespace velk
