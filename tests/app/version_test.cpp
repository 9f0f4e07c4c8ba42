// --version of every program: the project's version, printed without a display, and a failed
// write of it reported.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"
#include "wendrix/version.h"

namespace wendrix {
namespace {

// Runs a shell command line with no display and without standard input: its exit status and
// its standard output.
std::pair<int, std::string> RunLine(const std::string& line) {
  const std::string shell =
      "exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + line + " </dev/null";
  FILE* pipe = popen(shell.c_str(), "r");
  std::string out;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(Version, EveryProgramPrintsTheProjectVersionWithoutADisplayOrFailsWhenItCannot) {
  std::vector<std::string> programs = {"wendrix-run", "wendrix-console"};
#ifdef WENDRIX_TEST_GUI
  programs.push_back("wendrix");
#endif
  for (const std::string& program : programs) {
    SCOPED_TRACE(program);
    const std::string path = std::string(WENDRIX_BINARY_DIR) + "/src/app/" + program;
    EXPECT_EQ(RunLine(path + " --version"),
              std::make_pair(0, program + " " + WENDRIX_VERSION + "\n"));
    EXPECT_NE(RunLine(path + " --version >/dev/full 2>/dev/null").first, 0);
  }
}

}  // namespace
}  // namespace wendrix
