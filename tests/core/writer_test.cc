#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/fd.h"
#include "core/base/status.h"
#include "core/writer/commit.h"
#include "core/writer/file_writer.h"
#include "core/writer/staged_store.h"
#include "error_text.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using ByteVec = std::vector<unsigned char>;

ByteVec ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return ByteVec(std::istreambuf_iterator<char>(in), {});
}

uint64_t AddObj(StagedStore& s, std::string_view payload) {
  Result<uint64_t> id = s.AddObject(AsBytes(payload));
  EXPECT_TRUE(id.ok());
  return id.ok() ? id.value() : 0;
}

void Bind(StagedStore& s, std::string_view key, uint64_t id) { ASSERT_TRUE(s.AddKey(key, id).ok()); }

// Keys of an index section, in file order, parsed independently of the writer.
std::vector<std::pair<std::string, uint64_t>> ParseIndex(const std::vector<std::byte>& index) {
  std::vector<std::pair<std::string, uint64_t>> out;
  const auto* p = reinterpret_cast<const unsigned char*>(index.data());
  for (size_t pos = 0; pos < index.size();) {
    const size_t len = size_t{p[pos]} << 8 | p[pos + 1];
    std::string key(reinterpret_cast<const char*>(p + pos + 2), len);
    uint64_t off = 0;
    for (size_t i = 0; i < 8; ++i) off = off << 8 | p[pos + 2 + len + i];
    out.emplace_back(std::move(key), off);
    pos += 10 + len;
  }
  return out;
}

// A scratch directory per test.  Fd 1 is redirected around each build, to
// check that the core prints nothing.
class WriterCommit : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "velk-writer-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    open_fds_ = OpenFdCount();
  }
  void TearDown() override {
    EXPECT_EQ(OpenFdCount(), open_fds_) << "a build leaked a file descriptor";
    fs::remove_all(dir_);
  }
  static size_t OpenFdCount() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
  }

  // Builds s at path with fd 1 redirected; returns the result, stores what was printed.
  Result<BuildResult> BuildCapturing(const StagedStore& s, const std::string& path) {
    const std::string out_path = (dir_ / "stdout.txt").string();
    const int saved = ::dup(STDOUT_FILENO);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::close(out);
    Result<BuildResult> r = s.Build(path);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    const ByteVec printed_bytes = ReadFile(out_path);
    printed_ = std::string(printed_bytes.begin(), printed_bytes.end());
    fs::remove(out_path);
    return r;
  }

  fs::path dir_;
  size_t open_fds_ = 0;
  std::string printed_;
};

TEST_F(WriterCommit, WorkedExampleByteForByte) {
  StagedStore s;
  EXPECT_EQ(AddObj(s, "abc"), 0u);
  EXPECT_EQ(AddObj(s, ""), 1u);
  Bind(s, "b", 0);
  Bind(s, "a", 1);
  Bind(s, "ab", 0);
  const std::string path = (dir_ / "store.vlks").string();
  const Result<BuildResult> built = BuildCapturing(s, path);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(built.value().num_objects, 2u);
  EXPECT_EQ(built.value().num_keys, 3u);
  EXPECT_EQ(built.value().file_size, 93u);
  EXPECT_EQ(built.value().file_crc32, 0x5A0D9748u);

  const ByteVec want = {
      0x56, 0x4C, 0x4B, 0x53, 0x02, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 2,  // magic, version, counts
      0, 0, 0, 0, 0, 0, 0, 0x3B, 0, 0, 0, 0, 0, 0, 0, 0x28,           // index_offset, data_offset
      0x5A, 0x0D, 0x97, 0x48, 0, 0, 0, 0,                             // file_crc32, reserved
      0, 0, 0, 3, 0x35, 0x24, 0x41, 0xC2, 'a', 'b', 'c',              // object 0
      0, 0, 0, 0, 0, 0, 0, 0,                                         // object 1
      0, 1, 'a', 0, 0, 0, 0, 0, 0, 0, 0x33,                           // a -> 51
      0, 2, 'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0x28,                      // ab -> 40
      0, 1, 'b', 0, 0, 0, 0, 0, 0, 0, 0x28};                          // b -> 40
  EXPECT_EQ(ReadFile(path), want);
  EXPECT_FALSE(fs::exists(dir_ / "store.vlks.tmp"));
  EXPECT_EQ(printed_, "");

  // Building again, over an existing longer file, gives the same bytes;
  // later staging shows up in the next build.
  std::ofstream(path) << std::string(200, '!');
  ASSERT_TRUE(BuildCapturing(s, path).ok());
  EXPECT_EQ(ReadFile(path), want);
  Bind(s, "c", 1);
  ASSERT_TRUE(BuildCapturing(s, path).ok());
  EXPECT_EQ(ReadFile(path).size(), want.size() + 11);
  EXPECT_EQ(s.key_count(), 4u);
}

