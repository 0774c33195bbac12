// The extension area: what a store file may carry beyond keys and objects
// (the lookup index, check sums over index blocks, later additions), in a
// form every reader of the base layout accepts.
//
// The extension area is a run of object records that no key names, at the
// end of the data section.  Each is an ordinary record (length, CRC of the
// payload, payload), counted in num_objects, so the base layout's readers
// walk it, check it and never hand it out.  It holds:
//
//   section records ... | directory record | index section
//
// A section is a byte string cut into records of record_size payload
// bytes (the last may be shorter).  Its byte i lies in record
// i / record_size, so any part of it is found without a walk, and each
// record's CRC checks it on its own: a reader checks a record the first
// time it uses it.
//
// The directory is the last record before index_offset.  The header
// points at it from bytes the base layout never reads: bit 0 of byte 5
// says an extension area is present, and bytes 36-39 hold the directory
// record's payload length, so the directory's record starts at
// index_offset - 8 - that length.  The directory repeats the header fields
// it vouches for (the header lies outside every CRC) and lists the
// sections.  See docs/format.md for the byte layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/status.h"
#include "core/format/format.h"

namespace velk {

// Header bytes the base layout leaves to later versions.
inline constexpr size_t kFeatureFlagsOffset = 5;       // u8, bit 0: extension area present
inline constexpr uint8_t kFeatureExtension = 0x01;
inline constexpr size_t kDirectoryLengthOffset = 36;   // u32: directory record's payload length

inline constexpr char kDirectoryMagic[4] = {'V', 'L', 'K', 'X'};
inline constexpr uint16_t kDirectoryVersion = 1;
// magic 4 + version 2 + section count 2 + num_keys 4 + num_objects 4 +
// index_offset 8 + index length 8 + extension start 8.
inline constexpr size_t kDirectoryFixedSize = 40;
// kind 2 + flags 2 + record size 4 + first record 8 + length 8 + parameter 8.
inline constexpr size_t kSectionDescriptorSize = 32;

// Every section this writer makes is cut into records of this size; the
// index section is checked in blocks of the same size.  Independent of the
// page size, so a file reads the same on any machine.
inline constexpr uint32_t kExtensionRecordSize = 4096;
inline constexpr uint32_t kIndexCheckBlock = 4096;

enum class SectionKind : uint16_t {
  kLookup = 1,      // hash lookup of keys, and fences for ordered scans
  kIndexCrcs = 2,   // CRC-32 of each parameter-sized block of the index section
  kCompression = 3, // values are stored compressed: codec and dictionary (core/base/compressed_value.h)
};

// Section flag: a reader that does not know the section cannot read the
// values correctly and must refuse the file.  Unknown sections without it
// are skipped.
inline constexpr uint16_t kSectionRequired = 0x0001;

struct SectionDescriptor {
  uint16_t kind = 0;
  uint16_t flags = 0;
  uint32_t record_size = 0;    // payload bytes of each record but the last
  uint64_t first_record = 0;   // absolute offset of the section's first record
  uint64_t length = 0;         // the section's bytes, all records together
  uint64_t parameter = 0;      // meaning given by the kind

  // Records the section takes, and the file bytes they span.
  uint64_t record_count() const { return length == 0 ? 0 : (length - 1) / record_size + 1; }
  uint64_t span() const { return length + kRecordHeaderSize * record_count(); }
};

struct Directory {
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;     // every record, the extension's included
  uint64_t index_offset = 0;
  uint64_t index_length = 0;    // the index section runs to the end of the file
  uint64_t extension_start = 0; // first record of the extension area
  std::vector<SectionDescriptor> sections;

  std::vector<std::byte> Encode() const;
  // Checks magic, version and that every section lies inside the extension
  // area, before the directory's own record (at directory_record).
  static Result<Directory> Decode(Bytes payload, uint64_t directory_record);

