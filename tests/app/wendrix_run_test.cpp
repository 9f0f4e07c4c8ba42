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
using namespace testing;

const std::string kWendrixRun = "'" + std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run'";

// Runs a shell command line without standard input: its exit status, and its output and errors
// together. The temporary paths hold no blank or quote.
std::pair<int, std::string> RunProgram(const std::string& line) {
  FILE* pipe = popen(("exec " + line + " </dev/null 2>&1").c_str(), "r");
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
    ASSERT_TRUE(SaveSettingsFile(file, Settings{root.Path(), "*.txt", 1, 0, out.Path(), TestChild(),
                                                "args %n \"%d\" -- %f"}));
  }
  TempDir root, out, work;
  std::string file = work / "job.ini";
};

TEST_F(WendrixRun, DryRunLinesPastedIntoAShellDoWhatTheRunDoes) {
  WriteFile(work / "lines.sh", RunProgram(kWendrixRun + " --dry-run " + file).second);
  EXPECT_FALSE(fs::exists(out / "sub"));  // a dry run creates nothing
  const std::string pasted = RunProgram("/bin/sh " + work / "lines.sh").second;
  EXPECT_EQ(RunProgram(kWendrixRun + " " + file), std::pair(0, pasted));
  EXPECT_EQ(pasted, "it's \"odd\"\n\xff\n" + out.Path() + "\n--\n" + root.Path() +
                        "it's \"odd\"\n\xff.txt\nplain\n" + out.Path() + "\n--\n" + root.Path() +
                        "plain.txt\n$(touch pwned)\n" + out.Path() + "sub/\n--\n" + root.Path() +
                        "sub/$(touch pwned).txt\n");
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
}

TEST_F(WendrixRun, SearchTextHoldingAFolderRunsAndShowsTheEntryInThatFolder) {
  WriteFile(root / "sub/plain.txt", "");
  ASSERT_TRUE(SaveSettingsFile(
      file, Settings{root.Path(), "sub/plain.txt", 1, 0, out.Path(), TestChild(), "args %d %f"}));
  const std::string expected = out.Path() + "sub/\n" + root.Path() + "sub/plain.txt\n";
  WriteFile(work / "lines.sh", RunProgram(kWendrixRun + " --dry-run " + file).second);
  EXPECT_EQ(RunProgram("/bin/sh " + work / "lines.sh").second, expected);
  EXPECT_EQ(RunProgram(kWendrixRun + " " + file), std::pair(0, expected));
}

TEST_F(WendrixRun, UnreadableSettingsOrBadArgumentsExitWithTwoAndOneLine) {
  for (const std::string& args : {" " + work / "missing.ini", " " + work.Path(), std::string(),
                                  " --bogus " + file, " " + file + " " + file}) {
    const auto [status, message] = RunProgram(kWendrixRun + args);
    EXPECT_EQ(status, 2) << args;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    // The message names a missing file.
    EXPECT_TRUE(args.find("missing") == args.npos || message.find("missing.ini") != args.npos);
  }
}

}  // namespace
}  // namespace wendrix
