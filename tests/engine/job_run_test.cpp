// The command line built for an entry, the command run for it with its output, and the walk
// that hands the entries on.
#include "engine/job_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "engine/command_line.h"
#include "services/path_helpers.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TestChild;
using Words = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheCommandLineRules) {
  const std::vector<std::pair<std::string, Words>> cases = {
      {" a\t\"\" x\"c d\"y  b ", {"a", "", "xc dy", "b"}},
      {R"("a""b c" a\b a\\b)", {"a\"b c", "a\\b", "a\\\\b"}},  // "" inside quotes: a quote
      // 2n backslashes before a quote give n and the quote acts; 2n+1 give n and a quote.
      {R"(a\\"b c" a\\\"b "a\\" b)", {"a\\b c", "a\\\"b", "a\\", "b"}},
      {"\"open b\nc", {"open b\nc"}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(SplitCommandLine(line), words) << line;
}

TEST(BuildCommandLine, PlaceholdersForFilesAndFoldersExpandedInOnePass) {
  setenv("HOME", "/home/%t%d", 1);
  auto args = [](auto parameters, auto full, auto to) {
    return BuildCommandLine("prog", parameters, full, to).args;
  };
  const std::string file = "/data/sub/archive.tar.gz";
  EXPECT_EQ(
      args("%f %p %n %e %h %t %d", file, "/copy/sub/"),
      (Words{file, "/data/sub/", "archive.tar", "gz", "/home/%t%d/", TempFolder(), "/copy/sub/"}));
  EXPECT_EQ(args("%f|%p|%n|%e|%d", "/data/sub/", "/copy/sub"),
            Words{"/data/sub/|/data/sub/|||/copy/sub"});
  // An empty value alone makes no argument; quoted, it makes an empty one.
  EXPECT_EQ(args("%F %x 100% %APPDIR% %n %e %d \"%n\"", "/data/sub/", ""),
            (Words{"%F", "%x", "100%", "%APPDIR%", ""}));
  // Only "/" separates; backslashes, "|" and quotes belong to names.
  EXPECT_EQ(args("%p|%n|%e", "/my.d/a\\b|c/.x\"y", ""), Words{"/my.d/a\\b|c/|.x\"y|"});
  // The command is split only when it begins with a quote.
  EXPECT_EQ(BuildCommandLine("/opt/my tools/run %f", "", "/x", "").program, "/opt/my tools/run %f");
  const CommandLine quoted =
      BuildCommandLine("\"%APPDIR%my tool\" -v \"a b\" %f", "%n", "/d/x", "");
  EXPECT_EQ(quoted.program, ProgramFolder() + "my tool");
  EXPECT_EQ(quoted.args, (Words{"-v", "a b", "%f", "x"}));
}

// Records every write; ends in end_state once the child has shown that it is ready.
struct RecordingConsole : Console {
  int Open() override { return 1; }
  std::int64_t Write(const char* data, std::size_t length) override {
    pieces.push_back(length);
    bytes.append(data, length);
    return static_cast<std::int64_t>(length);
  }
  ConsoleState Service() override { return bytes.empty() ? ConsoleState::kOpen : end_state; }
  std::vector<std::size_t> pieces;
  std::string bytes;
  ConsoleState end_state = ConsoleState::kOpen;
};

// A small tree: Root with subfolders A (holding A1) and B (holding B1), a file in each.
class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"A", "A/A1", "B", "B/B1"}) fs::create_directory(dir / folder);
    for (const char* file : {"r.txt", "A/a.txt", "A/A1/a1.txt", "B/b.txt", "B/B1/b1.txt"})
      testing::WriteFile(dir / file, "");
  }
  // The test child run with the parameters for one entry.
  EntryOutcome Run(const std::string& parameters, const std::string& full_path = "/data/x.txt",
                   const std::string& command = TestChild()) {
    console = RecordingConsole();
    return ProcessEntry(Settings{"", "", 1, 0, "", command, parameters}, full_path, "/c/", hooks);
  }
  Settings Job(std::string root = "", std::string destination = "") {
    return Settings{root.empty() ? dir.Path() : root, "", 1, 1, destination, "cmd", "%f"};
  }
  // A dry run: "full>destination " for every entry handed on, the Root cut off full paths.
  std::string DryRun(const Settings& settings, const std::function<void()>& on_call = {}) {
    std::string calls;
    JobOptions options;
    options.dry_run = [&](const std::string& full, const std::string& destination) {
      calls += full.substr(full.rfind(dir.Path(), 0) == 0 ? dir.Path().size() : 0) + ">" +
               destination + " ";
      if (on_call) on_call();
    };
    EXPECT_EQ(RunJob(settings, hooks, options), JobOutcome::kFinished);
    return calls;
  }
  testing::TempDir dir, out;
  RecordingConsole console;
  JobHooks hooks{&console, {}};
};

