#include "core/base/random.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velk {

bool FillRandom(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
#ifdef __APPLE__
  // macOS has no getrandom; getentropy gives up to 256 bytes a call.
  while (n > 0) {
    const size_t chunk = std::min<size_t>(n, 256);
    if (::getentropy(p, chunk) != 0) return false;
    p += chunk;
    n -= chunk;
  }
#else
  while (n > 0) {
    const ssize_t got = ::getrandom(p, n, 0);
    if (got > 0) {
      p += got;
      n -= static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      return false;
    }
  }
#endif
  return true;
}

}  // namespace velk
