// --version of every program: the project's version, printed without a display, and a failed
// write of it reported.
#include "wendrix/version.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

using testing::RunShell;

// Without a display.
std::pair<int, std::string> RunLine(const std::string& line) {
  return RunShell("exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + line);
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
