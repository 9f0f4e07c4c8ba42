#include "services/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace wendrix {
namespace {

TEST(PathHelpers, FolderNameExtensionAndTempFolder) {
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
  // The temporary folder is /tmp by default, or nothing when unusable. (%t shows that it is the
  // real folder, links resolved; an empty Path and %APPDIR%, that the program folder is this
  // program's.)
  testing::TempDir dir;
  testing::WriteFile(dir / "file", "");
  setenv("TMPDIR", (dir / "file").c_str(), 1);
  EXPECT_EQ(TempFolder(), "");
  unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), std::filesystem::canonical("/tmp").string() + "/");
}

}  // namespace
}  // namespace wendrix