  const SectionDescriptor* Find(SectionKind kind) const;
};

// Where a file's directory record lies, from its header alone: nullopt for
// a file without an extension area; an error when the header points
// outside the data section, or gives a directory length without the flag.
Result<std::optional<uint64_t>> LocateDirectory(Bytes file, const Header& header);

// An error when dir holds a section flagged required of a kind this
// version does not know: its values cannot be read correctly, nor the file
// rewritten without the section.
Result<void> CheckRequiredSections(const Directory& dir);

// A section's bytes, its records gathered and each checked against its
// CRC (for a small section needed whole, as the compression dictionary).
Result<std::vector<std::byte>> GatherSection(Bytes file, const SectionDescriptor& s);

// Reads and checks the directory of a file whose header flags one:
// the record's bounds and CRC, the directory's own checks, and that the
// header and the file size agree with it.
Result<Directory> ReadDirectory(Bytes file, const Header& header, uint64_t directory_record);

// ---- the lookup section ----------------------------------------------------
//
//   0  u64  hash seed
//   8  u32  home block count H (at least 1)
//  12  u8   position width W (bytes of an entry position, 1 to 8)
//  13  u8   fence interval, as a power of two
//  14  u16  layout: 1 (0: the bucket directory of earlier files, no
//           longer read in place; such a file's index is loaded at open)
//  16  u32  block count B (at least H)
//  20  u32  reserved, zero
//  24  num_keys x W-byte position   positions, in block order
//      ceil(num_keys / fence interval) x W-byte position   fences
//      the blocks, each where the file offset is a multiple of 64, none
//      across a record (below)
//
// A key's hash h is XXH3-64 of its bytes under the seed; its home block is
// the high 64 bits of h x H, its fingerprint the low 16 bits of h.  A
// block is 64 bytes: up to 29 big-endian u16 fingerprints, a u8 holding
// their count and, in bit 7, "keys whose home is this block or one before
// go on in the next block", a reserved byte, and the big-endian u32 index
// of its first slot's position.  Keys fill the blocks in the order of
// their home blocks (key order within one), each in its home block or the
// first one after it with room.  The record where the fences end holds
// as many blocks as fit after them, from the first file offset there that
// is a multiple of 64; each later record holds kBlocksPerRecord, from the
// first such offset of its payload (0 to 63 bytes of padding).  So a
// block is one cache line and lies in one record, and a lookup that finds
// no key reads one line.  A position is
// an entry's offset from index_offset.  Fence j is the position of entry
// j x interval.
inline constexpr size_t kLookupHeaderSize = 24;
inline constexpr unsigned kFenceShift = 4;  // a fence every 16 entries
inline constexpr uint16_t kLookupLayout = 1;
inline constexpr size_t kFingerprintSize = 2;
inline constexpr size_t kBlockSize = 64;
inline constexpr unsigned kBlockSlots = 29;
inline constexpr size_t kBlockMeta = 58;      // count | kBlockOverflow
inline constexpr size_t kBlockBase = 60;      // u32: index of the first slot's position
inline constexpr uint8_t kBlockOverflow = 0x80;
// Blocks in each record after the one where the fences end: what fits
// after the most padding a record can need (63 bytes).
inline constexpr uint64_t kBlocksPerRecord = (kExtensionRecordSize - (kBlockSize - 1)) / kBlockSize;

struct LookupGeometry {
  uint64_t seed = 0;
  uint32_t homes = 1;
  uint32_t blocks = 1;
  uint8_t position_width = 1;
  uint8_t fence_shift = kFenceShift;
  uint32_t num_keys = 0;
  uint64_t first_record = 0;  // file offset of the section's first record

