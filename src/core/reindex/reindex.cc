#include "core/reindex/reindex.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

#include "core/base/crc32.h"
#include "core/format/extension.h"
#include "core/reader/store_reader.h"
#include "core/writer/commit.h"

namespace velk {

Result<BuildResult> Reindex(const std::string& given) {
  // A link names the file to index: the new file replaces that file, and
  // the link keeps pointing at it.
  if (given.find('\0') != std::string::npos) return StoreError(Reason::kOpen, "path contains a NUL byte", given);
  std::string path = given;
  if (std::unique_ptr<char, decltype(&std::free)> real(::realpath(given.c_str(), nullptr), &std::free); real) {
    path = real.get();
  } else if (errno != ENOENT) {
    // A path that cannot be resolved (too long, a loop) would be compared
    // below through its link and at the commit without it.
    return StoreError::Os(Reason::kOpen, errno, given);
  }
  // The file mapped is the one named before and after the open: the
  // commit then replaces only that file, never one another build put in
  // its place while this one ran.
  auto before = writer::IdentifyFile(path);
  if (!before.ok()) return std::move(before).error();
  // Through the in-memory index: the lazy reader would check only what it
  // reads, and every entry is read here.
  auto opened = StoreReader::Open(path, /*verify=*/true);
  if (!opened.ok()) return std::move(opened).error().WithPath(path);
  auto after = writer::IdentifyFile(path);
  if (!after.ok()) return std::move(after).error();
  if (!(after.value() == before.value())) return StoreError(Reason::kTargetChanged, {}, path);
  const StoreReader& r = opened.value();
  VELK_TRY(r.Verify());

  const Bytes file = r.file();
  Header header;
  header.num_keys = r.num_keys();
  header.num_objects = r.num_objects();
  header.index_offset = r.index_offset();
  // The records keys can name end where an old extension area begins.
  uint64_t data_end = header.index_offset;
  uint64_t objects = header.num_objects;
  // A compressed file's dictionary goes with it into the new extension area:
  // without it its values could not be read.
  std::vector<std::byte> compression;
  auto located = LocateDirectory(file, header);
  if (!located.ok()) return std::move(located).error().WithPath(path);
  if (located.value()) {
    auto dir = ReadDirectory(file, header, *located.value());
    if (!dir.ok()) return std::move(dir).error().WithPath(path);
    // The new area keeps only the sections it knows: one the values need
    // and this version does not know must not be dropped.
    if (auto known = CheckRequiredSections(dir.value()); !known.ok()) return std::move(known).error().WithPath(path);
    data_end = dir.value().extension_start;
    if (const SectionDescriptor* c = dir.value().Find(SectionKind::kCompression)) {
      auto section = GatherSection(file, *c);
      if (!section.ok()) return std::move(section).error().WithPath(path);
      compression = std::move(section).value();
    }
    // The sections' records, one after the other, and the directory's fill
    // the old area, as a writer lays them out; then the records before it
    // number num_objects less these (verify() counted them all).
    std::vector<SectionDescriptor> sections = dir.value().sections;
    std::sort(sections.begin(), sections.end(),
              [](const SectionDescriptor& a, const SectionDescriptor& b) {
                return std::tie(a.first_record, a.length) < std::tie(b.first_record, b.length);
              });
    uint64_t at = data_end;
    uint64_t records = 1;
    for (const SectionDescriptor& s : sections) {
      if (s.first_record != at) break;
      at += s.record_count() * kRecordHeaderSize + s.length;
      records += s.record_count();
    }
    if (at != *located.value() || records > objects)
      return StoreError::Corrupt("extension area holds records its directory does not describe").WithPath(path);
    objects -= records;
  }

  const Bytes data = file.subspan(kHeaderSize, data_end - kHeaderSize);
  const Bytes index = file.subspan(header.index_offset);
  ExtensionSections sections = BuildExtensionSections(index, header.num_keys, data_end);
  sections.compression = std::move(compression);
  const ExtensionArea area =
      LayOutExtension(sections, data_end, header.num_keys, static_cast<uint32_t>(objects), index.size());
  if (objects + area.record_count > kMaxCount)
    return StoreError(Reason::kTooMany, "too many objects to add the lookup index").WithPath(path);

  Header out;
  out.num_keys = header.num_keys;
  out.num_objects = static_cast<uint32_t>(objects + area.record_count);
  out.index_offset = data_end + area.records.size();
  const uint32_t data_crc = Crc32Wide(data);
  out.file_crc32 = Crc32(index, Crc32(area.records, data_crc));
  std::array<std::byte, kHeaderSize> head;
  out.EncodeTo(head.data());
  MarkExtension(head.data(), area.directory_length);
  const std::vector<Bytes> parts = {head, data, area.records, index};
  VELK_TRY(writer::CommitFile(path, parts, writer::TempNaming::kUnique, &before.value()));
  return BuildResult{objects, header.num_keys, out.index_offset + index.size(), out.file_crc32};
}

}  // namespace velk