TEST_F(JobTest, OutputArrivesUnchangedInPiecesOfAtMostOneChunk) {
  std::string pattern(8192, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i & 0xFF);
  // The child writes everything at once and then waits, so one poll sees all of it.
  const std::vector<std::pair<int, std::vector<std::size_t>>> cases = {
      {4096, {4096}}, {4097, {4096, 1}}, {8192, {4096, 4096}}};
  for (const auto& [count, pieces] : cases) {
    EXPECT_EQ(Run("bytes " + std::to_string(count) + " sleep 100"), EntryOutcome::kDone);
    EXPECT_EQ(console.pieces, pieces) << count << " bytes";
    EXPECT_TRUE(console.bytes == pattern.substr(0, static_cast<std::size_t>(count)));
  }
}

TEST_F(JobTest, SilentOrUnstartableCommandsWriteNothingAndKeepTheIdleHookGoing) {
  int idle_calls = 0;
  hooks.idle = [&] { ++idle_calls; };
  EXPECT_EQ(Run("sleep 400 stderr \"(expected) child error output\n\""), EntryOutcome::kDone);
  EXPECT_GE(idle_calls, 3);             // every 50 ms would be 8; leave room for a loaded machine
  EXPECT_TRUE(console.pieces.empty());  // standard error does not go through the console
  testing::WriteFile(dir / "script", "#!/bin/sh\necho hi\n");  // not executable
  for (const std::string& command : {dir / "missing", dir.Path(), dir / "script"}) {
    EXPECT_EQ(Run("%f", "/data/x", command), EntryOutcome::kDone) << command;
    EXPECT_TRUE(console.pieces.empty());
  }
}

TEST_F(JobTest, AwkwardNamesArriveAsOneIntactArgument) {
  for (const std::string name :
       {"with space.txt", "it's \"quoted\".txt", "-leading-dash", "new\nline", "has%d%f%t.txt",
        "\xff\xfe-not-utf8", "back\\slash\\\".txt", "tab\tand  blanks"}) {
    const std::string base = name.ends_with(".txt") ? name.substr(0, name.size() - 4) : name;
    EXPECT_EQ(Run("args0 before %f \"q %n\" after", "/d/" + name), EntryOutcome::kDone);
    EXPECT_EQ(console.bytes, std::string("before") + '\0' + "/d/" + name + '\0' + "q " + base +
                                 '\0' + "after" + '\0');
  }
}

TEST_F(JobTest, EndedConsoleStopsTheChildAndTheRun) {
  // Without a signal the child would sleep for a minute; one that ignores the hang-up gets its
  // grace time, then a kill.
  for (const auto& [state, parameters] :
       {std::pair{ConsoleState::kInterrupted, "text %n sleep 60000"},
        std::pair{ConsoleState::kClosed, "ignore text %n sleep 60000"}}) {
    console.bytes.clear();
    console.end_state = state;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunJob(Settings{dir.Path(), "", 1, 0, "", TestChild(), parameters}, hooks),
              JobOutcome::kConsoleEnded);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << parameters;
    EXPECT_EQ(console.bytes, "r");
  }
}

