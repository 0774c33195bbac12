// The atomic commit of a finished file: written under a temporary name in
// the target's directory, synced, then renamed over the target, so the
// target path always holds either the old or the new complete file.
#pragma once

#include <span>
#include <string_view>

#include "core/format/format.h"
#include "core/base/status.h"

namespace velk::writer {

enum class TempNaming {
  // TempPathFor(target), a name fixed by the target.  A stale file there is
  // replaced; a name held by a live build fails at once (see CommitFile).
  // A failed commit leaves its temporary file behind.
  kDerived,
  // A fresh name in the target's directory, created exclusively, so two
  // commits never meet.  A failed commit removes its temporary file.
  kUnique,
};

// Writes parts, in order, as the new content of target and commits it.
//
// Before anything is written: a path holding a NUL byte fails ("open tmp:
// path contains a NUL byte"), and an existing target that is a device,
// FIFO or socket is refused ("cannot replace {target}: not a regular
// file").  A directory, a symbolic link (the rename replaces the link) or
// an absent target go on; failures then surface at their own step.
//
// The temporary file is created exclusively and never through a link, and
// holds an exclusive advisory lock from its creation until after the
// rename.  With kDerived, a stale entry at the name is removed first; one
// whose lock is held fails with "another build is in progress: {tmp} is
// locked", without waiting.  An existing regular target's permission bits
// are kept on the new file, and the temporary file is never more open
// than the final file.
//
// Steps and their messages: "open tmp: {os}" creating the temporary file;
// the os error alone writing, flushing or syncing it; "sync dir: {os}"
// opening its directory (before the rename, target untouched); "rename:
// {os}"; and, after the rename, "sync dir: {target} was replaced but may
// not be durable: {os}" when syncing the directory fails.
Result<void> CommitFile(std::string_view target, std::span<const Bytes> parts, TempNaming naming);

}  // namespace velk::writer
