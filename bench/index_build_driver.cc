// What the lookup index costs a build: stages the lookup benchmark's
// content (keys user:%010d in shuffled order, 102-byte values) with the
// package's writer options, with or without the index, and builds it.
// Run once per mode in separate processes by bench/lookup_index.py, so
// each peak resident size is its own:
//
//   cmake -S . -B build/dev -DVELK_BUILD_INDEX_BENCH=ON ... && cmake --build build/dev --target index_build_driver
//   build/dev/index_build_driver KEYS OUT.vlks index|plain|stream
//   build/dev/index_build_driver KEYS FILE.vlks misses
//
// Prints one JSON object: stage and build seconds (wall and processor),
// peak resident bytes.
//
// "stream" writes the same file as a package writer would for that content
// (records in key order, the lookup index) without staging the values: the
// keys come sorted, so the records are written as they are made and only
// the index section and the extension area are held in memory, about 32
// bytes a key instead of the staging's 270.  It is how the 100M-key store
// of the lookup benchmark is made on a machine of 24 GB.
//
// "misses" counts, over a million keys absent from such a store
// (user:x%010u), how many would read an index entry: a lookup reads one
// only for a slot of the key's bucket with the key's fingerprint.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/format/extension.h"
#include "core/format/format.h"
#include "core/reader/mapping.h"
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

// The benchmark's value of key number i: a MessagePack bin 8 of 100 bytes.
void ValueOf(uint32_t i, std::byte* value) {
  value[0] = std::byte{0xc4};
  value[1] = std::byte{0x64};
  velk::StoreBE<uint64_t>(value + 2, i);
  for (int k = 10; k < 102; ++k) value[k] = static_cast<std::byte>(k - 2);
}

// Writes n, or fails the run.
void WriteAll(std::FILE* f, const void* data, size_t n) {
  if (n != 0 && std::fwrite(data, 1, n, f) != n) {
    std::perror("write");
    std::exit(1);
  }
}

// The store of n keys written front to back: header, records in key order,
// extension area, index section; the header last, once the CRC is known.
int Stream(uint32_t n, const char* path) {
  const auto start = std::chrono::steady_clock::now();
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) {
    std::perror(path);
    return 1;
  }
  std::byte header[velk::kHeaderSize] = {};
  WriteAll(f, header, sizeof header);
  constexpr size_t kRecord = velk::kRecordHeaderSize + 102;
  constexpr size_t kKey = 15;  // user:%010u
  std::vector<std::byte> index(size_t{n} * (velk::kIndexEntryOverhead + kKey));
  std::byte record[kRecord];
  uint32_t crc = 0;
  char key[32];
  for (uint32_t i = 0; i < n; ++i) {
    ValueOf(i, record + velk::kRecordHeaderSize);
    const velk::Bytes payload(record + velk::kRecordHeaderSize, 102);
    velk::StoreBE<uint32_t>(record, 102);
    velk::StoreBE<uint32_t>(record + 4, velk::Crc32(payload));
    WriteAll(f, record, kRecord);
    crc = velk::Crc32(velk::Bytes(record, kRecord), crc);
    std::snprintf(key, sizeof key, "user:%010u", i);
    std::byte* e = index.data() + size_t{i} * (velk::kIndexEntryOverhead + kKey);
    velk::StoreBE<uint16_t>(e, kKey);
    std::memcpy(e + 2, key, kKey);
    velk::StoreBE<uint64_t>(e + 2 + kKey, velk::kHeaderSize + uint64_t{i} * kRecord);
  }
  const double records_s = Seconds(start);
  const uint64_t extension_start = velk::kHeaderSize + uint64_t{n} * kRecord;
  velk::ExtensionArea area;
  {
    const velk::ExtensionSections sections = velk::BuildExtensionSections(index, n, extension_start);
    area = velk::LayOutExtension(sections, extension_start, n, n, index.size());
  }
  WriteAll(f, area.records.data(), area.records.size());
  crc = velk::Crc32(area.records, crc);
  WriteAll(f, index.data(), index.size());
  velk::Header h;
  h.num_keys = n;
  h.num_objects = n + area.record_count;
  h.index_offset = extension_start + area.records.size();
  h.data_offset = velk::kHeaderSize;
  h.file_crc32 = velk::Crc32(index, crc);
  h.EncodeTo(header);
  velk::MarkExtension(header, area.directory_length);
  if (std::fseek(f, 0, SEEK_SET) != 0) return 1;
  WriteAll(f, header, sizeof header);
  if (std::fclose(f) != 0) {
    std::perror(path);
    return 1;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("{\"records_s\": %.4f, \"build_s\": %.4f, \"build_cpu_s\": %.4f, \"peak_rss\": %ld}\n", records_s,
              Seconds(start), CpuSeconds(), usage.ru_maxrss * 1024L);
  return 0;
}

