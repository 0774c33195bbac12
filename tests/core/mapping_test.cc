#include <dirent.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/reader/mapping.h"
#include "store_bytes.h"

namespace velk {
namespace {

using testfiles::TempDir;

int OpenFdCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

TEST(Mapping, MapsContentsAndClosesTheDescriptor) {
  TempDir dir;
  const std::string path = dir.Write("f", "hello mapping");
  const std::string missing = dir.Path("missing");
  const int before = OpenFdCount();
  {
    auto m = Mapping::Open(path);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(OpenFdCount(), before);  // the mapping alone keeps the data
    Mapping moved = std::move(m).value();
    EXPECT_EQ(testfiles::AsString(moved.bytes()), "hello mapping");

    Mapping other;
    other = std::move(moved);
    EXPECT_EQ(moved.size(), 0u);
    EXPECT_EQ(testfiles::AsString(other.bytes()), "hello mapping");

    EXPECT_FALSE(Mapping::Open(missing).ok());
    EXPECT_FALSE(Mapping::Open(dir.Path("")).ok());
  }
  EXPECT_EQ(OpenFdCount(), before);  // failure paths leak nothing either
}

TEST(Mapping, EmptyFileGivesEmptyView) {
  TempDir dir;
  auto m = Mapping::Open(dir.Write("empty", ""));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().size(), 0u);
  EXPECT_TRUE(m.value().bytes().empty());
}

}  // namespace
}  // namespace velk
