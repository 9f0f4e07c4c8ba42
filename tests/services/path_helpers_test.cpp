#include "services/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace wendrix {
namespace {

TEST(PathHelpers, PartsOfAPathAndTheTempFolder) {
  struct Case {
    const char *path, *folder, *stem, *extension;
  };
  // The rest (a folder, a leading dot, only "/" separating) is where the placeholders show
  // them, in wendrix-run's transcript.
  const Case cases[] = {{"name.", "", "name.", ""},
                        {"/d/old.file copy", "/d/", "old.file copy", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
    EXPECT_EQ(std::string(FolderPart(c.path)) + std::string(NamePart(c.path, false)), c.path);
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
