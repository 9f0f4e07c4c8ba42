#include "services/directory_listing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

using testing::TempDir;
using testing::WriteFile;

using Entries = std::vector<std::pair<std::string, int>>;

// Every entry of the listing, "." and ".." left out; {"<none>"} when there is no listing.
Entries List(const std::string& folder, const std::string& pattern) {
  Listing* listing = ListingOpen(folder, pattern);
  if (listing == nullptr) return {{"<none>", EntryKindNone}};
  Entries entries;
  while (ListingNext(listing)) {
    const std::string name = ListingEntryName(listing);
    if (name != "." && name != "..") entries.emplace_back(name, ListingEntryKind(listing));
  }
  ListingClose(listing);
  return entries;
}

TEST(Listing, DeliversDotEntriesAndSortsByFoldedNameThenBytes) {
  TempDir dir;
  for (const char* name : {"b", "B", "a.txt", "C", "_x", "A.txt"}) WriteFile(dir / name, "");
  Listing* listing = ListingOpen(dir.Path(), "");
  ASSERT_NE(listing, nullptr);
  std::vector<std::string> names;
  while (ListingNext(listing)) names.push_back(ListingEntryName(listing));
  ListingClose(listing);
  // Letters fold to lower case, so "_" sorts before them.
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "_x", "A.txt", "a.txt", "B", "b", "C"}));
}

TEST(Listing, KindsFollowLinks) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  WriteFile(dir / "file", "x");
  symlink("folder", (dir / "to_folder").c_str());
  symlink("file", (dir / "to_file").c_str());
  symlink("nowhere", (dir / "dangling").c_str());
  EXPECT_EQ(List(dir / "", "*.*"), (Entries{{"dangling", EntryKindFile},
                                            {"file", EntryKindFile},
                                            {"folder", EntryKindFolder},
                                            {"to_file", EntryKindFile},
                                            {"to_folder", EntryKindFolder}}));
}

TEST(Listing, PatternSelectsEntriesAndNoMatchIsAnEmptyListing) {
  TempDir dir;
  for (const char* name : {"photo.jpg", "PIC.JPG", "README", "notes.txt"})
    WriteFile(dir / name, "");
  EXPECT_EQ(List(dir.Path(), "*.JPG"),
            (Entries{{"photo.jpg", EntryKindFile}, {"PIC.JPG", EntryKindFile}}));
  EXPECT_EQ(List(dir.Path(), "*."), (Entries{{"README", EntryKindFile}}));
  // The folder path without a trailing separator works the same.
  EXPECT_EQ(List(dir / "", "readme"), (Entries{{"README", EntryKindFile}}));
  EXPECT_EQ(List(dir.Path(), "*.png"), Entries{});
  Listing* listing = ListingOpen(dir.Path(), "*.png");
  ASSERT_NE(listing, nullptr);
  EXPECT_FALSE(ListingNext(listing));
  ListingClose(listing);
}

TEST(Listing, SeparatorInThePatternMovesTheFolder) {
  TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  WriteFile(dir / "sub/inner.jpg", "");
  WriteFile(dir / "outer.jpg", "");
  EXPECT_EQ(List(dir.Path(), "sub/*.jpg"), (Entries{{"inner.jpg", EntryKindFile}}));
}

TEST(Listing, EmptyFolderPathIsTheCurrentFolder) {
  TempDir dir;
  WriteFile(dir / "doc", "");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  const Entries entries = List("", "doc");
  std::filesystem::current_path(old);
  EXPECT_EQ(entries, (Entries{{"doc", EntryKindFile}}));
}

TEST(Listing, FolderThatCannotBeListedGivesNone) {
  TempDir dir;
  WriteFile(dir / "file", "");
  EXPECT_EQ(ListingOpen(dir / "missing", ""), nullptr);
  EXPECT_EQ(ListingOpen(dir / "file", "*.*"), nullptr);
  EXPECT_FALSE(ListingNext(nullptr));
  EXPECT_EQ(ListingEntryKind(nullptr), EntryKindNone);
  EXPECT_EQ(ListingEntryName(nullptr), "");
  ListingClose(nullptr);
}

TEST(Listing, IdentityNamesTheFolderWhateverItsPath) {
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  symlink("real", (dir / "alias").c_str());
  Listing* listing = ListingOpen(dir / "alias", "");
  ASSERT_NE(listing, nullptr);
  FolderIdentity listed, probed, other;
  ASSERT_TRUE(ListingFolderIdentity(listing, &listed));
  ListingClose(listing);
  ASSERT_TRUE(PathIdentity(dir / "real/", &probed));
  ASSERT_TRUE(PathIdentity(dir.Path(), &other));
  EXPECT_EQ(listed, probed);
  EXPECT_FALSE(listed == other);
  EXPECT_FALSE(PathIdentity(dir / "missing", &other));
}

TEST(MakeFolder, CreatesExactlyOneLevel) {
  TempDir dir;
  EXPECT_TRUE(MakeFolder(dir / "copy/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "copy"));
  EXPECT_FALSE(MakeFolder(dir / "copy"));  // exists already
  EXPECT_FALSE(MakeFolder(dir / "new/deeper"));
  EXPECT_FALSE(std::filesystem::exists(dir / "new"));
  EXPECT_FALSE(MakeFolder(""));
  EXPECT_FALSE(MakeFolder("///"));
  // A trailing blank belongs to the name.
  EXPECT_TRUE(MakeFolder(dir / "x "));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "x "));
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));
}

TEST(ProbePath, TellsSizeFolderOrMissing) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  WriteFile(dir / "five", "12345");
  EXPECT_EQ(ProbePath(dir / "empty"), 0);
  EXPECT_EQ(ProbePath(dir / "five"), 5);
  EXPECT_EQ(ProbePath(dir / ""), ProbeFolder);
  EXPECT_EQ(ProbePath(dir.Path() + "//"), ProbeFolder);
  EXPECT_EQ(ProbePath("/"), ProbeFolder);
  EXPECT_EQ(ProbePath(dir / "missing"), ProbeMissing);
  EXPECT_EQ(ProbePath(""), ProbeMissing);
}

TEST(ProbePath, SizesBeyondFourGibibytes) {
  TempDir dir;
  const std::int64_t size = (std::int64_t{5} << 30) + 7;
  WriteFile(dir / "big", "");
  // Sparse: takes no space.
  ASSERT_EQ(truncate((dir / "big").c_str(), size), 0);
  EXPECT_EQ(ProbePath(dir / "big"), size);
}

}  // namespace
}  // namespace wendrix
