// libFuzzer target over the reader core.  Each input is a whole store file:
// it is opened with and without the CRC check and, when that succeeds, every
// query is run until it fails or ends.  Besides the sanitizers, the results
// are checked against the input bytes, so a reader that returns data from
// outside a record, or answers one query differently from another, stops
// the run too.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/format/format.h"
#include "core/base/compressed_value.h"
#include "core/reader/store_reader.h"
#include "core/reader/value_decoder.h"
#include "core/writer/value_compressor.h"

namespace velk {
namespace {

// Stops the run with a message libFuzzer records beside the input.
#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

// A single lookup, in the terms of a batch lookup's answer.
StoreReader::Found Probe(const StoreReader& r, std::string_view key, Bytes* payload) {
  auto got = r.Get(key);
  if (!got.ok()) return StoreReader::Found::kDamaged;
  if (!got.value().has_value()) return StoreReader::Found::kAbsent;
  *payload = *got.value();
  return StoreReader::Found::kFound;
}

// A batch lookup reports one fault per damaged key, in batch order.
void CheckFaults(const std::vector<StoreReader::Found>& found, const std::vector<StoreReader::KeyFault>& faults) {
  size_t next = 0;
  for (size_t j = 0; j < found.size(); ++j) {
    if (found[j] != StoreReader::Found::kDamaged) continue;
    FUZZ_CHECK(next < faults.size() && faults[next].key == j);
    ++next;
  }
  FUZZ_CHECK(next == faults.size());
}

// A prefix scan may walk every key, so only this many keys are cut into
// prefixes to scan; every key is still looked up.
constexpr size_t kMaxPrefixKeys = 64;

// One in-memory file, reused for every input.  Opened by path through
// /proc, as a store on disk would be.
class InputFile {
 public:
  InputFile() : fd_(::memfd_create("fuzz-store", MFD_CLOEXEC)) {
    FUZZ_CHECK(fd_ >= 0);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }

  const std::string& Write(const uint8_t* data, size_t size) {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<size_t>(n);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

// A payload the reader returned for the record at offset must be exactly
// that record's payload in the input: inside the file, of the length the
// record states, with the same bytes.
void CheckRecord(Bytes file, uint64_t offset, Bytes payload) {
  FUZZ_CHECK(offset <= file.size() && kRecordHeaderSize <= file.size() - offset);
  FUZZ_CHECK(payload.size() == LoadU32(file.data() + offset));
  FUZZ_CHECK(payload.size() <= file.size() - offset - kRecordHeaderSize);
  if (!payload.empty())
    FUZZ_CHECK(std::memcmp(payload.data(), file.data() + offset + kRecordHeaderSize,
                           payload.size()) == 0);
}

// Mutations almost never leave the file CRC right, which would leave the
// checked open and the object checks of Verify() to the seeds alone.  The
// reader ignores the reserved header bytes, so the last one steers this:
// when it is odd the header gets the CRC of the body as it now stands.
constexpr size_t kFixCrcFlagOffset = kFileCrcOffset + 7;

bool FixFileCrc(std::vector<uint8_t>& file) {
  if (file.size() < kHeaderSize || (file[kFixCrcFlagOffset] & 1) == 0) return false;
  const Bytes body(reinterpret_cast<const std::byte*>(file.data()) + kHeaderSize,
                   file.size() - kHeaderSize);
  StoreBE<uint32_t>(file.data() + kFileCrcOffset, Crc32(body));
  return true;
}

// A stored object through a decoder: the value, or Corrupt; never more
// bytes than its wrapper states, and the stored bytes themselves where the
// file does not compress or the object is not compressed.
void CheckDecode(const ValueDecoder& decoder, Bytes stored) {
  thread_local DecodeBuffer scratch;
  auto value = decoder.Decode(stored, &scratch);
  uint64_t length;
  Bytes body;
  const StoredForm form = ParseStored(stored, &length, &body);
  if (!decoder.compressed() || form == StoredForm::kPlain) {
    FUZZ_CHECK(value.ok() && value.value().data() == stored.data() && value.value().size() == stored.size());
    return;
  }
  if (form == StoredForm::kDamaged) FUZZ_CHECK(!value.ok());
  if (!value.ok()) {
    FUZZ_CHECK(value.error().kind() == ErrorKind::kCorrupt);
    return;
  }
  FUZZ_CHECK(value.value().size() == length);
  std::vector<std::byte> into(value.value().size());
  FUZZ_CHECK(decoder.DecodeInto(stored, into.data()).ok());
  // An empty value has no bytes to compare (and may have no address).
  FUZZ_CHECK(into.empty() || std::memcmp(into.data(), value.value().data(), into.size()) == 0);
}

// Decoders for inputs taken as one stored value: with a dictionary trained
// on records like those a store holds, and without one.
const ValueDecoder& TrainedDecoder() {
  static const std::vector<std::byte> section = [] {
    std::vector<std::byte> data;
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 400; ++i) {
      const std::string v = "\x83\xa2id\xcd" + std::to_string(i * 7919) + "\xa4name\xa9user-" + std::to_string(i % 37) +
                            "\xa4tags\x92\xa1" + std::string(1, static_cast<char>('a' + i % 26)) + "\xa2zz";
      offsets.push_back(kHeaderSize + data.size());
      std::byte head[kRecordHeaderSize] = {};
      StoreBE<uint32_t>(head, static_cast<uint32_t>(v.size()));
      data.insert(data.end(), head, head + kRecordHeaderSize);
      const Bytes b = AsBytes(v);
      data.insert(data.end(), b.begin(), b.end());
    }
    return writer::CompressRecords(data, offsets, {}, writer::kDefaultCompressLevel).section;
  }();
  static const ValueDecoder decoder = std::move(ValueDecoder::Open(section)).value();
  return decoder;
}

const ValueDecoder& PlainDictionaryDecoder() {
  static const std::vector<std::byte> section = [] {
    std::vector<std::byte> s(kCompressionHeadSize);
    EncodeCompressionHead(CompressionInfo{}, s.data());
    return s;
  }();
  static const ValueDecoder decoder = std::move(ValueDecoder::Open(section)).value();
  return decoder;
}

void Exercise(const StoreReader& r, Bytes file) {
  const size_t n = r.entry_count();
  FUZZ_CHECK(n == r.num_keys());

  // Which position a lookup must find: for equal keys the last one wins.
  std::unordered_map<std::string_view, size_t> last;
  for (size_t i = 0; i < n; ++i) last[r.key_at(i)] = i;

  // Reads of each entry's record, bounds-checked against the input, and
  // its value through the file's decoder.
  std::unordered_set<uint64_t> offsets;
  bool all_readable = true;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t offset = r.offset_at(i);
    offsets.insert(offset);
    auto obj = r.ReadObject(offset);
    if (obj.ok()) {
      CheckRecord(file, offset, obj.value());
      CheckDecode(r.values(), obj.value());
    } else {
      all_readable = false;
    }
  }

