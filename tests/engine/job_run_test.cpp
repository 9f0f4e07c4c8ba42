// The command line built for an entry, the command run for it with its output, and the walk
// that hands the entries on.
#include "engine/job_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/command_line.h"
#include "recording_console.h"
#include "services/path_helpers.h"
#include "test_support.h"
#include "virtual_clock.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TestChild;
using Words = std::vector<std::string>;
using namespace std::string_literals;

TEST(BuildCommandLine, WordsFollowTheCommandLineRules) {
  const std::vector<std::pair<std::string, Words>> cases = {
      {" a\t\"\" x\"c d\"y  b ", {"a", "", "xc dy", "b"}},
      {R"("a""b c" a\b a\\b)", {"a\"b c", "a\\b", "a\\\\b"}},  // "" inside quotes: a quote
      // 2n backslashes before a quote give n and the quote acts; 2n+1 give n and a quote.
      {R"(a\\"b c" a\\\"b "a\\" b)", {"a\\b c", "a\\\"b", "a\\", "b"}},
      {"\"open b\nc", {"open b\nc"}},
  };
  for (const auto& [line, words] : cases) {
    EXPECT_EQ(BuildCommandLine("prog", line, "/x", "").args, words) << line;
    // A command that begins with a quote is split the same way.
    const CommandLine quoted = BuildCommandLine("\"p\" " + line, "", "/x", "");
    EXPECT_EQ(quoted.program, "p");
    EXPECT_EQ(quoted.args, words) << line;
  }
}

TEST(BuildCommandLine, PlaceholdersForFilesAndFoldersExpandedInOnePass) {
  setenv("HOME", "/home/%t%d", 1);
  const testing::TempDir temp;  // %t: the real folder TMPDIR names
  fs::create_directory(temp / "real");
  fs::create_directory_symlink(temp / "real", temp / "link");
  setenv("TMPDIR", (temp / "link").c_str(), 1);
  auto args = [](auto p, auto f, auto t) { return BuildCommandLine("prog", p, f, t).args; };
  const std::string file = "/data/sub/archive.tar.gz";
  EXPECT_EQ(args("%f %p %n %e %h %t %d", file, "/copy/sub/"),
            (Words{file, "/data/sub/", "archive.tar", "gz", "/home/%t%d/",
                   fs::canonical(temp / "real").string() + "/", "/copy/sub/"}));
  unsetenv("TMPDIR");
  // A folder has no name or extension; an empty value alone makes no argument, quoted an empty one.
  EXPECT_EQ(args("%F %x 100% %APPDIR% %f|%p|%n|%e %n %e %d \"%n\"", "/data/sub/", ""),
            (Words{"%F", "%x", "100%", "%APPDIR%", "/data/sub/|/data/sub/||", ""}));
  // Only "/" separates; backslashes, "|" and quotes belong to names. A name stays one word.
  EXPECT_EQ(args("%p|%n|%e", "/my.d/a\\b|c/.x\"y", ""), Words{"/my.d/a\\b|c/|.x\"y|"});
  for (const std::string name : {"with space", "it's \"q\"", "-dash", "new\nline", "%d%f%t",
                                 "\xff\xfe", "back\\slash\\\"", "tab\tand  blanks"})
    EXPECT_EQ(args("a %f \"q %f\"", "/d/" + name, ""), (Words{"a", "/d/" + name, "q /d/" + name}));
  // The command is split only when it begins with a quote; every %APPDIR% is the program's
  // folder either way, and nothing else in the command is replaced.
  const std::string program_folder = testing::ThisProgramFolder();
  ASSERT_FALSE(program_folder.empty());
  EXPECT_EQ(BuildCommandLine("%APPDIR%my tools/run %f %APPDIR%b", "", "/x", "").program,
            program_folder + "my tools/run %f " + program_folder + "b");
  const CommandLine quoted =
      BuildCommandLine("\"%APPDIR%my tool\" -v \"a b\" %f", "%n", "/d/x", "");
  EXPECT_EQ(quoted.program, program_folder + "my tool");
  EXPECT_EQ(quoted.args, (Words{"-v", "a b", "%f", "x"}));
}

