#include "services/directory_listing.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFile;

// How many more entries a folder yields before its reading fails with EIO; -1: never.
int entries_before_failure = -1;

// "name:kind" for every entry, "." and ".." included; without a listing, why there is none.
std::string List(const std::string& folder, const std::string& pattern) {
  const ListingHandle listing = ListingOpen(folder, pattern);
  if (!listing) return "<" + std::string(std::strerror(errno)) + ">";
  std::string entries;
  while (ListingNext(listing.get())) {
    entries += ListingEntryName(listing.get()) + ":" +
               std::to_string(ListingEntryKind(listing.get())) + " ";
  }
  return entries;
}

TEST(Listing, SortedFoldedWithLinksTakenForWhatTheyPointAt) {
  TempDir dir;
  for (const char* name : {"b", "B", "a.txt", "_x", "A.txt", "README.txt", "readme"})
    WriteFile(dir / name, "");
  fs::create_directory(dir / "folder");
  WriteFile(dir / "folder/inner.JPG", "");
  symlink("folder", (dir / "to_folder").c_str());
  symlink("nowhere", (dir / "dangling").c_str());
  EXPECT_EQ(List(dir.Path(), ""),
            ".:2 ..:2 _x:1 A.txt:1 a.txt:1 B:1 b:1 dangling:1 folder:2 readme:1 README.txt:1 "
            "to_folder:2 ");
  EXPECT_EQ(List(dir / "", "*.TXT"), "A.txt:1 a.txt:1 README.txt:1 ");  // no second separator
  EXPECT_EQ(List(dir.Path(), "*."), "_x:1 B:1 b:1 dangling:1 folder:2 readme:1 to_folder:2 ");
  EXPECT_EQ(List(dir.Path(), "to_folder/*.jpg"), "inner.JPG:1 ");
  EXPECT_EQ(List(dir.Path(), "*.png"), "");  // a listing, without entries
  // A folder that cannot be listed gives none (locked ones: the job run's tests).
  EXPECT_EQ(List(dir / "missing", ""), "<" + std::string(std::strerror(ENOENT)) + ">");
  EXPECT_EQ(List(dir / "a.txt", ""), "<" + std::string(std::strerror(ENOTDIR)) + ">");
  // Nor does one that fails part-way: a shorter listing would silently drop entries.
  entries_before_failure = 3;
  EXPECT_EQ(List(dir.Path(), ""), "<" + std::string(std::strerror(EIO)) + ">");
  entries_before_failure = -1;
}

TEST(MakeFolderAndProbePath, OneLevelAndSizeFolderOrMissing) {
  TempDir dir;
  EXPECT_TRUE(MakeFolder(dir / "copy//"));
  EXPECT_FALSE(MakeFolder(dir / "new/deeper"));  // one level only
  EXPECT_TRUE(MakeFolder(dir / "x "));           // a trailing blank belongs to the name
  EXPECT_EQ(ProbePath(dir / "x "), ProbeFolder);
  WriteFile(dir / "big", "");
  const std::int64_t big = (std::int64_t{5} << 30) + 7;  // sparse: takes no space
  ASSERT_EQ(truncate((dir / "big").c_str(), big), 0);
  EXPECT_EQ(ProbePath(dir / "big"), big);
  EXPECT_EQ(ProbePath(dir / "copy//"), ProbeFolder);
  EXPECT_EQ(ProbePath(dir / "missing"), ProbeMissing);
}

}  // namespace
}  // namespace wendrix

// Every folder read of this program goes through here.
extern "C" dirent* readdir(DIR* dir) {
  static auto* const next = reinterpret_cast<dirent* (*)(DIR*)>(dlsym(RTLD_NEXT, "readdir"));
  if (wendrix::entries_before_failure == 0) {
    errno = EIO;
    return nullptr;
  }
  if (wendrix::entries_before_failure > 0) --wendrix::entries_before_failure;
  return next(dir);
}