  // Present keys: found, and bound to the last entry of that key.
  for (const auto& [key, i] : last) {
    FUZZ_CHECK(r.Exists(key));
    auto got = r.Get(key);
    auto want = r.ReadObject(r.offset_at(i));
    FUZZ_CHECK(got.ok() == want.ok());
    if (!got.ok()) continue;
    FUZZ_CHECK(got.value().has_value());
    FUZZ_CHECK(got.value()->data() == want.value().data());
    FUZZ_CHECK(got.value()->size() == want.value().size());
  }

  // Absent keys, near the present ones and at the ends of the key order.
  auto check_absent = [&](std::string_view key) {
    if (last.count(key) != 0) return;
    FUZZ_CHECK(!r.Exists(key));
    auto got = r.Get(key);
    FUZZ_CHECK(got.ok() && !got.value().has_value());
  };
  check_absent("");
  check_absent("\xff\xff\xff\xff");
  for (size_t i = 0; i < n; ++i) {
    std::string key(r.key_at(i));
    key.push_back('\0');
    check_absent(key);
    key.pop_back();
    if (!key.empty()) {
      key.back() = static_cast<char>(key.back() ^ 1);
      check_absent(key);
      key.pop_back();
      check_absent(key);
    }
  }

  // Batch lookups answer each key as a single lookup does: every key of the
  // file, each with a byte changed, and the ends of the key order.
  std::vector<std::string> asked = {"", "\xff\xff\xff\xff"};
  for (size_t i = 0; i < n; ++i) {
    std::string key(r.key_at(i));
    asked.push_back(key);
    if (!key.empty()) {
      key.back() = static_cast<char>(key.back() ^ 1);
      asked.push_back(std::move(key));
    }
  }
  const std::vector<std::string_view> views(asked.begin(), asked.end());
  std::vector<StoreReader::Found> found(views.size());
  std::vector<Bytes> payloads(views.size());
  std::vector<StoreReader::KeyFault> faults;
  r.ProbeMany(views, found.data(), payloads.data(), &faults);
  CheckFaults(found, faults);
  for (size_t j = 0; j < views.size(); ++j) {
    Bytes one;
    FUZZ_CHECK(found[j] == Probe(r, views[j], &one));
    if (found[j] == StoreReader::Found::kFound) {
      FUZZ_CHECK(payloads[j].data() == one.data() && payloads[j].size() == one.size());
    }
  }

  // Prefix scans through the cursor: every entry found starts with the
  // prefix, and every record read is one of the input's.
  auto scan = [&](std::string_view prefix) {
    auto start = r.Seek(prefix);
    if (!start.ok()) return;
    FUZZ_CHECK(start.value() <= n);
    auto cursor = r.CursorAt(start.value());
    if (!cursor.ok()) return;
    while (cursor.value().index < n) {
      const size_t i = cursor.value().index;
      auto item = r.Next(&cursor.value());
      if (!item.ok()) return;
      if (!item.value().key.starts_with(prefix)) return;
      FUZZ_CHECK(item.value().key == r.key_at(i) && item.value().record == r.offset_at(i));
      auto payload = r.ReadChecked(item.value().record);
      if (payload.ok()) CheckRecord(file, item.value().record, payload.value());
    }
  };
  scan("");
  for (size_t i = 0; i < n && i < kMaxPrefixKeys; ++i) {
    const std::string_view key = r.key_at(i);
    scan(key.substr(0, key.size() / 2));
    scan(key);
  }

