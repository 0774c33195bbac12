// What the header claims about the file's layout, checked against the file.
// The header lies outside the whole-file CRC, so verification confirms its
// counts and the index offset from the sections themselves.
#pragma once

#include <cstdint>

#include "core/format/format.h"
#include "core/base/status.h"
#include "core/reader/key_list.h"

namespace velk {

// file is the whole mapped file (at least kHeaderSize bytes); keys the
// num_keys entries loaded from index_offset.  Checks that the object
// records lie end to end from kHeaderSize up to index_offset (up to the end
// of the file when there are no keys) and number num_objects, and that the
// index entries end exactly at the end of the file.  Each failure is its
// own Corrupt error.
// The least size the header at the start of file claims for it: the index
// offset plus the smallest index of num_keys entries; 0 when file holds no
// decodable header.  A file shorter than that was cut short (a failed
// copy, a full disk), which tells more than the checksum it fails.
uint64_t ClaimedMinimumSize(Bytes file);

Result<void> CheckHeaderClaims(Bytes file, uint32_t num_keys, uint32_t num_objects,
                               uint64_t index_offset, const KeyList& keys);

}  // namespace velk