TEST_F(WriterCommit, EmptyStoreAndObjectsWithoutKeys) {
  StagedStore s;
  const std::string empty = (dir_ / "empty.vlks").string();
  const Result<BuildResult> built = BuildCapturing(s, empty);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(built.value().file_size, 40u);
  const ByteVec want_empty = {0x56, 0x4C, 0x4B, 0x53, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 40,
                              0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ReadFile(empty), want_empty);
  EXPECT_EQ(printed_, "");

  // Equal payloads are kept twice; with no keys the index is empty.
  AddObj(s, "x");
  AddObj(s, "x");
  const std::string path = (dir_ / "nokeys.vlks").string();
  ASSERT_TRUE(BuildCapturing(s, path).ok());
  const ByteVec got = ReadFile(path);
  ASSERT_EQ(got.size(), 40u + 9 + 9);
  EXPECT_EQ(ByteVec(got.begin() + 16, got.begin() + 24), ByteVec({0, 0, 0, 0, 0, 0, 0, 58}));
  const ByteVec record = {0, 0, 0, 1, 0x8C, 0xDC, 0x16, 0x83, 'x'};  // CRC-32 of "x"
  EXPECT_EQ(ByteVec(got.begin() + 40, got.begin() + 49), record);
  EXPECT_EQ(ByteVec(got.begin() + 49, got.end()), record);
}

TEST(WriterLayout, KeysSortedUnsignedBytewisePrefixFirst) {
  StagedStore s;
  AddObj(s, "o0");
  AddObj(s, "o1");
  for (const char* k : {"z", "\xff", "b", "ab", "\x80", "a", "A"}) Bind(s, k, 0);
  Bind(s, "", 1);
  const auto index = ParseIndex(s.SerializeIndex());
  std::vector<std::string> keys;
  for (const auto& [k, off] : index) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "A", "a", "ab", "b", "z", "\x80", "\xff"}));
  EXPECT_EQ(index[0].second, 40u + 10);  // "" -> object 1
  for (size_t i = 1; i < index.size(); ++i) EXPECT_EQ(index[i].second, 40u);  // shared object 0
}

