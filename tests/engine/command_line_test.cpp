#include "engine/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "services/path_helpers.h"

namespace wendrix {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheCommandLineRules) {
  struct Case {
    std::string line;
    Words words;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"   \t ", {}},
      {"a b  c", {"a", "b", "c"}},
      {"a\tb", {"a", "b"}},
      {" lead trail ", {"lead", "trail"}},
      {R"("a b" c)", {"a b", "c"}},
      {R"(x"a b"y)", {"xa by"}},
      {R"("")", {""}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"("a""b")", {"a\"b"}},      // "" inside quotes: a literal quote, the part goes on
      {R"("a""b c")", {"a\"b c"}},  // ... still inside the quotes
      {R"(a\b)", {"a\\b"}},         // a backslash not before a quote is literal
      {R"(a\\b)", {"a\\\\b"}},
      {R"(a\"b)", {"a\"b"}},        // 1 backslash + quote: literal quote
      {R"(a\\"b c")", {"a\\b c"}},  // 2 backslashes + quote: 1 backslash, the quote acts
      {R"(a\\\"b)", {"a\\\"b"}},    // 3: 1 backslash and a literal quote
      {R"("a\\" b)", {"a\\", "b"}},
      {R"("unterminated b)", {"unterminated b"}},
      {"a\nb", {"a\nb"}},  // only blanks and tabs separate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.words) << "line: " << c.line;
  }
}

const std::string kHome = "/home/tester/";

class BuildCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = std::getenv("HOME");
    saved_home_ = home != nullptr ? home : "";
    setenv("HOME", kHome.c_str(), 1);
  }
  void TearDown() override { setenv("HOME", saved_home_.c_str(), 1); }

  static Words Args(std::string_view parameters, std::string_view full,
                    std::string_view destination = "/copy/") {
    return BuildCommandLine("prog", parameters, full, destination).args;
  }

 private:
  std::string saved_home_;
};

TEST_F(BuildCommandLineTest, PlaceholdersForAFile) {
  const std::string file = "/data/sub/archive.tar.gz";
  EXPECT_EQ(Args("%f", file), Words{file});
  EXPECT_EQ(Args("%p", file), Words{"/data/sub/"});
  EXPECT_EQ(Args("%n", file), Words{"archive.tar"});
  EXPECT_EQ(Args("%e", file), Words{"gz"});
  EXPECT_EQ(Args("%h", file), Words{kHome});
  EXPECT_EQ(Args("%t", file), Words{TempFolder()});
  EXPECT_EQ(Args("%d", file, "/copy/sub/"), Words{"/copy/sub/"});
  EXPECT_EQ(Args("\"%f\"", "/data/photo.jpg"), Words{"/data/photo.jpg"});
  EXPECT_EQ(Args("%f %f", file), (Words{file, file}));
  EXPECT_EQ(Args("%n.%e", "/data/README"), Words{"README."});
  EXPECT_EQ(Args("%F %P %x 100%", file), (Words{"%F", "%P", "%x", "100%"}));
  EXPECT_EQ(Args("%APPDIR%", file), Words{"%APPDIR%"});
}

TEST_F(BuildCommandLineTest, PlaceholdersForAFolder) {
  const std::string folder = "/data/sub/";
  EXPECT_EQ(Args("%f|%p|%n|%e|%d", folder, "/copy/sub"),
            Words{"/data/sub/|/data/sub/|||/copy/sub"});
  // An empty value alone makes no argument, quoted it makes an empty one.
  EXPECT_EQ(Args("%n %e x", folder), Words{"x"});
  EXPECT_EQ(Args("\"%n\" x", folder), (Words{"", "x"}));
}

TEST_F(BuildCommandLineTest, EmptyDestinationGivesTheRelativePathAlone) {
  EXPECT_EQ(Args("-o %d", "/data/sub/a.txt", "sub/"), (Words{"-o", "sub/"}));
  EXPECT_EQ(Args("-o %d", "/data/a.txt", ""), Words{"-o"});
}

TEST_F(BuildCommandLineTest, ValuesAreNeverSearchedOrSplitAgain) {
  // A "%d" or "%t" inside an inserted value stays as it is.
  EXPECT_EQ(Args("%f", "/data/50%data.txt"), Words{"/data/50%data.txt"});
  setenv("HOME", "/home/%t%d/", 1);
  EXPECT_EQ(Args("%h", "/x"), Words{"/home/%t%d/"});
  // Blanks, quotes, backslashes and dashes in a value stay inside its word.
  const std::string nasty = "/d/a \"b\" \\\" 'c'\t-x.txt";
  EXPECT_EQ(Args("-i %f --", nasty), (Words{"-i", nasty, "--"}));
  EXPECT_EQ(Args("\"in %f\"", nasty), Words{"in " + nasty});
  EXPECT_EQ(Args("\\\\%f", nasty), Words{"\\\\" + nasty});
}

TEST_F(BuildCommandLineTest, LinuxNamesAreSplitAtSlashesOnly) {
  EXPECT_EQ(Args("%p|%n|%e", "/d/a\\b|c/x\"y.txt"), Words{"/d/a\\b|c/|x\"y|txt"});
  EXPECT_EQ(Args("%n|%e", "/d/.profile"), Words{".profile|"});
  EXPECT_EQ(Args("%n|%e", "/d/name."), Words{"name.|"});
  EXPECT_EQ(Args("%n|%e", "/d/old.file copy"), Words{"old.file copy|"});
  EXPECT_EQ(Args("%n|%e", "/my.folder/file"), Words{"file|"});
}

TEST_F(BuildCommandLineTest, CommandAndAppDir) {
  const std::string app = ProgramFolder();
  ASSERT_FALSE(app.empty());
  CommandLine plain = BuildCommandLine("/opt/my tools/run %f", "", "/x", "");
  EXPECT_EQ(plain.program, "/opt/my tools/run %f");
  EXPECT_TRUE(plain.args.empty());

  CommandLine macro = BuildCommandLine("%APPDIR%bin/%APPDIR%", "%f", "/x", "");
  EXPECT_EQ(macro.program, app + "bin/" + app);
  EXPECT_EQ(macro.args, Words{"/x"});

  CommandLine quoted = BuildCommandLine("\"%APPDIR%my tool\" -v \"a b\" %f", "%n", "/d/x.y", "");
  EXPECT_EQ(quoted.program, app + "my tool");
  EXPECT_EQ(quoted.args, (Words{"-v", "a b", "%f", "x"}));
}

}  // namespace
}  // namespace wendrix
