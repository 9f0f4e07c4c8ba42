#include "engine/job_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "services/path_helpers.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFile;

struct RecordingConsole : Console {
  int Open() override { return ++opened; }
  std::int64_t Write(const char* data, std::size_t length) override {
    text.append(data, length);
    return static_cast<std::int64_t>(length);
  }
  int opened = 0;
  std::string text;
};

// A small tree: Root with subfolders A (holding A1) and B (holding B1), a file in each.
class RunJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"A", "A/A1", "B", "B/B1"}) fs::create_directory(dir / folder);
    for (const char* file : {"r.txt", "A/a.txt", "A/A1/a1.txt", "B/b.txt", "B/B1/b1.txt"})
      WriteFile(dir / file, "");
  }
  Settings Job(std::string root = "", std::string destination = "") {
    Settings settings{root.empty() ? dir.Path() : root, "", 1, 1, destination, "cmd", "%f"};
    return settings;
  }
  // A dry run: "full>destination " for every entry handed on, the Root cut off full paths.
  std::string DryRun(const Settings& settings, const std::function<void()>& on_call = {}) {
    std::string calls;
    JobOptions options;
    options.dry_run = [&](const std::string& full, const std::string& destination) {
      calls += (full.rfind(dir.Path(), 0) == 0 ? full.substr(dir.Path().size()) : full) + ">" +
               destination + " ";
      if (on_call) on_call();
    };
    JobHooks hooks{&console, nullptr};
    outcome = RunJob(settings, hooks, options);
    return calls;
  }
  JobOutcome Real(const Settings& settings) {
    JobHooks hooks{&console, nullptr};
    return RunJob(settings, hooks);
  }
  TempDir dir, out;
  RecordingConsole console;
  JobOutcome outcome = JobOutcome::kConsoleEnded;
};

TEST_F(RunJobTest, WalksDepthFirstLaterSubfoldersFirstEntriesInListingOrder) {
  // Root, B, B1, A, A1; "b.txt" lists before "B1".
  EXPECT_EQ(DryRun(Job()),
            "A/>A B/>B r.txt> B/b.txt>B/ B/B1/>B/B1 B/B1/b1.txt>B/B1/ A/a.txt>A/ A/A1/>A/A1 "
            "A/A1/a1.txt>A/A1/ ");
  EXPECT_EQ(console.opened, 1);
  EXPECT_EQ(outcome, JobOutcome::kFinished);
  // Separators added to Root and destination; a dry run creates nothing.
  Settings files = Job(dir / "B", out / "copy");
  files.process_folders = 0;
  EXPECT_EQ(DryRun(files), "B/b.txt>" + out / "copy/ " + "B/B1/b1.txt>" + out / "copy/B1/ ");
  EXPECT_FALSE(fs::exists(out / "copy"));
}

TEST_F(RunJobTest, SearchTextSelectsCandidatesWhileEveryFolderIsWalked) {
  WriteFile(dir / "A/A1/DOC", "");
  fs::create_directory(dir / "B/doc");
  Settings settings = Job();
  settings.search_text = "doc";
  EXPECT_EQ(DryRun(settings), "B/doc/>B/doc A/A1/DOC>A/A1/ ");
}

TEST_F(RunJobTest, NothingRunsWithoutCommandPlaceholderOrKindYetFoldersAreMirrored) {
  Settings variants[4] = {Job("", out.Path()), Job("", out.Path()), Job("", out.Path()),
                          Job("", out.Path())};
  variants[0].command = "";
  variants[1].parameters = "--flag %F 100%";
  variants[2].process_files = variants[2].process_folders = 0;
  variants[3].process_files = 0;
  variants[3].search_text = "*.txt";
  for (const Settings& settings : variants) {
    fs::remove_all(out / "A");
    fs::remove_all(out / "B");
    EXPECT_EQ(DryRun(settings), "");
    EXPECT_EQ(Real(settings), JobOutcome::kFinished);
    for (const char* folder : {"A/A1", "B/B1"}) EXPECT_TRUE(fs::is_directory(out / folder));
  }
  EXPECT_TRUE(HasPlaceholder("-o %d%n.png"));
  EXPECT_FALSE(HasPlaceholder("%F %P 100% %x"));
}

