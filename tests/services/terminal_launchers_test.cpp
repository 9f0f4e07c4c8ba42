// The terminal emulators as the console starts them, each played by a script of the same name
// on PATH that records the arguments it was given.
#include "services/terminal_launchers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "test_support.h"

namespace wendrix {
namespace {

// Blanks and a quote, so that a path split or left unquoted shows.
const std::string kRelay = "/opt/my apps/wendrix-console";
const std::string kSocket = "/run/user/1000/wendrix-it's/socket";

// What a POSIX shell makes of word: one line per resulting argument.
std::string ShellSplit(const std::string& word) {
  const std::string command =
      "/bin/sh -c 'eval \"set -- $1\"; printf \"%s\\n\" \"$@\"' sh " + ShellQuote(word);
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  for (int c; (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  pclose(pipe);
  return output;
}

// Every emulator ends its arguments with the command: the relay and the socket whole, as two
// arguments or as one word that the emulator splits as a shell does; only what it takes before
// the command differs. Debian guarantees x-terminal-emulator and its "-e": it comes first.
TEST(TerminalLaunchers, EveryEmulatorIsGivenTheRelayAndTheSocketWholeAndOnlyWhenInstalled) {
  unsetenv("WENDRIX_TERMINAL");
  const std::vector<TerminalLauncher> launchers = DefaultTerminalLaunchers();
  ASSERT_GT(launchers.size(), 1u);
  // The alert when none opened a window names every one tried.
  const std::string alert = NoConsoleWindowText(launchers);
  EXPECT_NE(alert.find("Install xterm"), std::string::npos) << alert;
  testing::TempDir bin;
  setenv("PATH", bin.Path().c_str(), 1);  // the only test of this program: no need to restore it
  std::string first;
  for (const TerminalLauncher& launcher : launchers) {
    SCOPED_TRACE(launcher.program);
    EXPECT_NE(alert.find(" " + launcher.program + (&launcher == &launchers.back() ? "." : ",")),
              std::string::npos);
    const std::string script = bin / launcher.program;
    testing::WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\n");
    chmod(script.c_str(), 0755);
    const pid_t pid = StartTerminalLauncher(launcher, kRelay, kSocket);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    const std::string args = testing::ReadFile(script + ".args");
    if (first.empty()) first = launcher.program + " " + args;
    const std::string command = kRelay + "\n" + kSocket + "\n";
    if (args == command || args.ends_with("\n" + command)) continue;
    const std::string last = args.substr(args.rfind('\n', args.size() - 2) + 1);
    EXPECT_EQ(ShellSplit(last.substr(0, last.size() - 1)), command) << args;
  }
  EXPECT_EQ(first, "x-terminal-emulator -e\n" + kRelay + "\n" + kSocket + "\n");
  EXPECT_EQ(StartTerminalLauncher({"no-such-terminal", {"--"}}, kRelay, kSocket), -1);
}

}  // namespace
}  // namespace wendrix
