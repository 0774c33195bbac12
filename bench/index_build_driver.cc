// What the lookup index costs a build: stages the lookup benchmark's
// content (keys user:%010d in shuffled order, 102-byte values) with the
// package's writer options, with or without the index, and builds it.
// Run once per mode in separate processes by bench/lookup_index.py, so
// each peak resident size is its own:
//
//   cmake -S . -B build/dev -DVELK_BUILD_INDEX_BENCH=ON ... && cmake --build build/dev --target index_build_driver
//   build/dev/index_build_driver KEYS OUT.vlks index|plain
//
// Prints one JSON object: stage and build seconds (wall and processor),
// peak resident bytes.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/base/endian.h"
#include "core/writer/staged_store.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// This process's processor time so far (user and system), which other work
// on a shared machine disturbs far less than the wall clock.
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[3], "index") != 0 && std::strcmp(argv[3], "plain") != 0)) {
    std::fprintf(stderr, "usage: %s KEYS OUT.vlks index|plain\n", argv[0]);
    return 2;
  }
  const uint32_t n = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const bool index = std::strcmp(argv[3], "index") == 0;
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(1));

  const auto start = std::chrono::steady_clock::now();
  velk::StagedStore store(velk::WriterOptions{.dedup = true, .drop_orphans = true, .key_order = true, .index = index});
  std::byte value[102];
  value[0] = std::byte{0xc4};
  value[1] = std::byte{0x64};
  for (int i = 10; i < 102; ++i) value[i] = static_cast<std::byte>(i - 2);
  char key[32];
  for (uint32_t i : order) {
    velk::StoreBE<uint64_t>(value + 2, i);
    auto id = store.AddObject(velk::Bytes(value, sizeof value));
    std::snprintf(key, sizeof key, "user:%010u", i);
    if (!id.ok() || !store.AddKey(key, id.value()).ok()) return 1;
  }
  const double staged = Seconds(start);
  const double staged_cpu = CpuSeconds();
  const auto built_at = std::chrono::steady_clock::now();
  auto built = store.Build(argv[2]);
  if (!built.ok()) {
    std::fprintf(stderr, "%s\n", built.error().detail().c_str());
    return 1;
  }
  const double build = Seconds(built_at);
  const double total_cpu = CpuSeconds();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("{\"stage_s\": %.4f, \"build_s\": %.4f, \"stage_cpu_s\": %.4f, \"build_cpu_s\": %.4f, \"peak_rss\": %ld}\n",
              staged, build, staged_cpu, total_cpu - staged_cpu, usage.ru_maxrss * 1024L);
  return 0;
}