TEST_F(RunJobTest, MissingRootMissingDestinationAndEmptyPath) {
  EXPECT_EQ(DryRun(Job(dir / "missing")), "");
  EXPECT_EQ(console.opened, 1);
  EXPECT_EQ(Real(Job("", dir / "nowhere")), JobOutcome::kFinished);
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  // An empty path is the program's own folder.
  Settings settings = Job();
  settings.path = "";
  settings.search_text = "job_run_test";
  EXPECT_EQ(DryRun(settings), ProgramFolder() + "job_run_test> ");
}

TEST_F(RunJobTest, FolderRemovedDuringTheRunIsSkipped) {
  EXPECT_EQ(DryRun(Job(), [&] { fs::remove_all(dir / "A"); }),
            "A/>A B/>B r.txt> B/b.txt>B/ B/B1/>B/B1 B/B1/b1.txt>B/B1/ ");
}

TEST_F(RunJobTest, LinkLoopsEndWhileOtherLinksAreWalked) {
  symlink("../..", (dir / "A/A1/up").c_str());
  symlink(".", (dir / "B/self").c_str());
  symlink("A1", (dir / "A/also").c_str());
  Settings settings = Job();
  settings.search_text = "*1*";
  EXPECT_EQ(DryRun(settings),
            "B/B1/>B/B1 B/B1/b1.txt>B/B1/ A/A1/>A/A1 A/also/a1.txt>A/also/ "
            "A/A1/a1.txt>A/A1/ ");
}

TEST_F(RunJobTest, DestinationInsideTheRootIsNeitherEnteredNorMirrored) {
  fs::create_directory(dir / "out");
  symlink(".", (dir / "alias").c_str());
  Settings settings = Job("", dir / "alias/out");  // the same folder by another name
  settings.command = "";
  Real(settings);
  EXPECT_TRUE(fs::is_directory(dir / "out/A/A1"));
  EXPECT_FALSE(fs::exists(dir / "out/out"));
  EXPECT_FALSE(fs::exists(dir / "out/alias/A"));  // alias leads back to the Root: not entered
}

TEST_F(RunJobTest, MirroredFoldersExistBeforeTheCommandsOfTheirParent) {
  Settings settings = Job("", out.Path());
  settings.command = testing::TestChild();
  settings.parameters = "isdir %d";
  EXPECT_EQ(Real(settings), JobOutcome::kFinished);
  EXPECT_EQ(console.text, "yes\nyes\nyes\nyes\nyes\nyes\nyes\nyes\nyes\n");
}

TEST_F(RunJobTest, StopsWhenTheConsoleEnds) {
  struct ClosingConsole : RecordingConsole {
    ConsoleState Service() override {
      return text.empty() ? ConsoleState::kOpen : ConsoleState::kClosed;
    }
  } closing;
  Settings settings = Job();
  settings.command = testing::TestChild();
  settings.parameters = "text %n";
  settings.process_folders = 0;
  JobHooks hooks{&closing, nullptr};
  EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kConsoleEnded);
  EXPECT_EQ(closing.text, "r");
}

// Run as an unprivileged user even under root, for whom no folder is ever locked.
TEST_F(RunJobTest, FolderThatCannotBeListedIsSkippedWithEverythingBelow) {
  fs::create_directories(dir / "A/locked/deep");
  WriteFile(dir / "A/locked/deep/hidden.txt", "");
  chmod(dir.Path().c_str(), 0755);
  chmod((dir / "A/locked").c_str(), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    const std::string calls = DryRun(Job(dir / "A"));
    _exit(write(pipe_fds[1], calls.data(), calls.size()) < 0);
  }
  close(pipe_fds[1]);
  std::string calls;
  char buffer[512];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) calls.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(calls, "A/a.txt> A/A1/>A1 A/locked/>locked A/A1/a1.txt>A1/ ");
}

}  // namespace
}  // namespace wendrix