// A small tree: Root with subfolders A (holding A1) and B (holding B1), a file in each.
class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"A/A1", "B/B1"}) fs::create_directories(dir / folder);
    for (const char* file : {"r.txt", "A/a.txt", "A/A1/a1.txt", "B/b.txt", "B/B1/b1.txt"})
      testing::WriteFile(dir / file, "");
  }
  // A dry run: "full>destination " for every entry handed on, the Root cut off full paths.
  std::string DryRun(const Settings& settings, JobOptions options = {}) {
    std::string calls;
    options.dry_run = [&](const std::string& full, const std::string& to) {
      calls += full.substr(full.rfind(dir.Path(), 0) == 0 ? dir.Path().size() : 0) + ">" + to + " ";
    };
    EXPECT_EQ(RunJob(settings, hooks, options), JobOutcome::kFinished);
    return calls;
  }
  testing::TempDir dir, out;
  Settings job{dir.Path(), "", 1, 1, "", "cmd", "%f"};
  testing::RecordingConsole console;
  JobHooks hooks{&console, {}};
};

TEST_F(JobTest, OutputArrivesUnchangedInPiecesOfAtMostOneChunkWhileTheIdleHookGoesOn) {
  int idle_calls = 0;
  hooks.idle = [&] { ++idle_calls; };
  const std::string pattern = testing::ChildBytes(8192);
  // The child writes everything at once and then waits, so one poll sees all of it. Standard
  // error does not go through the console.
  const std::vector<std::pair<int, std::vector<std::size_t>>> cases = {
      {0, {}}, {4096, {4096}}, {4097, {4096, 1}}, {8192, {4096, 4096}}};
  for (const auto& [count, pieces] : cases) {
    console.Clear();
    const std::string parameters = "stderr \"(expected) child error output\n\" bytes %n sleep 150";
    EXPECT_EQ(ProcessEntry(Settings{"", "", 1, 0, "", TestChild(), parameters},
                           std::to_string(count), "", hooks),
              EntryOutcome::kDone);
    EXPECT_EQ(console.pieces, pieces) << count << " bytes";
    EXPECT_TRUE(console.bytes == pattern.substr(0, static_cast<std::size_t>(count)));
  }
  EXPECT_GE(idle_calls, 4);  // every 50 ms would be 12; leave room for a loaded machine
}

TEST_F(JobTest, WalksDepthFirstLaterSubfoldersFirstAndSearchTextSelectsOnlyCandidates) {
  // Root, B, B1, A, A1; "b.txt" lists before "B1".
  EXPECT_EQ(DryRun(job),
            "A/>A B/>B r.txt> B/b.txt>B/ B/B1/>B/B1 B/B1/b1.txt>B/B1/ A/a.txt>A/ A/A1/>A/A1 "
            "A/A1/a1.txt>A/A1/ ");
  // Separators added to Root and destination; a dry run creates nothing.
  EXPECT_EQ(DryRun(Settings{dir / "B", "", 1, 0, out / "copy", "cmd", "%f"}),
            "B/b.txt>" + out / "copy/ " + "B/B1/b1.txt>" + out / "copy/B1/ ");
  EXPECT_FALSE(fs::exists(out / "copy"));
  // The search text selects candidates only: every folder and link is walked, loops once.
  testing::WriteFile(dir / "A/A1/DOC", "");
  fs::create_directory(dir / "B/doc1");
  symlink("../..", (dir / "A/A1/up").c_str());
  symlink(".", (dir / "B/self").c_str());
  symlink("A1", (dir / "A/also").c_str());
  job.search_text = "doc*";
  // A1 is entered once, by the name the walk meets first: "also" is walked before "A1".
  EXPECT_EQ(DryRun(job), "B/doc1/>B/doc1 A/also/DOC>A/also/ ");
}

TEST_F(JobTest, EmptyPathWalksTheProgramFolderOrInstalledTheUsersWendrixFolder) {
  // A relative XDG_CONFIG_HOME would name another folder in every working folder: HOME's.
  setenv("XDG_CONFIG_HOME", "cfg", 1);
  setenv("HOME", dir.Path().c_str(), 1);
  fs::create_directories(dir / ".config/Wendrix");
  testing::WriteFile(dir / ".config/Wendrix/default.ini", "");
  job.path = "";
  job.search_text = NamePart(ProgramFilePath(), false);
  EXPECT_EQ(DryRun(job), testing::ThisProgramFolder() + job.search_text + "> ");
  SetInstalledBinFolder(testing::ThisProgramFolder());
  job.search_text = "";
  EXPECT_EQ(DryRun(job), ".config/Wendrix/default.ini> ");
  SetInstalledBinFolder("");
  unsetenv("XDG_CONFIG_HOME");
}