// Key sets large enough for the radix sort, with the shapes its shortcuts
// depend on: a prefix shared by every key, groups sharing more than eight
// bytes, zero bytes next to keys that end early, and keys that are
// prefixes of others, and keys staged already in order or all but one.
// Every key is bound twice, the second time after
// the key table has grown: the index must hold each key once, in key
// order, with its last object.
TEST(WriterLayout, LargeKeySetsMatchAnOrderedMap) {
  std::mt19937_64 rng(7);
  auto numbered = [&](size_t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "user:%08u", static_cast<unsigned>(rng() % 100000));
    return std::string(buf);
  };
  auto small_alphabet = [&](size_t) {
    std::string k(rng() % 20, '\0');
    for (char& c : k) c = "\x00\x01\xff"[rng() % 3];
    return k;
  };
  auto long_groups = [&](size_t i) {
    std::string k(i % 2 ? 40 : 300, i % 3 ? 'a' : 'b');
    k += std::to_string(rng() % 2000);
    k.resize(k.size() - rng() % 3);  // some keys are prefixes of others
    return k;
  };
  // Keys staged in key order need no sort; one out of order at the end does.
  auto in_order = [&](size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "user:%08zu", i);
    return std::string(buf);
  };
  auto prefix_chain = [&](size_t i) { return std::string(i / 2, 'a'); };
  auto last_out_of_order = [&](size_t i) { return i == 3999 ? std::string("user:") : in_order(i); };
  const std::function<std::string(size_t)> families[] = {numbered,     small_alphabet, long_groups,
                                                          in_order,     prefix_chain,   last_out_of_order};
  for (const auto& make : families) {
    StagedStore s;
    for (int i = 0; i < 3; ++i) AddObj(s, std::string(static_cast<size_t>(i), 'o'));
    std::vector<std::string> keys;
    for (size_t i = 0; i < 4000; ++i) keys.push_back(make(i));
    std::map<std::string, uint64_t> want;
    for (uint64_t round = 0; round < 2; ++round) {
      for (size_t i = 0; i < keys.size(); ++i) {
        const uint64_t id = (i + round) % 3;
        Bind(s, keys[i], id);
        want[keys[i]] = id;
      }
    }
    EXPECT_EQ(s.key_count(), want.size());
    const uint64_t offsets[] = {40, 48, 57};  // records of 0, 1 and 2 bytes
    std::vector<std::pair<std::string, uint64_t>> expected;
    for (const auto& [k, id] : want) expected.emplace_back(k, offsets[id]);
    EXPECT_EQ(ParseIndex(s.SerializeIndex()), expected);
  }
}

TEST(WriterStaging, RebindingAndChecks) {
  StagedStore s;
  Result<void> none = s.AddKey("k", 0);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(Text(none.error()), "general: obj_id 0 out of range (have 0 objects)");

  AddObj(s, "first");
  AddObj(s, "second");
  Bind(s, "k", 0);
  Bind(s, "k", 1);  // the last binding wins
  EXPECT_EQ(s.key_count(), 1u);
  const auto index = ParseIndex(s.SerializeIndex());
  ASSERT_EQ(index.size(), 1u);
  EXPECT_EQ(index[0].second, 40u + 8 + 5);

  Result<void> past = s.AddKey("k", 2);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().detail(), "obj_id 2 out of range (have 2 objects)");

  const std::vector<std::byte> before = s.SerializeIndex();
  const std::string too_long(65536, 'k');
  Result<void> big = s.AddKey(too_long, 0);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind(), ErrorKind::kGeneral);
  EXPECT_EQ(big.error().detail(), "key of 65536 bytes exceeds the limit of 65535");
  // The id is checked before the length.
  EXPECT_EQ(s.AddKey(too_long, 9).error().detail(), "obj_id 9 out of range (have 2 objects)");
  EXPECT_EQ(s.key_count(), 1u);
  EXPECT_EQ(s.SerializeIndex(), before);

  Bind(s, too_long.substr(1), 0);  // 65,535 bytes is allowed
  EXPECT_EQ(s.key_count(), 2u);
}

// De-duplication hands back the first id of equal bytes, however the
// payloads collide in length or content, across table growth and size
// hints (a far too large one included); the empty payload included.  Off,
// every payload is a new object.
TEST(WriterOptions, DedupReturnsTheFirstIdOfEqualBytes) {
  StagedStore plain;
  EXPECT_EQ(AddObj(plain, "a"), 0u);
  EXPECT_EQ(AddObj(plain, "a"), 1u);

  StagedStore s(WriterOptions{.dedup = true});
  s.ExpectMore(UINT64_MAX);
  std::mt19937_64 rng(11);
  std::map<std::string, uint64_t> first;
  for (int i = 0; i < 20000; ++i) {
    if (i == 7000) s.ExpectMore(50000);
    // Few distinct lengths and a small alphabet: many near misses.
    std::string payload(rng() % 6, 'a');
    for (char& c : payload) c = static_cast<char>('a' + rng() % 3);
    const auto [it, fresh] = first.emplace(payload, first.size());
    ASSERT_EQ(AddObj(s, payload), it->second) << payload;
  }
  EXPECT_EQ(s.object_count(), first.size());
  // Each distinct payload is staged once: the data section holds each once.
  uint64_t bytes = 0;
  for (const auto& [payload, id] : first) bytes += kRecordHeaderSize + payload.size();
  EXPECT_EQ(s.LayOut().result.file_size, kHeaderSize + bytes);
}

