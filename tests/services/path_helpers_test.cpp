#include "services/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;

TEST(PathHelpers, PartsOfAPathTheTempFolderAndTheProgramsFolder) {
  struct Case {
    const char *path, *folder, *stem, *extension;
  };
  const Case cases[] = {
      {"/d/archive.tar.gz", "/d/", "archive.tar", "gz"},
      {"/d/sub/", "/d/sub/", "", ""},
      {"/my.d/.profile", "/my.d/", ".profile", ""},
      {"name.", "", "name.", ""},
      {"/d/old.file copy", "/d/", "old.file copy", ""},
      {"a\\b|c\"d.e", "", "a\\b|c\"d", "e"},  // only "/" separates
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
    EXPECT_EQ(std::string(FolderPart(c.path)) + std::string(NamePart(c.path, false)), c.path);
    EXPECT_EQ(NamePart(c.path, true), c.stem) << c.path;
    EXPECT_EQ(ExtensionPart(c.path), c.extension) << c.path;
  }
  // The temporary folder is the real one, or nothing when unusable.
  testing::TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  testing::WriteFile(dir / "file", "");
  setenv("TMPDIR", (dir / "link").c_str(), 1);
  EXPECT_EQ(TempFolder(), fs::canonical(dir / "real").string() + "/");
  setenv("TMPDIR", (dir / "file").c_str(), 1);
  EXPECT_EQ(TempFolder(), "");
  unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), fs::canonical("/tmp").string() + "/");
  EXPECT_TRUE(fs::exists(ProgramFolder() + "path_helpers_test"));
}

}  // namespace
}  // namespace wendrix