  // A whole scan reads every record only when each one is readable.
  bool scan_readable = true;
  auto cursor = r.CursorAt(0);
  FUZZ_CHECK(cursor.ok());
  while (cursor.value().index < n) {
    auto item = r.Next(&cursor.value());
    FUZZ_CHECK(item.ok());
    auto payload = r.ReadChecked(item.value().record);
    if (payload.ok()) {
      CheckRecord(file, item.value().record, payload.value());
    } else {
      scan_readable = false;
    }
  }
  if (scan_readable) FUZZ_CHECK(all_readable);

  auto objects = r.Objects();
  FUZZ_CHECK(objects.ok() == all_readable);
  if (objects.ok()) FUZZ_CHECK(objects.value().size() == offsets.size());

  // A file that verifies is one every query can read.
  if (r.Verify().ok()) FUZZ_CHECK(all_readable);
}

// A file read through its lookup index.  Whatever the bytes, every payload
// it gives is a record of the input whose stored CRC matches, every entry a
// scan gives is one a lookup finds, and batch and single lookups agree.
void ExerciseIndexed(const StoreReader& r, Bytes file) {
  // Payloads point into the reader's own mapping of the file.
  const Bytes mapped = r.file();
  auto check_payload = [&](Bytes payload) {
    FUZZ_CHECK(payload.data() >= mapped.data() + kHeaderSize + kRecordHeaderSize &&
               payload.data() + payload.size() <= mapped.data() + mapped.size());
    const std::byte* at = payload.data() - kRecordHeaderSize;
    FUZZ_CHECK(LoadU32(at) == payload.size() && LoadU32(at + 4) == Crc32(payload));
  };
  std::vector<std::string> keys;
  auto cursor = r.CursorAt(0);
  for (size_t i = 0; cursor.ok() && i < r.entry_count(); ++i) {
    auto item = r.Next(&cursor.value());
    if (!item.ok()) break;
    keys.emplace_back(item.value().key);
    auto payload = r.ReadChecked(item.value().record);
    if (payload.ok()) {
      CheckRecord(file, item.value().record, payload.value());
      check_payload(payload.value());
    }
  }
  std::vector<std::string> asked = {"", "\xff\xff"};
  for (const std::string& k : keys) {
    asked.push_back(k);
    asked.push_back(k + '\0');
  }
  const std::vector<std::string_view> views(asked.begin(), asked.end());
  std::vector<StoreReader::Found> found(views.size());
  std::vector<Bytes> payloads(views.size());
  std::vector<StoreReader::KeyFault> faults;
  r.ProbeMany(views, found.data(), payloads.data(), &faults);
  CheckFaults(found, faults);
  for (size_t j = 0; j < views.size(); ++j) {
    Bytes one;
    FUZZ_CHECK(found[j] == Probe(r, views[j], &one));
    auto got = r.Get(views[j]);
    FUZZ_CHECK(got.ok() == (found[j] != StoreReader::Found::kDamaged));
    if (found[j] != StoreReader::Found::kFound) continue;
    check_payload(one);
    FUZZ_CHECK(got.value().has_value() && got.value()->data() == one.data());
    auto contains = r.Contains(views[j]);
    FUZZ_CHECK(!contains.ok() || contains.value());
    auto at = r.Seek(views[j]);
    FUZZ_CHECK(!at.ok() || at.value() <= r.entry_count());
  }
  (void)r.Verify();
}

}  // namespace
}  // namespace velk

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static velk::InputFile file;
  // Sized exactly, so reads past the end of the input are overflows.
  std::vector<uint8_t> input(data, data + size);
  const bool crc_right = velk::FixFileCrc(input);
  const std::string& path = file.Write(input.data(), input.size());
  const velk::Bytes bytes(reinterpret_cast<const std::byte*>(input.data()), input.size());

  // The input as one stored value, wrapper and all: the decompression
  // path on bytes no writer made.
  velk::CheckDecode(velk::TrainedDecoder(), bytes);
  velk::CheckDecode(velk::PlainDictionaryDecoder(), bytes);

  bool opened_unverified = false;
  for (const bool verify : {false, true}) {
    auto reader = velk::StoreReader::Open(path, verify);
    if (!verify) opened_unverified = reader.ok();
    // The CRC check only adds a reason to refuse a file, and no other.
    if (verify && crc_right) FUZZ_CHECK(reader.ok() == opened_unverified);
    if (!reader.ok()) continue;
    if (verify) FUZZ_CHECK(opened_unverified);
    FUZZ_CHECK(reader.value().file_size() == size);
    velk::Exercise(reader.value(), bytes);
  }
  auto indexed = velk::StoreReader::OpenIndexed(path, velk::OpenCheck::kNone);
  if (indexed.ok() && indexed.value().indexed()) velk::ExerciseIndexed(indexed.value(), bytes);
  return 0;
}
