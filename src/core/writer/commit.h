// The atomic commit of a finished file: written under a temporary name in
// the target's directory, synced, then renamed over the target, so the
// target path always holds either the old or the new complete file.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/format/format.h"
#include "core/base/status.h"

namespace velk::writer {

// The suffix of every temporary file a build writes.
inline constexpr std::string_view kTempSuffix = ".vlks.tmp";

// The temporary name's stem: the target without the final component's
// extension.  nullopt for a path with no final name component (empty, "/",
// a trailing "/", "." or ".."), which names a directory or nothing.
std::optional<std::string_view> TempStemFor(std::string_view target);

// The temporary path of a build: the stem and kTempSuffix, or the target
// unchanged when it has no stem, so that creating the file fails for it.
std::string TempPathFor(std::string_view target);

enum class TempNaming {
  // TempPathFor(target), a name fixed by the target.  A stale file there is
  // replaced; a name held by a live build fails at once (see CommitFile).
  // A failed commit leaves its temporary file behind.
  kDerived,
  // A fresh name in the target's directory, created exclusively, so two
  // commits never meet.  A failed commit removes its temporary file.
  kUnique,
  // kUnique, in a directory that only the caller's own builds write in
  // (one made for them), so no killed build has left anything there to
  // reclaim and the directory is not read for it: a build of many files
  // into one directory would read it once per file.
  kUniqueUnshared,
};

// Writes parts, in order, as the new content of target and commits it.
//
// Before anything is written: a path holding a NUL byte fails
// (kCreateTemp), and an existing target that is a device, FIFO or socket
// is refused (kNotReplaceable).  A directory, a symbolic link (the rename
// replaces the link) or an absent target go on; failures then surface at
// their own step.
//
// The temporary file is created exclusively and never through a link.
// With kDerived it holds an exclusive advisory lock from its creation until
// after the rename; a stale regular file at the name is removed first, one
// whose lock is held fails at once (kLocked), and any other kind of entry
// there is refused (kTempNotFile).  An existing regular target's permission
// bits are kept on the new file, and the temporary file is never more open
// than the final file.
//
// Each step fails with its own reason and the path it concerns:
// kCreateTemp creating the temporary file; kWrite writing, flushing,
// syncing or closing it; kSyncDir opening its directory (before the rename,
// target untouched); kRename; and, after the rename, kNotDurable when
// syncing the directory fails: the target is replaced by then.
//
// With replaces, the commit is of a new version of that file: when target
// no longer names it just before the rename (another build replaced it
// meanwhile), the commit fails with kTargetChanged and leaves target as
// it is, so that the other build's file is not lost.
struct FileId {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const FileId&) const = default;
};
Result<void> CommitFile(std::string_view target, std::span<const Bytes> parts, TempNaming naming,
                        const FileId* replaces = nullptr);

// The identity of the file path names (links followed).
Result<FileId> IdentifyFile(const std::string& path);

// How many parts ahead a pass over the parts of a file starts loading them
// (PrefetchPart).
inline constexpr size_t kPartsAhead = 8;

// Starts loading the first bytes of a part of a file.  A layout in key
// order is mostly short runs at random places of the staged data, each
// otherwise a cache miss waited for by the pass over its bytes, once for
// the file's CRC and once more for the write.  Always inlined: on its own,
// a function whose only effect is a prefetch counts as one without
// effects, and its calls would be deleted.
[[gnu::always_inline]] inline void PrefetchPart(Bytes part) {
  constexpr size_t kLine = 64;
  __builtin_prefetch(part.data());
  if (part.size() > kLine) __builtin_prefetch(part.data() + kLine);
}

}  // namespace velk::writer
