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
  const std::vector<std::pair<std::string, Words>> cases = {
      {"", {}},
      {" \t ", {}},
      {" a\tb  c ", {"a", "b", "c"}},
      {R"("a b" x"c d"y)", {"a b", "xc dy"}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"("a""b c")", {"a\"b c"}},  // "" inside quotes: a literal quote, still quoted
      {R"(a\b a\\b)", {"a\\b", "a\\\\b"}},
      {R"(a\"b)", {"a\"b"}},        // 2n+1 backslashes: n and a literal quote
      {R"(a\\"b c")", {"a\\b c"}},  // 2n: n, and the quote acts
      {R"(a\\\"b)", {"a\\\"b"}},
      {R"("a\\" b)", {"a\\", "b"}},
      {R"("open b)", {"open b"}},
      {"a\nb", {"a\nb"}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(SplitCommandLine(line), words) << line;
}

Words Args(std::string_view parameters, std::string_view full,
           std::string_view destination = "/copy/") {
  return BuildCommandLine("prog", parameters, full, destination).args;
}

TEST(BuildCommandLine, PlaceholdersForFilesAndFolders) {
  setenv("HOME", "/home/%t%d", 1);
  const std::string file = "/data/sub/archive.tar.gz";
  EXPECT_EQ(
      Args("%f %p %n %e %h %t %d", file, "/copy/sub/"),
      (Words{file, "/data/sub/", "archive.tar", "gz", "/home/%t%d/", TempFolder(), "/copy/sub/"}));
  EXPECT_EQ(Args("\"%f\" %f", "/data/photo.jpg"), (Words{"/data/photo.jpg", "/data/photo.jpg"}));
  EXPECT_EQ(Args("%n.%e", "/data/README"), Words{"README."});
  EXPECT_EQ(Args("%F %P %x 100% %APPDIR%", file), (Words{"%F", "%P", "%x", "100%", "%APPDIR%"}));
  EXPECT_EQ(Args("%f|%p|%n|%e|%d", "/data/sub/", "/copy/sub"),
            Words{"/data/sub/|/data/sub/|||/copy/sub"});
  // An empty value alone makes no argument; quoted, it makes an empty one.
  EXPECT_EQ(Args("%n %e x \"%n\"", "/data/sub/"), (Words{"x", ""}));
  EXPECT_EQ(Args("-o %d", "/data/sub/a.txt", "sub/"), (Words{"-o", "sub/"}));
  EXPECT_EQ(Args("-o %d", "/data/a.txt", ""), Words{"-o"});
}

TEST(BuildCommandLine, ValuesStayWhereTheTemplatePutThem) {
  // Never searched again, never split or regrouped.
  EXPECT_EQ(Args("%f", "/data/50%data.txt"), Words{"/data/50%data.txt"});
  const std::string nasty = "/d/a \"b\" \\\" 'c'\t-x.txt";
  EXPECT_EQ(Args("-i %f --", nasty), (Words{"-i", nasty, "--"}));
  EXPECT_EQ(Args("\"in %f\" \\\\%f", nasty), (Words{"in " + nasty, "\\\\" + nasty}));
  // On Linux only "/" separates; backslashes, "|" and quotes belong to names.
  EXPECT_EQ(Args("%p|%n|%e", "/d/a\\b|c/x\"y.txt"), Words{"/d/a\\b|c/|x\"y|txt"});
  EXPECT_EQ(Args("%n|%e %n|%e", "/my.folder/.profile"), (Words{".profile|", ".profile|"}));
}

TEST(BuildCommandLine, CommandAndAppDir) {
  const std::string app = ProgramFolder();
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
