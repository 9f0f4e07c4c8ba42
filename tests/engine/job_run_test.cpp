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

TEST(BuildCommandLine, AppDirIsTheProgramFolderInTheCommandOnly) {
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
