#include "services/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace wendrix {
namespace {

TEST(PathHelpers, FolderNameExtensionTempFolderAndTheRunningProgramsFolder) {
  struct Case {
    const char *path, *folder, *name, *stem, *extension;
  };
  const Case cases[] = {
      {"C:/data/archive.tar.gz", "C:/data/", "archive.tar.gz", "archive.tar", "gz"},
      {"C:\\data\\sub\\", "C:\\data\\sub\\", "", "", ""},
      {"\"C:\\my dir\\y.txt\" -x", "C:\\my dir\\", "y.txt", "y", ""},
      {"a|b\\c.d", "", "c.d", "c", "d"},  // the folder scan stops at "|"
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
    EXPECT_EQ(NamePart(c.path, false), c.name) << c.path;
    EXPECT_EQ(NamePart(c.path, true), c.stem) << c.path;
    EXPECT_EQ(ExtensionPart(c.path), c.extension) << c.path;
  }
  // The temporary folder is the real one, or nothing when unusable.
  testing::TempDir dir;
  std::filesystem::create_directory(dir / "real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  testing::WriteFile(dir / "file", "");
  setenv("TMPDIR", (dir / "link").c_str(), 1);
  EXPECT_EQ(TempFolder(), std::filesystem::canonical(dir / "real").string() + "/");
  setenv("TMPDIR", (dir / "file").c_str(), 1);
  EXPECT_EQ(TempFolder(), "");
  unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), std::filesystem::canonical("/tmp").string() + "/");
  // The program folder is the folder of the running program.
  const std::string folder = testing::ThisProgramFolder();
  ASSERT_EQ(folder, std::filesystem::path(folder).lexically_normal().string());
  EXPECT_TRUE(std::filesystem::exists(folder + "path_helpers_test"));
  EXPECT_EQ(ProgramFolder(), folder);
}

}  // namespace
}  // namespace wendrix
