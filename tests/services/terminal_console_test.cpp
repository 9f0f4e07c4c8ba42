// The console on a terminal, played by wendrix-test-terminal on a pseudo-terminal: what reaches
// the screen, what the commands share, and every way the console ends a run.
#include "services/terminal_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>

#include "engine/job_run.h"
#include "services/console_relay.h"
#include "services/program_runner.h"
#include "test_support.h"
#include "virtual_clock.h"

namespace wendrix {
namespace {

using testing::ReadFile;

// What a terminal shows for bytes written to it: its output processing turns LF into CR LF.
std::string OnScreen(const std::string& bytes) {
  std::string screen;
  for (char c : bytes) screen += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return screen;
}

// One terminal window, scripted through its control FIFO; its folder holds the files named.
struct FakeTerminal {
  explicit FakeTerminal(std::initializer_list<const char*> files = {}) {
    for (const char* name : files) testing::WriteFile(dir / name, "");
    mkfifo(control.c_str(), 0600);
    control_fd = open(control.c_str(), O_RDWR | O_CLOEXEC);  // lets Do open it without a reader
  }
  ~FakeTerminal() { close(control_fd); }
  void Do(const std::string& commands) const { std::ofstream(control) << commands; }
  // True once the terminal has ended; its record is then complete.
  bool Ended() const {
    return testing::WaitUntil([&] { return !ReadFile(record + ".done").empty(); });
  }
  testing::TempDir dir;
  std::string record = dir / "screen", control = dir / "control";
  int control_fd = -1;
};

// The console on the fake terminal, never on the test's own.
TerminalConsoleOptions Through(const FakeTerminal& terminal) {
  return {.launchers = {{WENDRIX_TEST_TERMINAL, {terminal.record, terminal.control}}},
          .relay_path = WENDRIX_CONSOLE_RELAY,
          .own_output = -1,
          .relay_wait_ms = 60000,
          .idle = {},
          .no_console_window = {}};
}

// Runs the test child with parameters on every .txt file of folder.
JobOutcome RunOn(Console& console, const std::string& folder, const std::string& parameters) {
  JobHooks hooks{&console, {}};
  return RunJob(Settings{folder, "*.txt", 1, 0, "", testing::TestChild(), parameters}, hooks);
}

TEST(TerminalConsoleOutput, BytesArriveUnchangedCommandsShareTheWindowAndAFreezeLosesNothing) {
  FakeTerminal terminal({"a.txt"});
  const testing::TempDir runtime;  // where the socket's private folder goes
  setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
  const std::string starts = terminal.dir / "starts";
  TerminalConsoleOptions options = Through(terminal);
  // Two launchers that fail, then one that notes its pid at each start and becomes the emulator.
  options.launchers = {{"wendrix-no-such-terminal", {}},
                       {"false", {}},
                       {"/bin/sh",
                        {"-c", "echo $$ >> \"$0\"; exec \"$@\"", starts, WENDRIX_TEST_TERMINAL,
                         terminal.record, terminal.control}}};
  // A line typed at the prompt. Then Ctrl+S, and the line the command waits for before it
  // writes 512 KiB; Ctrl+Q once the run has ended with the terminal still frozen.
  terminal.Do("wait name? \ntype Ann\\x0a\nwait started\ntype \\x13\ntype \\x0a\n");
  const std::string bytes = "CR\rLF\nCRLF\r\nUTF-8 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 ";
  std::size_t held_back = 0;
  {
    TerminalConsole console(options);
    ASSERT_EQ(console.Open(), 1);
    ASSERT_EQ(console.mode(), TerminalConsole::Mode::kRelay);
    EXPECT_TRUE(std::filesystem::is_empty(runtime.Path())) << "the socket's folder is left";
    ASSERT_EQ(console.Write(bytes.data(), bytes.size()), static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(RunOn(console, terminal.dir.Path(), "stderr \"name? \" line pgrp text %n"),
              JobOutcome::kFinished);
    EXPECT_EQ(RunOn(console, terminal.dir.Path(), "text started line bytes 524288 text end-%n"),
              JobOutcome::kFinished);
    held_back = console.Pending();  // the run ended while the terminal was still frozen
    terminal.Do("type \\x11\n");
    // Looks as the window does while idle, until what the console kept is delivered.
    testing::WaitUntil(
        [&] { return console.CheckIdle() != ConsoleState::kOpen || console.Pending() == 0; });
    EXPECT_EQ(console.CheckIdle(), ConsoleState::kOpen);
  }
  EXPECT_GT(held_back, 0u);
  const std::string pattern = testing::ChildBytes(1 << 19);
  ASSERT_TRUE(terminal.Ended()) << "the window outlived the console";
  // The prompt on stderr, the echo of a typed line before the line copied from the pipe; a
  // process group of its own for the interrupt to reach.
  EXPECT_TRUE(ReadFile(terminal.record) ==
              kConsoleTitle +
                  OnScreen(bytes + "name? Ann\nAnn\nown\nastarted\n\n" + pattern + "end-a"));
  const std::string launches = ReadFile(starts);  // once: no second window
  ASSERT_EQ(std::count(launches.begin(), launches.end(), '\n'), 1) << launches;
  const pid_t launcher = std::stoi(launches);
  ASSERT_GT(launcher, 0);  // never kill(-1)
  // The launcher that became the emulator has ended with it, and was reaped.
  EXPECT_TRUE(testing::WaitUntil([&] { return kill(launcher, 0) != 0; }, 10000));
  // The emulator, and so the relay, inherits nothing: a leaked socket would keep it open.
  EXPECT_EQ(ReadFile(terminal.record + ".fds"), "0\n1\n2\n");
}

TEST(TerminalConsoleOpening, WaitingForARelayThatNeverCallsLetsTheWindowInAndTellsOnce) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  // No output at all, and a terminal that is not the program's controlling one: only the first
  // has nowhere to show the output.
  const std::pair<int, int> cases[] = {{-1, 1}, {slave, 0}};
  for (const auto& [own_output, told] : cases) {
    SCOPED_TRACE(own_output);
    int idle_calls = 0, no_window_calls = 0;
    // One that exits 0 as a server's launcher does, yet no relay ever calls: a bounded wait,
    // passed on the virtual clock.
    testing::VirtualClock clock;
    const std::int64_t start = clock.NowMs();
    TerminalConsole console({.launchers = {{"true", {}}},
                             .relay_path = WENDRIX_CONSOLE_RELAY,
                             .own_output = own_output,
                             .relay_wait_ms = 1500,
                             .idle = [&] { ++idle_calls; },
                             .no_console_window = [&] { ++no_window_calls; }});
    console.Open();
    EXPECT_EQ(console.mode(), TerminalConsole::Mode::kStandardStreams);
    EXPECT_EQ(console.ChildStreams().input, -1);
    EXPECT_GE(clock.NowMs() - start, 1500);
    console.Open();  // a second run finds the same and says nothing more
    EXPECT_GT(idle_calls, 1) << "the window was dead during the wait";
    EXPECT_EQ(no_window_calls, told);
  }
  close(master);
  close(slave);
}

// The console as chosen by a program whose controlling terminal is a test-held pty, in the
// foreground of that terminal or in the background (another process group in the foreground),
// ended during the first command by Ctrl+C in the foreground or by closing the relay's window.
// The program runs in a child of the test and writes to a file what it found, then whether it
// sees its console gone with SIGHUP ignored, as when a terminal multiplexer's pane closes.
TEST(TerminalConsoleEnding, CtrlCOrAClosedWindowStopsTheRunAndTheCommandsOwnChildren) {
  for (const bool foreground : {true, false}) {
    SCOPED_TRACE(foreground ? "foreground" : "background");
    FakeTerminal terminal({"a.txt", "b.txt"});
    const std::string result = terminal.dir / "result";
    // The command leaves a child behind, named by the folder (unique to this case), that would
    // write a minute later.
    const std::string marker = "grandchild-" + terminal.dir.Path();
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    const pid_t program = fork();
    ASSERT_GE(program, 0);  // never kill(-1)
    if (program == 0) {
      close(master);
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      pid_t other = -1;
      if (!foreground) {  // as a shell does for "wendrix &": another job owns the terminal
        other = fork();
        if (other == 0) {
          setpgid(0, 0);
          pause();
          _exit(0);
        }
        setpgid(other, other);
        tcsetpgrp(slave, other);
      }
      TerminalConsoleOptions options = Through(terminal);
      options.own_output = slave;
      TerminalConsole console(options);
      // "line" reads the console: on the terminal of the background it would stop us all.
      const JobOutcome outcome = RunOn(
          console, terminal.dir.Path(),
          "pgrp line background 60000 " + marker + " text started-%n sleep 30000 text finished-%n");
      signal(SIGHUP, SIG_IGN);
      std::ofstream(result) << static_cast<int>(console.mode()) << " " << static_cast<int>(outcome)
                            << " " << (fcntl(slave, F_GETFL) & O_NONBLOCK) << std::flush;
      const bool seen =
          testing::WaitUntil([&] { return console.CheckIdle() == ConsoleState::kClosed; }, 20000);
      std::ofstream(result, std::ios::app)
          << (seen ? " closed " : " open ") << console.Write("x", 1);
      if (other > 0) kill(other, SIGKILL);
      _exit(0);
    }
    close(slave);
    std::string screen;  // of the test's terminal
    auto shows = [&](const char* text) {
      return testing::WaitUntil([&] {
        char buffer[256];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) screen.append(buffer, n);
        return *text == '\0' ? !ReadFile(result).empty() : screen.find(text) != std::string::npos;
      });
    };
    // The line the command waits for, then the end, in whichever terminal is the console.
    if (foreground) {
      shows("same");
      (void)!write(master, "\n", 1);
      shows("started-a");
      (void)!write(master, "\x03", 1);
    } else {
      terminal.Do("wait own\ntype \\x0a\nwait started-a\nclose\n");
    }
    if (!shows("")) kill(program, SIGKILL);  // the result
    close(master);                           // the hang-up of our own terminal
    waitpid(program, nullptr, 0);
    const TerminalConsole::Mode expected =
        foreground ? TerminalConsole::Mode::kOwnTerminal : TerminalConsole::Mode::kRelay;
    EXPECT_EQ(ReadFile(result), std::to_string(static_cast<int>(expected)) + " 1 0 closed 0")
        << "mode, run ended, non-blocking mode leaked, end seen, a write taken after it";
    // Children stay in our group on our own terminal: in a group of their own, reading it would
    // stop them. Nothing after "started-a": neither "finished-a" nor "started-b".
    // The relay's window shows its title first.
    if (!foreground) screen = ReadFile(terminal.record);
    EXPECT_EQ(screen.substr(0, screen.rfind('-') + 2),
              std::string(foreground ? "same" : kConsoleTitle + std::string("own")) +
                  "\r\n\r\n\r\nstarted-a");
    EXPECT_FALSE(testing::LiveProcessHolding(marker, "cmdline")) << "the child outlived the run";
  }
}

}  // namespace
}  // namespace wendrix
