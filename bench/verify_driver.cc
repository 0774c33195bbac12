// Times StoreReader::Verify() and its parts on one store file.  Not part of
// any build; compile by hand against a Release core:
//
//   g++ -std=c++20 -O3 -Isrc bench/verify_driver.cc build/core/libvelkcore.a
//       $(pkg-config --libs libdeflate libxxhash libsodium) -pthread -o build/verify_driver
//   (one command line)
//   build/verify_driver /tmp/q1m.vlks [runs]
//
// Prints the median of runs (default 15) in ms for: Verify(), the
// whole-file CRC alone, one CRC call per distinct named payload (in file
// order), and a plain read of every byte of the file (the floor).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/reader/store_reader.h"

namespace {

template <typename F>
double MedianMs(int runs, F&& f) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s STORE [runs]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 15;
  auto opened = velk::StoreReader::Open(argv[1], false);
  if (!opened.ok()) {
    std::fprintf(stderr, "%s\n", opened.error().message().c_str());
    return 1;
  }
  const velk::StoreReader& r = opened.value();
  // Distinct named payloads in file order, gathered outside the timing.
  std::set<uint64_t> offsets;
  for (size_t i = 0; i < r.entry_count(); ++i) offsets.insert(r.offset_at(i));
  std::vector<velk::Bytes> payloads;
  for (uint64_t off : offsets) payloads.push_back(r.ReadObject(off).value());

  volatile uint32_t sink = 0;
  bool ok = true;
  const double verify = MedianMs(runs, [&] { ok = ok && r.Verify().ok(); });
  const double file_crc = MedianMs(runs, [&] {
    // Reads the mapping through a reader-independent span.
    const velk::Bytes body(r.ReadObject(velk::kHeaderSize).value().data() - velk::kRecordHeaderSize,
                           r.file_size() - velk::kHeaderSize);
    sink = velk::Crc32(body);
  });
  const double records = MedianMs(runs, [&] {
    uint32_t x = 0;
    for (velk::Bytes p : payloads) x ^= velk::Crc32(p);
    sink = x;
  });
  // The floor: every byte of the mapping read once, 64 bits at a time.
  const double read = MedianMs(runs, [&] {
    const std::byte* p = r.ReadObject(velk::kHeaderSize).value().data() - velk::kRecordHeaderSize -
                         velk::kHeaderSize;
    uint64_t sum[4] = {};
    size_t i = 0;
    for (; i + 32 <= r.file_size(); i += 32) {
      for (size_t j = 0; j < 4; ++j) {
        uint64_t v;
        std::memcpy(&v, p + i + 8 * j, sizeof v);
        sum[j] += v;
      }
    }
    sink = static_cast<uint32_t>(sum[0] + sum[1] + sum[2] + sum[3]);
  });
  std::printf("file %.1f MB, %zu distinct payloads, verify %s\n", r.file_size() / 1e6, payloads.size(),
              ok ? "ok" : "FAILED");
  std::printf("verify()        %7.2f ms  (%.1f GB/s of file)\n", verify, r.file_size() / verify / 1e6);
  std::printf("file CRC alone  %7.2f ms\n", file_crc);
  std::printf("record CRCs     %7.2f ms  (%.1f ns per call)\n", records, records * 1e6 / payloads.size());
  std::printf("read of file    %7.2f ms  (%.1f GB/s)\n", read, r.file_size() / read / 1e6);
  return ok ? 0 : 1;
}