  uint64_t fence_count() const { return num_keys == 0 ? 0 : ((uint64_t{num_keys} - 1) >> fence_shift) + 1; }
  uint64_t positions_at() const { return kLookupHeaderSize; }
  uint64_t fences_at() const { return positions_at() + uint64_t{position_width} * num_keys; }
  // Where the blocks start: right after the fences, in the first whole
  // 64 bytes of the file.
  uint64_t blocks_from() const { return fences_at() + uint64_t{position_width} * fence_count(); }
  // Bytes from offset at of the section to the next file offset that is a
  // multiple of 64 (at in a record's payload).
  uint64_t Padding(uint64_t at) const {
    const uint64_t r = at / kExtensionRecordSize;
    const uint64_t file = first_record + r * (kRecordHeaderSize + kExtensionRecordSize) + kRecordHeaderSize +
                          at % kExtensionRecordSize;
    return (kBlockSize - file % kBlockSize) % kBlockSize;
  }
  // Blocks in the record where the fences end, after them.
  uint64_t lead_blocks() const {
    const uint64_t from = blocks_from();
    const uint64_t room = kExtensionRecordSize - from % kExtensionRecordSize;
    const uint64_t pad = Padding(from);
    return room > pad ? (room - pad) / kBlockSize : 0;
  }
  // Offset of block b in the section: blocks never cross a record.
  uint64_t BlockAt(uint64_t b) const {
    const uint64_t from = blocks_from();
    const uint64_t lead = lead_blocks();
    if (b < lead) return from + Padding(from) + kBlockSize * b;
    b -= lead;
    const uint64_t r = from / kExtensionRecordSize + 1 + b / kBlocksPerRecord;
    return r * kExtensionRecordSize + Padding(r * kExtensionRecordSize) + kBlockSize * (b % kBlocksPerRecord);
  }
  uint64_t length() const { return BlockAt(uint64_t{blocks} - 1) + kBlockSize; }

  // The header's fields, and whether they fit a section s over num_keys
  // keys.  nullopt for a section of the earlier layout.
  static Result<std::optional<LookupGeometry>> Decode(Bytes header, uint32_t num_keys, const SectionDescriptor& s);
};

uint64_t LookupHash(std::string_view key, uint64_t seed);
inline uint32_t HomeOf(uint64_t hash, uint32_t homes) {
  __extension__ typedef unsigned __int128 U128;
  return static_cast<uint32_t>((static_cast<U128>(hash) * homes) >> 64);
}
inline uint16_t FingerprintOf(uint64_t hash) { return static_cast<uint16_t>(hash); }
// The layout field of a lookup section's header (its first 16 bytes).
uint16_t LookupLayoutOf(Bytes header);

// Big-endian unsigned of width bytes (1 to 8).
uint64_t LoadUnsigned(const std::byte* p, unsigned width);

// ---- building the extension area ---------------------------------------------

// The sections for an index section of num_keys entries, ready to be cut
// into records: the lookup section and the index block CRCs.  index is the
// whole index section, entries in key order; the lookup section's records
// start at lookup_at.  A pure function of its input.  With layout 0, the
// lookup section of the earlier layout (for verify() of such a file).
struct ExtensionSections {
  std::vector<std::byte> lookup;
  std::vector<std::byte> index_crcs;
  std::vector<std::byte> compression;  // empty when values are stored as given
};
ExtensionSections BuildExtensionSections(Bytes index, uint32_t num_keys, uint64_t lookup_at,
                                         uint16_t layout = kLookupLayout);

// The records of the extension area, to be placed at extension_start:
// each section cut into records (the lookup section's first, at
// extension_start), then the directory record.  num_objects
// counts the records before extension_start.  Fills header_extra with the
// flag byte and the directory length for the header.
struct ExtensionArea {
  std::vector<std::byte> records;  // serialised records, ready to write
  uint32_t record_count = 0;
  uint32_t directory_length = 0;
};
ExtensionArea LayOutExtension(const ExtensionSections& sections, uint64_t extension_start,
                              uint32_t num_keys, uint32_t user_objects, uint64_t index_length);

// Sets the header bytes that point at the directory.
void MarkExtension(std::byte* header, uint32_t directory_length);

}  // namespace velk