TEST_F(JobTest, EveryFolderIsEnteredOnceWhateverTheLinksToIt) {
  // Each level links twice to the next, outside the Root: followed link by link, the one file
  // at the bottom would be reached 2^12 times.
  for (int level = 0; level < 12; ++level) {
    const std::string next = out / ("d" + std::to_string(level + 1));
    fs::create_directory(next);
    const std::string here = level == 0 ? dir / "B/B1" : out / ("d" + std::to_string(level));
    for (const char* name : {"/x", "/y"}) symlink(next.c_str(), (here + name).c_str());
  }
  testing::WriteFile(out / "d12/deep.txt", "");
  // C, walked before A and B, is the name A is entered by; B's own link to A leads nowhere new.
  symlink("A", (dir / "C").c_str());
  symlink("../A", (dir / "B/toA").c_str());
  job.process_folders = 0;
  EXPECT_EQ(DryRun(job),
            "r.txt> C/a.txt>C/ C/A1/a1.txt>C/A1/ B/b.txt>B/ B/B1/b1.txt>B/B1/ "
            "B/B1/y/y/y/y/y/y/y/y/y/y/y/y/deep.txt>B/B1/y/y/y/y/y/y/y/y/y/y/y/y/ ");
}

TEST_F(JobTest, SearchTextHoldingAFolderHandsOnPathsInTheFolderListed) {
  // Root's own a.txt must not stand in for A/a.txt.
  testing::WriteFile(dir / "a.txt", "");
  job.search_text = "A1/a1.txt";
  EXPECT_EQ(DryRun(job), "A/A1/a1.txt>A/A1/ ");
  job.search_text = "B/B1";
  EXPECT_EQ(DryRun(job), "B/B1/>B/B1 ");
  job.path = dir / "A";
  job.search_text = "../*.txt";
  EXPECT_EQ(DryRun(job), "A/../a.txt>../ A/../r.txt>../ A/A1/../a.txt>A1/../ ");
}

TEST_F(JobTest, NothingRunsWithoutCommandPlaceholderOrKindYetFoldersAreMirrored) {
  for (Settings settings : {Settings{dir.Path(), "", 1, 1, "", "", "%f"},
                            Settings{dir.Path(), "", 1, 1, "", "cmd", "--flag %F 100%"},
                            Settings{dir.Path(), "", 0, 0, "", "cmd", "%f"}}) {
    const testing::TempDir to;
    settings.destination = to.Path();
    EXPECT_EQ(DryRun(settings), "");
    EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kFinished);
    for (const char* folder : {"A/A1", "B/B1"}) EXPECT_TRUE(fs::is_directory(to / folder));
  }
  // With a command, each folder exists before the commands of its parent's entries.
  EXPECT_EQ(RunJob(Settings{dir.Path(), "", 1, 1, out.Path(), TestChild(), "isdir %d"}, hooks),
            JobOutcome::kFinished);
  EXPECT_EQ(console.bytes, "yes\nyes\nyes\nyes\nyes\nyes\nyes\nyes\nyes\n");
}

TEST_F(JobTest, DestinationInsideTheRootIsNeitherAnEntryNorEnteredNorMirrored) {
  fs::create_directory(dir / "B/out");
  job.destination = dir / "B/out";
  job.search_text = "*out";
  EXPECT_EQ(DryRun(job), "");
  symlink("B/out", (dir / "to_out").c_str());  // nor by another name
  EXPECT_EQ(DryRun(job), "");
  fs::create_directory(dir / "A/out");
  EXPECT_EQ(DryRun(job), "A/out/>" + dir / "B/out/A/out ");
  // Named through a link back to the Root, in a run that passes over a command that cannot be
  // started.
  symlink(".", (dir / "alias").c_str());
  EXPECT_EQ(
      RunJob(Settings{dir.Path(), "", 1, 1, dir / "alias/B/out", dir / "missing", "%f"}, hooks),
      JobOutcome::kFinished);
  EXPECT_TRUE(fs::is_directory(dir / "B/out/A/A1") && fs::is_directory(dir / "B/out/A/out"));
  EXPECT_FALSE(fs::exists(dir / "B/out/B/out"));
  EXPECT_FALSE(fs::exists(dir / "B/out/alias/A"));  // alias leads back to the Root: not entered
}

TEST_F(JobTest, FolderThatCannotBeListedIsSkippedWithEverythingBelow) {
  chmod(dir.Path().c_str(), 0755);
  chmod((dir / "A/A1").c_str(), 0);
  job.path = dir / "A";
  // As an unprivileged user even under root, for whom no folder is ever locked.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        _exit(DryRun(job) == "A/a.txt> A/A1/>A1 " ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace wendrix
