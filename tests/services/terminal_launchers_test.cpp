// The terminal emulators as the console starts them: every emulator of the list, played by a
// script of the same name on PATH that records the arguments it was given.
#include "services/terminal_launchers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "test_support.h"

namespace wendrix {
namespace {

using testing::ReadFile;

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

TEST(TerminalLaunchers, EachEmulatorGetsTheRelayAndTheSocketItsOwnWayAndOnlyWhenInstalled) {
  const std::string one_word = ShellQuote(kRelay) + " " + ShellQuote(kSocket);
  // The arguments after the program, as each emulator documents taking a command.
  const std::map<std::string, std::vector<std::string>> expected = {
      {"x-terminal-emulator", {"-e", kRelay, kSocket}},
      {"xterm", {"-e", kRelay, kSocket}},
      {"gnome-terminal", {"--", kRelay, kSocket}},
      {"konsole", {"-e", kRelay, kSocket}},
      {"xfce4-terminal", {"-x", kRelay, kSocket}},
      {"kitty", {kRelay, kSocket}},
      {"alacritty", {"-e", kRelay, kSocket}},
      {"foot", {kRelay, kSocket}},
      {"ptyxis", {"--", kRelay, kSocket}},
      {"kgx", {"--", kRelay, kSocket}},
      {"tilix", {"-e", one_word}},
      {"terminator", {"-x", kRelay, kSocket}},
      {"lxterminal", {"-e", one_word}},
      {"mate-terminal", {"-x", kRelay, kSocket}},
      {"qterminal", {"-e", kRelay, kSocket}},
      {"wezterm", {"start", "--", kRelay, kSocket}},
  };
  unsetenv("WENDRIX_TERMINAL");
  const std::vector<TerminalLauncher> launchers = DefaultTerminalLaunchers();
  ASSERT_EQ(launchers.size(), expected.size());
  EXPECT_EQ(launchers.front().program, "x-terminal-emulator");  // the one Debian guarantees
  const std::string alert = NoConsoleWindowText(launchers);
  EXPECT_NE(alert.find("Install xterm"), std::string::npos) << alert;

  testing::TempDir bin;
  setenv("PATH", bin.Path().c_str(), 1);  // the only test of this program: no need to restore it
  for (const TerminalLauncher& launcher : launchers) {
    SCOPED_TRACE(launcher.program);
    EXPECT_NE(alert.find(" " + launcher.program + (&launcher == &launchers.back() ? "." : ",")),
              std::string::npos);
    ASSERT_EQ(expected.count(launcher.program), 1u);
    const std::string script = bin / launcher.program;
    testing::WriteFile(script,
                       "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >\"$0.args\"\n");
    chmod(script.c_str(), 0755);

    const pid_t pid = StartTerminalLauncher(launcher, kRelay, kSocket);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    const std::vector<std::string>& args = expected.at(launcher.program);
    std::string lines;
    for (const std::string& arg : args) lines += arg + "\n";
    EXPECT_EQ(ReadFile(script + ".args"), lines);
    // The one word comes apart, as the emulator splits it, into exactly the two paths.
    if (launcher.command_as_one_word) {
      EXPECT_EQ(ShellSplit(args.back()), kRelay + "\n" + kSocket + "\n");
    }
  }
  EXPECT_EQ(StartTerminalLauncher({"no-such-terminal", {"--"}}, kRelay, kSocket), -1);
}

}  // namespace
}  // namespace wendrix
