// Times StoreReader::Verify() and its parts on one store file.  Built and
// run on the benchmark's 1M-key store by `make verify-bench`; by hand:
//
//   cmake -S . -B build/rel -DVELK_BUILD_MODULE=OFF -DVELK_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/rel -j2 --target verify_driver
//   build/rel/verify_driver STORE [runs]
//
// Prints the median of runs (default 15) in ms for: Verify(), a plain read
// of every byte of the file (the floor) and the ratio of the two, taken
// round by round; the whole-file CRC alone; one CRC call per distinct
// named payload (in file order) through the core, and through libdeflate
// and ISA-L directly.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include <isa-l/crc.h>
#include <libdeflate.h>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/reader/store_reader.h"

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double Ms(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
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
    std::fprintf(stderr, "%s\n", opened.error().detail().c_str());
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
  const std::byte* file = r.ReadObject(velk::kHeaderSize).value().data() - velk::kRecordHeaderSize -
                          velk::kHeaderSize;
  const velk::Bytes body(file + velk::kHeaderSize, r.file_size() - velk::kHeaderSize);
  auto verify = [&] { ok = ok && r.Verify().ok(); };
  auto file_crc = [&] { sink = velk::Crc32(body); };
  auto records = [&] {
    uint32_t x = 0;
    for (velk::Bytes p : payloads) x ^= velk::Crc32(p);
    sink = x;
  };
  auto records_deflate = [&] {
    uint32_t x = 0;
    for (velk::Bytes p : payloads) x ^= libdeflate_crc32(0, p.data(), p.size());
    sink = x;
  };
  auto records_isal = [&] {
    uint32_t x = 0;
    for (velk::Bytes p : payloads) x ^= crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(p.data()), p.size());
    sink = x;
  };
  // The floor: every byte of the mapping read once, 64 bits at a time.
  auto read = [&] {
    uint64_t sum[4] = {};
    for (size_t i = 0; i + 32 <= r.file_size(); i += 32) {
      for (size_t j = 0; j < 4; ++j) {
        uint64_t v;
        std::memcpy(&v, file + i + 8 * j, sizeof v);
        sum[j] += v;
      }
    }
    sink = static_cast<uint32_t>(sum[0] + sum[1] + sum[2] + sum[3]);
  };
  // Side by side: each round times every step once, so a change in the
  // machine's load reaches them alike; the ratio is taken per round.
  std::vector<double> t_verify, t_file_crc, t_records, t_deflate, t_isal, t_read, ratio;
  for (int i = 0; i < runs; ++i) {
    t_read.push_back(Ms(read));
    t_verify.push_back(Ms(verify));
    ratio.push_back(t_verify.back() / t_read.back());
    t_file_crc.push_back(Ms(file_crc));
    t_records.push_back(Ms(records));
    t_deflate.push_back(Ms(records_deflate));
    t_isal.push_back(Ms(records_isal));
  }
  const double mb = r.file_size() / 1e6;
  const double n = static_cast<double>(payloads.size());
  std::printf("file %.1f MB, %zu distinct payloads, verify %s, %d rounds\n", mb, payloads.size(),
              ok ? "ok" : "FAILED", runs);
  std::printf("verify()        %7.2f ms  (%.1f GB/s of file)\n", Median(t_verify), mb / Median(t_verify));
  std::printf("read of file    %7.2f ms  (%.1f GB/s)\n", Median(t_read), mb / Median(t_read));
  std::printf("verify / read   %7.2f    (median of per-round ratios)\n", Median(ratio));
  std::printf("file CRC alone  %7.2f ms\n", Median(t_file_crc));
  std::printf("record CRCs     %7.2f ms  (%.1f ns per call)\n", Median(t_records), Median(t_records) * 1e6 / n);
  std::printf("  libdeflate    %7.2f ms  (%.1f ns per call)\n", Median(t_deflate), Median(t_deflate) * 1e6 / n);
  std::printf("  ISA-L         %7.2f ms  (%.1f ns per call)\n", Median(t_isal), Median(t_isal) * 1e6 / n);
  return ok ? 0 : 1;
}
