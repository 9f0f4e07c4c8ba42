#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/settings.h"
#include "settings/settings_flows.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program with its output and errors captured in files, no standard input.
Result RunProgram(const std::vector<std::string>& argv) {
  TempDir capture;
  const std::string out = capture / "out", err = capture / "err";
  const pid_t pid = fork();
  if (pid == 0) {
    const int in_fd = open("/dev/null", O_RDONLY);
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(127);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  Result result;
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

const std::string kWendrixRun = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";

class WendrixRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root / "sub");
    WriteFile(root / "plain.txt", "");
    WriteFile(root / "it's \"odd\"\n\xff.txt", "");
    WriteFile(root / "sub/$(touch pwned).txt", "");
    settings.path = root.Path();
    settings.destination = out.Path();
    settings.search_text = "*.txt";
    settings.command = testing::TestChild();
    settings.parameters = "args %n \"%d\" -- %f";
    ASSERT_TRUE(SaveSettingsFile(file, settings));
  }
  TempDir root, out, work;
  std::string file = work / "job.ini";
  Settings settings;
};

TEST_F(WendrixRun, RunsTheJobWithTheCommandsOutputOnStandardOutput) {
  const Result result = RunProgram({kWendrixRun, file});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "it's \"odd\"\n\xff\n" + out.Path() + "\n--\n" + root.Path() +
                            "it's \"odd\"\n\xff.txt\n"
                            "plain\n" +
                            out.Path() + "\n--\n" + root.Path() + "plain.txt\n" +
                            "$(touch pwned)\n" + out.Path() + "sub/\n--\n" + root.Path() +
                            "sub/$(touch pwned).txt\n");
  EXPECT_TRUE(fs::is_directory(out / "sub"));
}

TEST_F(WendrixRun, DryRunPrintsLinesTheShellRunsTheSameWay) {
  const Result dry = RunProgram({kWendrixRun, "--dry-run", file});
  EXPECT_EQ(dry.status, 0);
  EXPECT_FALSE(fs::exists(out / "sub"));  // nothing created
  EXPECT_EQ(dry.out.substr(0, dry.out.find(' ')), "'" + std::string(testing::TestChild()) + "'");
  EXPECT_NE(dry.out.find(" 'it'\\''s \"odd\"\n\xff' "), std::string::npos) << dry.out;

  // Pasted into a shell, the lines do what the run does: no word splits or expands.
  WriteFile(work / "lines.sh", dry.out);
  const Result pasted = RunProgram({"/bin/sh", work / "lines.sh"});
  fs::create_directory(out / "sub");
  EXPECT_EQ(pasted.out, RunProgram({kWendrixRun, file}).out);
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
}

TEST_F(WendrixRun, UnreadableSettingsOrBadArgumentsExitWithTwo) {
  for (const std::vector<std::string>& argv :
       std::vector<std::vector<std::string>>{{kWendrixRun, work / "missing.ini"},
                                             {kWendrixRun, work.Path()},
                                             {kWendrixRun},
                                             {kWendrixRun, "--bogus", file},
                                             {kWendrixRun, file, file}}) {
    const Result result = RunProgram(argv);
    EXPECT_EQ(result.status, 2) << argv.back();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  const Result missing = RunProgram({kWendrixRun, work / "missing.ini"});
  EXPECT_NE(missing.err.find("missing.ini"), std::string::npos);
}

}  // namespace
}  // namespace wendrix
