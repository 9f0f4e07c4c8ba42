#include "engine/job_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "services/path_helpers.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFile;

class RecordingConsole : public Console {
 public:
  int Open() override { return ++opened; }
  std::int64_t Write(const char* data, std::size_t length) override {
    text.append(data, length);
    return static_cast<std::int64_t>(length);
  }
  int opened = 0;
  std::string text;
};

using Calls = std::vector<std::pair<std::string, std::string>>;

// A dry run: what the run would hand on, in order, with the Root's text cut off the full paths
// so that expectations stay short.
struct DryRun {
  Calls Run(const Settings& settings, const std::string& root) {
    JobOptions options;
    options.dry_run = [&](const std::string& full, const std::string& destination) {
      calls.emplace_back(full.rfind(root, 0) == 0 ? full.substr(root.size()) : "!" + full,
                         destination);
      if (on_call) on_call(full);
    };
    JobHooks hooks{&console, nullptr};
    outcome = RunJob(settings, hooks, options);
    return calls;
  }
  RecordingConsole console;
  Calls calls;
  JobOutcome outcome = JobOutcome::kFinished;
  std::function<void(const std::string&)> on_call;
};

Settings Everything(const std::string& root, const std::string& destination = "") {
  Settings settings;
  settings.path = root;
  settings.destination = destination;
  settings.command = "cmd";
  settings.parameters = "%f";
  settings.process_files = 1;
  settings.process_folders = 1;
  return settings;
}

// Root with subfolders A (holding A1) and B (holding B1), a file in each folder.
void MakeExampleTree(const TempDir& dir) {
  for (const char* folder : {"A", "A/A1", "B", "B/B1"}) fs::create_directory(dir / folder);
  for (const char* file : {"r.txt", "A/a.txt", "A/A1/a1.txt", "B/b.txt", "B/B1/b1.txt"})
    WriteFile(dir / file, "");
}

TEST(RunJob, WalksDepthFirstWithLaterSubfoldersFirst) {
  TempDir dir;
  MakeExampleTree(dir);
  DryRun run;
  // Walked Root, B, B1, A, A1; within a folder in listing order ("b.txt" before "B1").
  const Calls expected{{"A/", "A"},       {"B/", "B"},       {"r.txt", ""},
                       {"B/b.txt", "B/"}, {"B/B1/", "B/B1"}, {"B/B1/b1.txt", "B/B1/"},
                       {"A/a.txt", "A/"}, {"A/A1/", "A/A1"}, {"A/A1/a1.txt", "A/A1/"}};
  EXPECT_EQ(run.Run(Everything(dir.Path()), dir.Path()), expected);
  EXPECT_EQ(run.console.opened, 1);
  EXPECT_EQ(run.outcome, JobOutcome::kFinished);
}

TEST(RunJob, AddsMissingSeparatorsToRootAndDestination) {
  TempDir dir, out;
  MakeExampleTree(dir);
  Settings settings = Everything(dir / "B", out / "copy");
  settings.process_folders = 0;
  DryRun run;
  EXPECT_EQ(run.Run(settings, dir / "B/"),
            (Calls{{"b.txt", out / "copy/"}, {"B1/b1.txt", out / "copy/B1/"}}));
  EXPECT_FALSE(fs::exists(out / "copy"));  // a dry run creates nothing
}

TEST(RunJob, SearchTextSelectsCandidatesInEveryFolder) {
  TempDir dir;
  MakeExampleTree(dir);
  WriteFile(dir / "A/A1/DOC", "");
  fs::create_directory(dir / "B/doc");
  Settings settings = Everything(dir.Path());
  settings.search_text = "doc";
  DryRun run;
  EXPECT_EQ(run.Run(settings, dir.Path()), (Calls{{"B/doc/", "B/doc"}, {"A/A1/DOC", "A/A1/"}}));
  settings.process_folders = 0;
  settings.search_text = "*.TXT";
  DryRun files;
  EXPECT_EQ(files.Run(settings, dir.Path()).size(), 5u);
}

