#include "services/path_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "test_support.h"

namespace wendrix {
namespace {

TEST(PathParts, FolderPart) {
  EXPECT_EQ(FolderPart("C:\\data\\photo.jpg"), "C:\\data\\");
  EXPECT_EQ(FolderPart("C:/data/photo.jpg"), "C:/data/");
  EXPECT_EQ(FolderPart("/home/u/a.b/c"), "/home/u/a.b/");
  EXPECT_EQ(FolderPart("photo.jpg"), "");
  EXPECT_EQ(FolderPart("C:\\data\\sub\\"), "C:\\data\\sub\\");
  EXPECT_EQ(FolderPart("a|b\\c"), "");
  EXPECT_EQ(FolderPart("a\\b|c\\d"), "a\\");
  EXPECT_EQ(FolderPart("\"C:\\my dir\\x.exe\" -y"), "C:\\my dir\\");
  EXPECT_EQ(FolderPart(""), "");
}

TEST(PathParts, NamePartWithAndWithoutExtension) {
  struct Case {
    const char* path;
    const char* name;
    const char* stem;
  };
  const Case cases[] = {
      {"photo.jpg", "photo.jpg", "photo"},
      {"C:\\data\\archive.tar.gz", "archive.tar.gz", "archive.tar"},
      {"/x/.profile", ".profile", ".profile"},
      {"name.", "name.", "name."},
      {"my file.txt", "my file.txt", "my file"},
      {"old.file copy", "old.file copy", "old.file copy"},
      {"README", "README", "README"},
      {"C:\\data\\sub\\", "", ""},
      {"\"quoted.txt\"", "quoted.txt", "quoted"},
      {"C:\\a\\b.c\" -x", "b.c", "b"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NamePart(c.path, false), c.name) << c.path;
    EXPECT_EQ(NamePart(c.path, true), c.stem) << c.path;
  }
}

TEST(PathParts, ExtensionPartAgreesWithNamePart) {
  struct Case {
    const char* path;
    const char* extension;
  };
  const Case cases[] = {
      {"C:\\data\\photo.jpg", "jpg"},
      {"archive.tar.gz", "gz"},
      {"C:\\my.folder\\file", ""},
      {"/my.folder/file", ""},
      {"C:\\data\\.profile", ""},
      {".profile", ""},
      {"name.", ""},
      {"old.file copy", ""},
      {"C:\\data\\sub\\", ""},
      {"\"C:\\x\\y.txt\"", "txt"},
      {"x.", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    const std::string extension = ExtensionPart(c.path);
    EXPECT_EQ(extension, c.extension) << c.path;
    // What NamePart cuts off is exactly the dot and the extension.
    const std::string name = NamePart(c.path, false);
    const std::string stem = NamePart(c.path, true);
    EXPECT_EQ(name, extension.empty() ? stem : stem + "." + extension) << c.path;
  }
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(WellKnownFolders, HomeEndsWithASlash) {
  {
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(UserHomeFolder(), "/home/someone/");
  }
  {
    ScopedEnv home("HOME", "/");
    EXPECT_EQ(UserHomeFolder(), "/");
  }
  ScopedEnv home("HOME", nullptr);  // falls back to the account's entry
  const std::string from_passwd = UserHomeFolder();
  ASSERT_FALSE(from_passwd.empty());
  EXPECT_EQ(from_passwd.back(), '/');
}

TEST(WellKnownFolders, TempIsCanonicalExistingAndEndsWithASlash) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir / "real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  const std::string canonical = std::filesystem::canonical(dir / "real").string() + "/";
  {
    ScopedEnv tmp("TMPDIR", (dir / "link").c_str());
    EXPECT_EQ(TempFolder(), canonical);
  }
  {
    ScopedEnv tmp("TMPDIR", (dir / "missing").c_str());
    EXPECT_EQ(TempFolder(), "");
  }
  {
    testing::WriteFile(dir / "file", "x");
    ScopedEnv tmp("TMPDIR", (dir / "file").c_str());
    EXPECT_EQ(TempFolder(), "");
  }
  ScopedEnv tmp("TMPDIR", nullptr);
  EXPECT_EQ(TempFolder(), std::filesystem::canonical("/tmp").string() + "/");
}

TEST(WellKnownFolders, ProgramFileAndFolder) {
  const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  EXPECT_EQ(ProgramFilePath(), exe);
  EXPECT_EQ(ProgramFolder(), exe.substr(0, exe.rfind('/') + 1));
}

TEST(TextSearch, CountOccurrences) {
  EXPECT_EQ(CountOccurrences("a %d b %d", "%d"), 2);
  EXPECT_EQ(CountOccurrences("a %d b %d", "%D"), 0);
  EXPECT_EQ(CountOccurrences("aaaa", "aa"), 2);
  EXPECT_EQ(CountOccurrences("aaa", "aa"), 1);
  EXPECT_EQ(CountOccurrences("", "a"), 0);
  EXPECT_EQ(CountOccurrences("abc", ""), 0);
}

TEST(TextSearch, ReplaceAll) {
  EXPECT_EQ(ReplaceAll("\"%f\" %f", "%f", "/x y"), "\"/x y\" /x y");
  EXPECT_EQ(ReplaceAll("xx", "x", "xx"), "xxxx");
  EXPECT_EQ(ReplaceAll("%d", "%d", "a%db"), "a%db");
  EXPECT_EQ(ReplaceAll("aaaa", "aa", "b"), "bb");
  EXPECT_EQ(ReplaceAll("%F", "%f", "x"), "%F");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "b", ""), "ac");
}

}  // namespace
}  // namespace wendrix