// The share of absent keys whose lookup would read an entry.
int Misses(const char* path) {
  auto map = velk::Mapping::Open(path);
  if (!map.ok()) return 1;
  const velk::Bytes file = map.value().bytes();
  auto header = velk::Header::DecodeFrom(file);
  if (!header.ok()) return 1;
  auto at = velk::LocateDirectory(file, header.value());
  if (!at.ok() || !at.value()) return 1;
  auto dir = velk::ReadDirectory(file, header.value(), *at.value());
  if (!dir.ok()) return 1;
  const velk::SectionDescriptor& section = *dir.value().Find(velk::SectionKind::kLookup);
  auto lookup = velk::GatherSection(file, section);
  if (!lookup.ok()) return 1;
  const std::vector<std::byte>& s = lookup.value();
  auto decoded = velk::LookupGeometry::Decode(velk::Bytes(s), header.value().num_keys, section);
  if (!decoded.ok() || !decoded.value()) return 1;
  const velk::LookupGeometry g = *decoded.value();
  constexpr uint32_t kKeys = 1000000;
  uint64_t reading = 0;
  uint64_t entries = 0;
  uint64_t blocks_read = 0;
  char key[32];
  for (uint32_t i = 0; i < kKeys; ++i) {
    const int len = std::snprintf(key, sizeof key, "user:x%010u", i);
    const uint64_t h = velk::LookupHash(std::string_view(key, static_cast<size_t>(len)), g.seed);
    uint64_t matches = 0;
    for (uint64_t b = velk::HomeOf(h, g.homes);; ++b) {
      const std::byte* block = s.data() + g.BlockAt(b);
      const uint8_t meta = static_cast<uint8_t>(block[velk::kBlockMeta]);
      ++blocks_read;
      for (uint64_t k = 0; k < (meta & ~velk::kBlockOverflow); ++k)
        matches += velk::LoadU16(block + velk::kFingerprintSize * k) == velk::FingerprintOf(h);
      if (!(meta & velk::kBlockOverflow)) break;
    }
    reading += matches != 0;
    entries += matches;
  }
  std::printf("{\"absent_keys\": %u, \"reading_an_entry\": %llu, \"entries_read\": %llu, \"blocks_read\": %llu, "
              "\"blocks\": %u}\n",
              kKeys, static_cast<unsigned long long>(reading), static_cast<unsigned long long>(entries),
              static_cast<unsigned long long>(blocks_read), g.blocks);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[3], "index") != 0 && std::strcmp(argv[3], "plain") != 0 &&
                    std::strcmp(argv[3], "stream") != 0 && std::strcmp(argv[3], "misses") != 0)) {
    std::fprintf(stderr, "usage: %s KEYS FILE.vlks index|plain|stream|misses\n", argv[0]);
    return 2;
  }
  const uint32_t n = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (std::strcmp(argv[3], "stream") == 0) return Stream(n, argv[2]);
  if (std::strcmp(argv[3], "misses") == 0) return Misses(argv[2]);
  const bool index = std::strcmp(argv[3], "index") == 0;
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(1));

  const auto start = std::chrono::steady_clock::now();
  velk::StagedStore store(velk::WriterOptions{.dedup = true, .drop_orphans = true, .key_order = true, .index = index});
  std::byte value[102];
  char key[32];
  for (uint32_t i : order) {
    ValueOf(i, value);
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
