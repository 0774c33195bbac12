#include "core/writer/key_sort.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "core/base/endian.h"
#include "core/format/format.h"

// Keys are compared eight bytes at a time: each key carries a "window",
// its bytes [depth, depth + 8) as a big-endian integer (zero past its
// end), and a "tail", how many of its bytes lie at or past depth (capped
// at 9, meaning "continues past the window").  Within a range whose keys
// all share their first `depth` bytes, ordering by (window, tail) is the
// key order, except among keys with equal windows that all continue: such
// a run shares depth + 8 bytes and is sorted again one window further on.
// (Among equal windows a smaller tail is a proper prefix of the larger
// ones, since the bytes past its end are zero in the window and equal in
// the others.)  Large ranges are radix sorted on (window, tail), small
// ones with integer compares.  Bytes that all keys of a range share are
// skipped before its first window is taken, so a long shared prefix costs
// one pass at memcmp speed rather than one sort per eight bytes.

namespace velk::writer {

namespace {

constexpr size_t kWindow = sizeof(uint64_t);
constexpr uint16_t kContinues = kWindow + 1;

// Sets the window and tail of k for depth; k's first depth bytes are
// known to be shared by its whole range, so its length is at least depth.
void Load(SortedKey& k, const KeyTable& keys, size_t depth) {
  const KeyEntry& e = keys.entries()[k.entry];
  const char* p = keys.arena() + e.offset + depth;
  const size_t left = e.length - depth;
  if (left >= kWindow) {
    k.window = LoadBE<uint64_t>(p);
  } else {
    unsigned char buf[kWindow] = {};
    if (left > 0) std::memcpy(buf, p, left);
    k.window = LoadBE<uint64_t>(buf);
  }
  k.tail = static_cast<uint16_t>(std::min<size_t>(left, kContinues));
}

bool WindowLess(const SortedKey& a, const SortedKey& b) {
  return a.window != b.window ? a.window < b.window : a.tail < b.tail;
}

// Below this many keys a comparison sort beats the radix sort's passes.
constexpr size_t kRadixMin = 1024;

// Sorts keys by (window, tail) with a least-significant-digit radix sort:
// one stable counting pass per byte, the tail first, skipping every byte
// that all keys share.  Unlike a comparison sort it has no unpredictable
// branches, and it reads and writes the keys sequentially.  scratch holds
// at least keys.size() elements.
void RadixSort(std::span<SortedKey> keys, std::span<SortedKey> scratch) {
  constexpr size_t kDigits = 1 + kWindow;  // the tail, then the window's bytes
  auto digit = [](const SortedKey& k, size_t d) -> size_t {
    return d == 0 ? k.tail : static_cast<size_t>(k.window >> (8 * (d - 1))) & 0xff;
  };
  std::array<std::array<size_t, 256>, kDigits> count{};
  for (const SortedKey& k : keys) {
    for (size_t d = 0; d < kDigits; ++d) ++count[d][digit(k, d)];
  }
  SortedKey* src = keys.data();
  SortedKey* dst = scratch.data();
  for (size_t d = 0; d < kDigits; ++d) {
    std::array<size_t, 256>& c = count[d];
    if (std::find(c.begin(), c.end(), keys.size()) != c.end()) continue;  // one value: no change
    size_t pos = 0;
    for (size_t& n : c) pos += std::exchange(n, pos);
    for (size_t i = 0; i < keys.size(); ++i) dst[c[digit(src[i], d)]++] = src[i];
    std::swap(src, dst);
  }
  if (src != keys.data()) std::copy(src, src + keys.size(), keys.data());
}

// How many bytes from `from` on every key of range shares; each key has
// at least `from` bytes.  Runs at memcmp speed until the shared part
// shrinks, which it can do at most once per byte.
size_t SharedFrom(const KeyTable& keys, std::span<const SortedKey> range, size_t from) {
  const auto entries = keys.entries();
  const KeyEntry& head = entries[range[0].entry];
  const char* first = keys.arena() + head.offset + from;
  size_t shared = head.length - from;
  for (const SortedKey& k : range) {
    if (shared == 0) break;
    const KeyEntry& e = entries[k.entry];
    const char* p = keys.arena() + e.offset + from;
    const size_t n = std::min<size_t>(shared, e.length - from);
    if (n == 0 || std::memcmp(p, first, n) == 0) {
      shared = n;
      continue;
    }
    size_t i = 0;
    while (p[i] == first[i]) ++i;  // they differ before n
    shared = i;
  }
  return shared;
}

// Whether the keys were first staged in key order, as from a sorted
// source: one pass of compares, at memory speed, with no working memory,
// that stops at the first key out of order.
bool StagedInOrder(const KeyTable& keys) {
  const auto entries = keys.entries();
  const auto key = [&](const KeyEntry& e) { return std::string_view(keys.arena() + e.offset, e.length); };
  for (size_t i = 1; i < entries.size(); ++i) {
    if (!KeyLess(key(entries[i - 1]), key(entries[i]))) return false;
  }
  return true;
}

}  // namespace

std::vector<SortedKey> SortKeys(const KeyTable& keys) {
  const size_t n = keys.size();
  std::vector<SortedKey> out(n);
  for (size_t i = 0; i < n; ++i) out[i].entry = static_cast<uint32_t>(i);  // fewer than 2^32 keys
  if (StagedInOrder(keys)) return out;
  const size_t depth0 = n == 0 ? 0 : SharedFrom(keys, out, 0);
  for (SortedKey& k : out) Load(k, keys, depth0);

  // Ranges still to sort; their keys hold the windows for their depth.
  // An explicit stack, since keys sharing a long prefix nest deeply.
  struct Range {
    size_t begin;
    size_t end;
    size_t depth;
  };
  std::vector<Range> todo;
  if (n > 1) todo.push_back({0, n, depth0});
  std::vector<SortedKey> scratch(n >= kRadixMin ? n : 0);
  while (!todo.empty()) {
    const Range r = todo.back();
    todo.pop_back();
    if (r.end - r.begin >= kRadixMin) {
      RadixSort(std::span(out).subspan(r.begin, r.end - r.begin), scratch);
    } else {
      std::sort(out.begin() + r.begin, out.begin() + r.end, WindowLess);
    }
    for (size_t i = r.begin; i < r.end;) {
      size_t run_end = i + 1;
      while (run_end < r.end && out[run_end].window == out[i].window) ++run_end;
      // The keys that continue sort last within the run.
      size_t cont = run_end;
      while (cont > i && out[cont - 1].tail == kContinues) --cont;
      if (run_end - cont > 1) {
        // The run shares depth + 8 bytes, and maybe more: skip those too.
        const auto run = std::span(out).subspan(cont, run_end - cont);
        const size_t depth = r.depth + kWindow + SharedFrom(keys, run, r.depth + kWindow);
        for (SortedKey& k : run) Load(k, keys, depth);
        todo.push_back({cont, run_end, depth});
      }
      i = run_end;
    }
  }
  return out;
}

}  // namespace velk::writer
