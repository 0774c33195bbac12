#include "bind/error_table.h"

#include <cerrno>

namespace velk::bind {
namespace {

using enum Reason;
using P = PackageClass;

constexpr ErrorRow kRows[] = {
    {kTooSmall, "", P::kNotAStore, "", 0},
    {kBadMagic, "", P::kNotAStore, "", 0},
    {kFileCrc, "", P::kCorrupt, "", 0},
    {kObjectCrc, "", P::kCorrupt, "", 0},
    {kIndexTruncated, "", P::kCorrupt, "", 0},
    {kOutOfBounds, "", P::kCorrupt, "", 0},
    {kDamaged, "", P::kCorrupt, "", 0},
    {kVersion, "", P::kVersion, "", 0},
    {kOpen, "cannot open {path}", P::kOs, "", EIO},
    {kMmap, "mmap failed", P::kOs, "mmap failed", EIO},
    {kCreateTemp, "open tmp", P::kOs, "open tmp", EIO},
    {kTempNotFile, "open tmp: {path} is not a regular file", P::kOs, "open tmp: {path} is not a regular file", EIO},
    {kLocked, "another build is in progress: {path} is locked", P::kOs,
     "another build is in progress: {path} is locked", EWOULDBLOCK},
    {kNotReplaceable, "cannot replace {path}: not a regular file", P::kOs,
     "cannot replace {path}: not a regular file", EIO},
    {kWrite, "", P::kOs, "", EIO},
    {kSyncDir, "sync dir", P::kOs, "sync dir", EIO},
    {kRename, "rename", P::kOs, "rename", EIO},
    {kNotDurable, "sync dir: {path} was replaced but may not be durable", P::kOs,
     "sync dir: {path} was replaced but may not be durable", EIO},
    {kTargetChanged, "{path} was replaced by another build meanwhile; left as it is", P::kOs,
     "{path} was replaced by another build meanwhile; left as it is", EAGAIN},
    {kIo, "", P::kOs, "", EIO},
    {kKeyTooLong, "", P::kLimit, "", 0},
    {kObjectTooLarge, "", P::kLimit, "", 0},
    {kTooMany, "", P::kLimit, "", 0},
    {kBadObjectId, "", P::kLimit, "", 0},
    {kMisuse, "", P::kLimit, "", 0},
};

// The rows are in the enumeration's order, so a reason is its row's index.
constexpr bool InOrder() {
  for (size_t i = 0; i < std::size(kRows); ++i) {
    if (static_cast<size_t>(kRows[i].reason) != i) return false;
  }
  return std::size(kRows) == static_cast<size_t>(kMisuse) + 1;
}
static_assert(InOrder(), "one row per reason, in the order of the enumeration");

}  // namespace

const ErrorRow& RowFor(Reason reason) { return kRows[static_cast<size_t>(reason)]; }

std::string Compose(std::string_view head, const StoreError& err, std::string_view system_text) {
  std::string out;
  auto add = [&](std::string_view part) {
    if (part.empty()) return;
    if (!out.empty()) out += ": ";
    out += part;
  };
  const size_t at = head.find("{path}");
  add(at == std::string_view::npos
          ? std::string(head)
          : std::string(head.substr(0, at)) + err.path() + std::string(head.substr(at + 6)));
  add(err.detail());
  add(system_text);
  return out;
}

}  // namespace velk::bind