TEST_F(JobTest, WalksDepthFirstLaterSubfoldersFirstEntriesInListingOrder) {
  // Root, B, B1, A, A1; "b.txt" lists before "B1".
  EXPECT_EQ(DryRun(Job()),
            "A/>A B/>B r.txt> B/b.txt>B/ B/B1/>B/B1 B/B1/b1.txt>B/B1/ A/a.txt>A/ A/A1/>A/A1 "
            "A/A1/a1.txt>A/A1/ ");
  // Separators added to Root and destination; a dry run creates nothing.
  Settings files = Job(dir / "B", out / "copy");
  files.process_folders = 0;
  EXPECT_EQ(DryRun(files), "B/b.txt>" + out / "copy/ " + "B/B1/b1.txt>" + out / "copy/B1/ ");
  EXPECT_FALSE(fs::exists(out / "copy"));
  // A folder removed during the run is skipped.
  EXPECT_EQ(DryRun(Job(), [&] { fs::remove_all(dir / "A"); }),
            "A/>A B/>B r.txt> B/b.txt>B/ B/B1/>B/B1 B/B1/b1.txt>B/B1/ ");
}

TEST_F(JobTest, SearchTextSelectsCandidatesWhileEveryFolderAndLinkIsWalkedLoopsOnce) {
  testing::WriteFile(dir / "A/A1/DOC", "");
  fs::create_directory(dir / "B/doc1");
  symlink("../..", (dir / "A/A1/up").c_str());
  symlink(".", (dir / "B/self").c_str());
  symlink("A1", (dir / "A/also").c_str());
  Settings settings = Job();
  settings.search_text = "doc*";
  EXPECT_EQ(DryRun(settings), "B/doc1/>B/doc1 A/also/DOC>A/also/ A/A1/DOC>A/A1/ ");
}

TEST_F(JobTest, NothingRunsWithoutCommandPlaceholderOrKindYetFoldersAreMirrored) {
  const std::string root = dir.Path(), to = out.Path();
  for (const Settings& settings : {Settings{root, "", 1, 1, to, "", "%f"},
                                   Settings{root, "", 1, 1, to, "cmd", "--flag %F 100%"},
                                   Settings{root, "", 0, 0, to, "cmd", "%f"},
                                   Settings{root, "*.txt", 0, 1, to, "cmd", "%f"}}) {
    fs::remove_all(out / "A");
    fs::remove_all(out / "B");
    EXPECT_EQ(DryRun(settings), "");
    EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kFinished);
    for (const char* folder : {"A/A1", "B/B1"}) EXPECT_TRUE(fs::is_directory(out / folder));
  }
  // With a command, each folder exists before the commands of its parent's entries.
  EXPECT_EQ(RunJob(Settings{root, "", 1, 1, to, TestChild(), "isdir %d"}, hooks),
            JobOutcome::kFinished);
  EXPECT_EQ(console.bytes, "yes\nyes\nyes\nyes\nyes\nyes\nyes\nyes\nyes\n");
}

TEST_F(JobTest, DestinationInsideTheRootIsNeitherEnteredNorMirrored) {
  fs::create_directory(dir / "out");
  symlink(".", (dir / "alias").c_str());
  Settings settings = Job("", dir / "alias/out");  // the same folder by another name
  settings.command = "";
  EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kFinished);
  EXPECT_TRUE(fs::is_directory(dir / "out/A/A1"));
  EXPECT_FALSE(fs::exists(dir / "out/out"));
  EXPECT_FALSE(fs::exists(dir / "out/alias/A"));  // alias leads back to the Root: not entered
}

TEST_F(JobTest, FolderThatCannotBeListedIsSkippedWithEverythingBelow) {
  chmod(dir.Path().c_str(), 0755);
  chmod((dir / "A/A1").c_str(), 0);
  // As an unprivileged user even under root, for whom no folder is ever locked.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        _exit(DryRun(Job(dir / "A")) == "A/a.txt> A/A1/>A1 " ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace wendrix