TEST(RunJob, NothingIsProcessedWithoutCommandPlaceholderOrKindButFoldersAreMirrored) {
  TempDir dir, out;
  MakeExampleTree(dir);
  Settings base = Everything(dir.Path(), out.Path());
  std::vector<Settings> variants(4, base);
  variants[0].command = "";
  variants[1].parameters = "--flag %F 100%";
  variants[2].process_files = variants[2].process_folders = 0;
  variants[3].process_files = 0;
  variants[3].search_text = "*.txt";
  for (const Settings& settings : variants) {
    fs::remove_all(out / "A");
    fs::remove_all(out / "B");
    DryRun dry;
    EXPECT_TRUE(dry.Run(settings, dir.Path()).empty());
    RecordingConsole console;
    JobHooks hooks{&console, nullptr};
    EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kFinished);
    for (const char* folder : {"A", "A/A1", "B", "B/B1"})
      EXPECT_TRUE(fs::is_directory(out / folder));
    EXPECT_FALSE(fs::exists(out / "r.txt"));
  }
}

TEST(HasPlaceholder, IsCaseSensitive) {
  EXPECT_TRUE(HasPlaceholder("%p"));
  EXPECT_TRUE(HasPlaceholder("-o \"%d%n.png\""));
  EXPECT_FALSE(HasPlaceholder("%F %P"));
  EXPECT_FALSE(HasPlaceholder(""));
  EXPECT_FALSE(HasPlaceholder("100% %x"));
}

TEST(RunJob, MissingRootOrDestinationIsNoFailure) {
  TempDir dir;
  MakeExampleTree(dir);
  DryRun missing_root;
  EXPECT_TRUE(missing_root.Run(Everything(dir / "missing"), dir.Path()).empty());
  EXPECT_EQ(missing_root.console.opened, 1);
  Settings settings = Everything(dir / "B", dir / "nowhere");
  settings.process_folders = 0;
  RecordingConsole console;
  JobHooks hooks{&console, nullptr};
  EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kFinished);
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST(RunJob, EmptyPathWalksTheProgramFolder) {
  Settings settings = Everything("");
  settings.search_text = "job_run_test";
  settings.process_folders = 0;
  DryRun run;
  EXPECT_EQ(run.Run(settings, ProgramFolder()), (Calls{{"job_run_test", ""}}));
}

TEST(RunJob, FolderRemovedDuringTheRunIsSkipped) {
  TempDir dir;
  MakeExampleTree(dir);
  DryRun run;
  run.on_call = [&](const std::string& full) {
    if (full == dir / "r.txt") fs::remove_all(dir / "A");
  };
  const Calls calls = run.Run(Everything(dir.Path()), dir.Path());
  EXPECT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls.back(), (std::pair<std::string, std::string>{"B/B1/b1.txt", "B/B1/"}));
}

TEST(RunJob, LinkLoopsEndAndOtherLinksAreWalked) {
  TempDir dir;
  fs::create_directories(dir / "a/b");
  fs::create_directory(dir / "x");
  WriteFile(dir / "x/f", "");
  symlink("../..", (dir / "a/b/up").c_str());
  symlink(".", (dir / "a/self").c_str());
  symlink("x", (dir / "y").c_str());
  Settings settings = Everything(dir.Path());
  DryRun run;
  EXPECT_EQ(run.Run(settings, dir.Path()), (Calls{{"a/", "a"},
                                                  {"x/", "x"},
                                                  {"y/", "y"},
                                                  {"y/f", "y/"},
                                                  {"x/f", "x/"},
                                                  {"a/b/", "a/b"},
                                                  {"a/self/", "a/self"},
                                                  {"a/b/up/", "a/b/up"}}));
}