// Dropping orphans writes exactly the file that staging only the named
// objects would have written, whichever objects are left out.
TEST(WriterOptions, DropOrphansWritesTheFileOfTheNamedObjectsAlone) {
  auto file_of = [](const StagedStore& s) {
    ByteVec out;
    const StagedStore::Layout layout = s.LayOut();
    for (Bytes part : layout.Parts()) {
      for (std::byte b : part) out.push_back(static_cast<unsigned char>(b));
    }
    return out;
  };
  const std::vector<std::string> payloads = {"o0", "o1-", "o2--", "", "o4", "o5"};
  // Named ids for each case, and the keys that name them.
  const std::vector<std::vector<uint64_t>> cases = {
      {1, 2, 4}, {0, 5}, {3}, {0, 1, 2, 3, 4, 5}, {}, {5, 5, 2}};
  for (const auto& named : cases) {
    StagedStore all(WriterOptions{.drop_orphans = true});
    StagedStore only;
    std::map<uint64_t, uint64_t> new_id;
    for (uint64_t id = 0; id < payloads.size(); ++id) {
      AddObj(all, payloads[id]);
      if (std::find(named.begin(), named.end(), id) != named.end()) {
        new_id[id] = AddObj(only, payloads[id]);
      }
    }
    for (size_t i = 0; i < named.size(); ++i) {
      const std::string key = "k" + std::to_string(i);
      Bind(all, key, named[i]);
      Bind(only, key, new_id[named[i]]);
    }
    // A key rebound away from an object leaves that object an orphan.
    if (!named.empty() && named[0] != 0) {
      Bind(all, "moved", 0);
      Bind(all, "moved", named[0]);
      Bind(only, "moved", new_id[named[0]]);
    }
    const StagedStore::Layout layout = all.LayOut();
    EXPECT_EQ(layout.result.num_objects, new_id.size());
    EXPECT_EQ(file_of(all), file_of(only)) << named.size();
    EXPECT_EQ(all.object_count(), payloads.size());  // staging is untouched
  }
}

TEST(TempPath, ReplacesOrAppendsExtension) {
  const std::pair<std::string, std::string> cases[] = {
      {"out/store.vlks", "out/store.vlks.tmp"}, {"out/store", "out/store.vlks.tmp"},
      {"out/store.bin", "out/store.vlks.tmp"},  {"out/a.b.c", "out/a.b.vlks.tmp"},
      {"out/.data", "out/.data.vlks.tmp"},      {"store.vlks", "store.vlks.tmp"},
      {"store.vlks.tmp", "store.vlks.vlks.tmp"}, {"a.d/store", "a.d/store.vlks.tmp"},
      {"/store", "/store.vlks.tmp"},             {"out/store.", "out/store.vlks.tmp"},
      // No final name component: kept, so that creating the file fails.
      {"", ""}, {"/", "/"}, {"out/..", "out/.."}, {"..", ".."}, {"out/", "out/"},
      {".", "."}, {"out/.", "out/."}};
  for (const auto& [target, tmp] : cases) EXPECT_EQ(writer::TempPathFor(target), tmp) << target;
}

