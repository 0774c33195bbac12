// Writes the seed corpus of the reader fuzzer: small, varied store files
// made by the writer, so mutation starts from files the reader accepts.
// The writer is deterministic, so running this again gives the same bytes.
//
//   make_corpus DIR
#include <cstdio>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "core/format/format.h"
#include "core/writer/staged_store.h"

namespace velk {
namespace {

struct Seed {
  const char* name;
  std::vector<std::string> objects;
  // (key, object id)
  std::vector<std::pair<std::string, uint64_t>> keys;
};

std::vector<Seed> Seeds() {
  using namespace std::string_literals;
  std::vector<Seed> seeds = {
      {"empty", {}, {}},
      {"objects-without-keys", {"x", ""}, {}},
      {"one-key", {"\x81\xa4name\xa3" "ann"}, {{"user:1", 0}}},
      // Keys sharing records, an empty key and an empty object.
      {"shared", {"abc", ""}, {{"a", 1}, {"ab", 0}, {"b", 0}, {"", 1}}},
      // Binary keys at both ends of the byte order, and non-UTF-8 text.
      {"binary-keys",
       {"\0\0\0"s, "\xff\xfe", "payload"},
       {{"\0"s, 0}, {"\0\0"s, 1}, {"\x7f", 2}, {"\x80", 0}, {"\xc3\xa9t\xc3\xa9", 1},
        {"\xff", 2}, {"\xff\xff", 0}}},
      // Families of keys for prefix scans.
      {"prefixes",
       {"1", "22", "333"},
       {{"user:", 0}, {"user:1", 1}, {"user:10", 2}, {"user:2", 0}, {"userx", 1},
        {"users:1", 2}, {"v", 0}}},
  };

  Seed longer{"long-key-and-object", {std::string(300, 'o'), "s"}, {}};
  longer.keys.push_back({std::string(200, 'k'), 0});
  longer.keys.push_back({std::string(199, 'k'), 1});
  seeds.push_back(std::move(longer));

  Seed many{"many-keys", {}, {}};
  for (int i = 0; i < 16; ++i) many.objects.push_back(std::string(static_cast<size_t>(i), 'a' + i));
  for (int i = 0; i < 120; ++i)
    many.keys.push_back({"k" + std::to_string(i * 7919 % 1000), static_cast<uint64_t>(i % 16)});
  seeds.push_back(std::move(many));
  return seeds;
}

}  // namespace
}  // namespace velk

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  // Each seed twice: as _velkstore writes it, and as the package does, with
  // the records in key order and the lookup index in the file.
  constexpr velk::WriterOptions kPackage{.dedup = true, .drop_orphans = true, .key_order = true, .index = true};
  for (const auto& [options, suffix] : {std::pair{velk::WriterOptions{}, ""}, std::pair{kPackage, "-indexed"}})
  for (const velk::Seed& seed : velk::Seeds()) {
    velk::StagedStore store(options);
    for (const std::string& obj : seed.objects) {
      auto id = store.AddObject(velk::AsBytes(obj));
      if (!id.ok()) {
        std::fprintf(stderr, "%s: %s\n", seed.name, id.error().detail().c_str());
        return 1;
      }
    }
    for (const auto& [key, obj] : seed.keys) {
      auto added = store.AddKey(key, obj);
      if (!added.ok()) {
        std::fprintf(stderr, "%s: %s\n", seed.name, added.error().detail().c_str());
        return 1;
      }
    }
    auto built = store.Build(dir + "/" + seed.name + suffix + ".vlks");
    if (!built.ok()) {
      std::fprintf(stderr, "%s: %s\n", seed.name, built.error().detail().c_str());
      return 1;
    }
  }
  return 0;
}