TEST(RunJob, DestinationInsideTheRootIsNotEntered) {
  TempDir dir;
  MakeExampleTree(dir);
  fs::create_directory(dir / "out");
  symlink(".", (dir / "alias").c_str());
  Settings settings = Everything(dir.Path(), dir / "alias/out");  // same folder, other name
  settings.process_folders = 0;
  RecordingConsole console;
  JobHooks hooks{&console, nullptr};
  settings.command = "";
  RunJob(settings, hooks);
  for (const char* folder : {"out/A/A1", "out/B/B1", "out/alias"})
    EXPECT_TRUE(fs::is_directory(dir / folder)) << folder;
  EXPECT_FALSE(fs::exists(dir / "out/out"));
  EXPECT_FALSE(fs::exists(dir / "out/alias/A"));  // alias leads back to the Root: not entered
}

// Real commands from here on: the test child prints what it was handed.
Settings ChildRun(const std::string& root, const std::string& destination,
                  const std::string& parameters) {
  Settings settings = Everything(root, destination);
  settings.command = testing::TestChild();
  settings.parameters = parameters;
  return settings;
}

TEST(RunJob, MirroredFoldersExistBeforeTheCommandsOfTheirParent) {
  TempDir dir, out;
  MakeExampleTree(dir);
  RecordingConsole console;
  JobHooks hooks{&console, nullptr};
  EXPECT_EQ(RunJob(ChildRun(dir.Path(), out.Path(), "isdir %d"), hooks), JobOutcome::kFinished);
  std::string expected;
  for (int i = 0; i < 9; ++i) expected += "yes\n";
  EXPECT_EQ(console.text, expected);
}

TEST(RunJob, AwkwardNamesReachTheCommandIntact) {
  TempDir dir;
  fs::create_directory(dir / "sub dir");
  // In listing order, so that the expected output is their concatenation.
  const char* names[] = {"-n", "a \"quoted\" 'name'", "latin1 \xe9\xff", "line\nbreak",
                         "tab\there"};
  std::string expected;
  for (const char* name : names) {
    WriteFile(dir / "sub dir/" + name, "");
    expected += dir / "sub dir/" + name + '\0' + dir / "sub dir/" + '\0';
  }
  RecordingConsole console;
  JobHooks hooks{&console, nullptr};
  Settings settings = ChildRun(dir.Path(), "", "args0 %f %p");
  settings.process_folders = 0;
  RunJob(settings, hooks);
  EXPECT_EQ(console.text, expected);
}

TEST(RunJob, StopsWhenTheConsoleEnds) {
  class ClosingConsole : public RecordingConsole {
    ConsoleState Service() override {
      return text.empty() ? ConsoleState::kOpen : ConsoleState::kClosed;
    }
  } console;
  TempDir dir;
  MakeExampleTree(dir);
  JobHooks hooks{&console, nullptr};
  Settings settings = ChildRun(dir.Path(), "", "text %n");
  settings.process_folders = 0;
  EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kConsoleEnded);
  EXPECT_EQ(console.text, "r");
}

// Run as an unprivileged user even under root, for whom no folder is ever locked.
TEST(RunJob, FolderThatCannotBeListedIsSkippedWithEverythingBelow) {
  TempDir dir;
  MakeExampleTree(dir);
  fs::create_directories(dir / "A/locked/deep");
  WriteFile(dir / "A/locked/deep/hidden.txt", "");
  chmod(dir.Path().c_str(), 0755);
  chmod((dir / "A/locked").c_str(), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    Settings settings = Everything(dir / "A");
    settings.process_folders = 0;
    DryRun run;
    std::string found;
    for (const auto& call : run.Run(settings, dir / "A/")) found += call.first + "\n";
    (void)!write(pipe_fds[1], found.data(), found.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string found;
  char buffer[256];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) found.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(found, "a.txt\nA1/a1.txt\n");
}

}  // namespace
}  // namespace wendrix