TEST_F(WriterCommit, FailuresNameTheFailingStepAndKeepTempFile) {
  StagedStore s;
  Bind(s, "k", AddObj(s, "payload"));

  const std::string missing = (dir_ / "missing" / "store.vlks").string();
  Result<BuildResult> r = BuildCapturing(s, missing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().os_errno()), std::tuple(Reason::kCreateTemp, ENOENT));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));

  r = BuildCapturing(s, dir_.string() + std::string("/a\0b.vlks", 9));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().detail()),
            std::tuple(Reason::kCreateTemp, std::string("path contains a NUL byte")));
  EXPECT_EQ(fs::directory_iterator(dir_), fs::directory_iterator());  // nothing created

  // Renaming a file over a directory fails; the complete temp file stays.
  fs::create_directory(dir_ / "taken.vlks");
  r = BuildCapturing(s, (dir_ / "taken.vlks").string());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().os_errno(), r.error().path()),
            std::tuple(Reason::kRename, EISDIR, (dir_ / "taken.vlks").string()));
  EXPECT_EQ(printed_, "");
  ASSERT_TRUE(BuildCapturing(s, (dir_ / "good.vlks").string()).ok());
  EXPECT_EQ(ReadFile(dir_ / "taken.vlks.tmp"), ReadFile(dir_ / "good.vlks"));

  // A path naming a directory is not turned into a temp file beside it.
  r = BuildCapturing(s, dir_.string() + "/");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().os_errno()), std::tuple(Reason::kCreateTemp, EISDIR));
}

// The unique temporary name: a commit leaves nothing but its target, on
// failure too, and still keeps the target's permission bits.
TEST_F(WriterCommit, UniqueTemporaryNamesLeaveOnlyTheTarget) {
  const std::string hello = "hello, ", world = "world";
  const Bytes parts[] = {AsBytes(hello), AsBytes(world)};
  const fs::path target = dir_ / "u.vlks";
  ASSERT_TRUE(writer::CommitFile(target.string(), parts, writer::TempNaming::kUnique).ok());
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(writer::CommitFile(target.string(), parts, writer::TempNaming::kUnique).ok());
  const std::string whole = hello + world;
  EXPECT_EQ(ReadFile(target), ByteVec(whole.begin(), whole.end()));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // A commit of a new version of u.vlks finds another file there (another
  // build replaced it meanwhile): that file stays.
  const writer::FileId before = writer::IdentifyFile(target.string()).value();
  ASSERT_TRUE(writer::CommitFile(target.string(), parts, writer::TempNaming::kUnique).ok());
  Result<void> r =
      writer::CommitFile(target.string(), std::span<const Bytes>(parts, 1), writer::TempNaming::kUnique, &before);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().path()), std::tuple(Reason::kTargetChanged, target.string()));
  EXPECT_EQ(ReadFile(target), ByteVec(whole.begin(), whole.end()));

  fs::create_directory(dir_ / "taken.vlks");
  r = writer::CommitFile((dir_ / "taken.vlks").string(), parts, writer::TempNaming::kUnique);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().os_errno()), std::tuple(Reason::kRename, EISDIR));
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"taken.vlks", "u.vlks"}));
}

// Each write(2) on a SOCK_SEQPACKET socket is one message, so the receiver
// sees exactly how the writer split its output into system calls.
TEST(BufferedWriter, FlushRuleAndOsErrors) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  UniqueFd tx(fds[0]), rx(fds[1]);
  const std::vector<std::byte> blob(20000, std::byte{7});
  auto part = [&](size_t n) { return Bytes(blob).first(n); };
  {
    writer::BufferedWriter w(tx.get());
    for (size_t n : {40, 100, 9000, 10, 8000, 182, 1, 8192, 8191}) ASSERT_TRUE(w.Write(part(n)).ok());
    ASSERT_TRUE(w.Flush().ok());
  }
  ASSERT_TRUE(tx.Close().ok());
  std::vector<size_t> calls;
  std::vector<char> msg(blob.size());
  for (ssize_t n; (n = ::recv(rx.get(), msg.data(), msg.size(), 0)) > 0;) calls.push_back(size_t(n));
  EXPECT_EQ(calls, (std::vector<size_t>{140, 9000, 8192, 1, 8192, 8191}));

  UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.get(), 0);
  writer::BufferedWriter w(full.get());
  ASSERT_TRUE(w.Write(part(10)).ok());
  Result<void> r = w.Flush();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(std::tuple(r.error().reason(), r.error().os_errno()), std::tuple(Reason::kWrite, ENOSPC));
  r = w.Write(part(9000));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(Text(r.error()), "io:  errno " + std::to_string(ENOSPC));
}

}  // namespace
}  // namespace velk
