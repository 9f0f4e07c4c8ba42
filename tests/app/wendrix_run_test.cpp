#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "settings/settings_flows.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFile;

const std::string kWendrixRun = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";

// Runs argv without standard input: its exit status, and its output and errors together.
std::pair<int, std::string> RunProgram(const std::vector<std::string>& argv) {
  std::string line = "exec";
  for (const std::string& arg : argv) line += " '" + arg + "'";  // test paths hold no quote
  FILE* pipe = popen((line + " </dev/null 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class WendrixRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root / "sub");
    for (const char* name : {"plain.txt", "it's \"odd\"\n\xff.txt", "sub/$(touch pwned).txt"})
      WriteFile(root / name, "");
    ASSERT_TRUE(SaveSettingsFile(file, Settings{root.Path(), "*.txt", 1, 0, out.Path(),
                                                testing::TestChild(), "args %n \"%d\" -- %f"}));
  }
  TempDir root, out, work;
  std::string file = work / "job.ini";
};

TEST_F(WendrixRun, DryRunLinesPastedIntoAShellDoWhatTheRunDoes) {
  const auto [dry_status, dry] = RunProgram({kWendrixRun, "--dry-run", file});
  EXPECT_EQ(dry_status, 0);
  EXPECT_FALSE(fs::exists(out / "sub"));  // a dry run creates nothing
  WriteFile(work / "lines.sh", dry);
  const std::string pasted = RunProgram({"/bin/sh", work / "lines.sh"}).second;
  EXPECT_EQ(RunProgram({kWendrixRun, file}), std::pair(0, pasted));
  EXPECT_TRUE(fs::is_directory(out / "sub"));
  EXPECT_EQ(pasted, "it's \"odd\"\n\xff\n" + out.Path() + "\n--\n" + root.Path() +
                        "it's \"odd\"\n\xff.txt\nplain\n" + out.Path() + "\n--\n" + root.Path() +
                        "plain.txt\n$(touch pwned)\n" + out.Path() + "sub/\n--\n" + root.Path() +
                        "sub/$(touch pwned).txt\n");
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
}

TEST_F(WendrixRun, UnreadableSettingsOrBadArgumentsExitWithTwoAndOneLine) {
  for (const std::vector<std::string>& argv :
       std::vector<std::vector<std::string>>{{kWendrixRun, work / "missing.ini"},
                                             {kWendrixRun, work.Path()},
                                             {kWendrixRun},
                                             {kWendrixRun, "--bogus", file},
                                             {kWendrixRun, file, file}}) {
    const auto [status, message] = RunProgram(argv);
    EXPECT_EQ(status, 2) << argv.back();
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  }
  EXPECT_NE(RunProgram({kWendrixRun, work / "missing.ini"}).second.find("missing.ini"),
            std::string::npos);
}

}  // namespace
}  // namespace wendrix
