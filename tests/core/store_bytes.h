// Test helpers: store files assembled byte by byte (independent of the
// writer), and a scratch directory that removes itself.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/crc32.h"
#include "core/format/format.h"

namespace velk::testfiles {

inline void PutBE(std::string& out, uint64_t v, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

inline uint32_t CrcOf(std::string_view s) { return Crc32(AsBytes(s)); }

// Header fields left unset are derived from the content, as the writer
// would write them; set one to produce a deliberately wrong file.
class StoreBytes {
 public:
  // Appends an object record and returns its offset.
  uint64_t AddObject(std::string_view payload, std::optional<uint32_t> crc = std::nullopt) {
    const uint64_t offset = kHeaderSize + data_.size();
    PutBE(data_, payload.size(), 4);
    PutBE(data_, crc.value_or(CrcOf(payload)), 4);
    data_.append(payload);
    ++objects_;
    return offset;
  }
  // Appends an index entry; entries stay in call order.
  StoreBytes& AddKey(std::string_view key, uint64_t offset) {
    PutBE(index_, key.size(), 2);
    index_.append(key);
    PutBE(index_, offset, 8);
    ++keys_;
    return *this;
  }

  std::string Build() const {
    std::string body = data_ + index_ + trailer;
    std::string out = "VLKS";
    out.push_back(static_cast<char>(version));
    out.append(reserved_after_version);
    PutBE(out, num_keys.value_or(keys_), 4);
    PutBE(out, num_objects.value_or(objects_), 4);
    PutBE(out, index_offset.value_or(kHeaderSize + data_.size()), 8);
    PutBE(out, data_offset, 8);
    PutBE(out, file_crc32.value_or(CrcOf(body)), 4);
    out.append(reserved_tail);
    return out + body;
  }

  uint8_t version = kFormatVersion;
  std::string reserved_after_version = std::string(3, '\0');  // must stay 3 bytes
  std::string reserved_tail = std::string(4, '\0');           // must stay 4 bytes
  uint64_t data_offset = kHeaderSize;
  std::optional<uint32_t> num_keys, num_objects, file_crc32;
  std::optional<uint64_t> index_offset;
  std::string trailer;  // bytes after the index section (covered by the CRC)

 private:
  std::string data_, index_;
  uint32_t keys_ = 0, objects_ = 0;
};

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velk-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(std::string_view name) const { return (path_ / name).string(); }
  std::string Write(std::string_view name, std::string_view bytes) const {
    const std::string p = Path(name);
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::filesystem::path path_;
};

// The two-object, three-key example file, written out by hand.
inline std::string ExampleFile() {
  const unsigned char bytes[] = {
      0x56, 0x4C, 0x4B, 0x53, 0x02, 0x00, 0x00, 0x00,  // magic, version
      0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02,  // num_keys, num_objects
      0, 0, 0, 0, 0, 0, 0, 0x3B,                       // index_offset 59
      0, 0, 0, 0, 0, 0, 0, 0x28,                       // data_offset 40
      0x5A, 0x0D, 0x97, 0x48, 0, 0, 0, 0,              // file_crc32, reserved
      0, 0, 0, 3, 0x35, 0x24, 0x41, 0xC2, 'a', 'b', 'c',  // @40 "abc"
      0, 0, 0, 0, 0, 0, 0, 0,                          // @51 empty object
      0, 1, 'a', 0, 0, 0, 0, 0, 0, 0, 0x33,            // "a"  -> 51
      0, 2, 'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0x28,       // "ab" -> 40
      0, 1, 'b', 0, 0, 0, 0, 0, 0, 0, 0x28,            // "b"  -> 40
  };
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

inline std::string AsString(Bytes b) { return std::string(AsChars(b)); }

}  // namespace velk::testfiles
