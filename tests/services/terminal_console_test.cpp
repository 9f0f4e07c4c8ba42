// The console on a terminal, played by wendrix-test-terminal on a pseudo-terminal: what reaches
// the screen, what the commands share, and every way the console ends a run.
#include "services/terminal_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

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
  const std::string starts = terminal.dir / "starts";
  TerminalConsoleOptions options = Through(terminal);
  // Two launchers that fail, then one that counts the emulator's starts and becomes it.
  options.launchers = {{"wendrix-no-such-terminal", {}},
                       {"false", {}},
                       {"/bin/sh",
                        {"-c", "echo started >> \"$0\"; exec \"$@\"", starts, WENDRIX_TEST_TERMINAL,
                         terminal.record, terminal.control}}};
  // A line typed at the prompt. Then Ctrl+S, the line the command waits for before it writes
  // 1 MiB, and a second later Ctrl+Q.
  terminal.Do(
      "wait name? \ntype Ann\\x0a\nwait own\nnoecho\nwait started\ntype \\x13\n"
      "type \\x0a\nsleep 1000\ntype \\x11\n");
  const std::string bytes = "CR\rLF\nCRLF\r\nUTF-8 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 ";
  std::size_t held_back = 0;
  {
    TerminalConsole console(options);
    ASSERT_EQ(console.Open(), 1);
    ASSERT_EQ(console.mode(), TerminalConsole::Mode::kRelay);
    ASSERT_EQ(console.Write(bytes.data(), bytes.size()), static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(RunOn(console, terminal.dir.Path(), "stderr \"name? \" line pgrp text %n"),
              JobOutcome::kFinished);
    EXPECT_EQ(RunOn(console, terminal.dir.Path(), "text started line bytes 1048576 text end-%n"),
              JobOutcome::kFinished);
    held_back = console.Pending();  // the run ended while the terminal was still frozen
    // Waits as the window does while idle, until what the console kept is delivered.
    testing::WaitUntil([&] {
      std::vector<pollfd> fds;
      console.AddWaitDescriptors(fds);
      for (int fd : console.IdleWatchDescriptors()) fds.push_back({fd, POLLIN, 0});
      poll(fds.data(), fds.size(), 100);
      return console.CheckIdle() != ConsoleState::kOpen || console.Pending() == 0;
    });
    EXPECT_EQ(console.CheckIdle(), ConsoleState::kOpen);
  }
  EXPECT_GT(held_back, 0u);
  std::string pattern(1 << 20, '\0');  // what "bytes" writes
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i & 0xFF);
  ASSERT_TRUE(terminal.Ended()) << "the window outlived the console";
  // The prompt on stderr, the echo of the typed line, the line copied from the pipe; a process
  // group of its own for the interrupt to reach.
  EXPECT_TRUE(ReadFile(terminal.record) ==
              kConsoleTitle +
                  OnScreen(bytes + "name? Ann\nAnn\nown\nastarted\n" + pattern + "end-a"));
  EXPECT_EQ(ReadFile(starts), "started\n");
  // The emulator, and so the relay, inherits nothing: a leaked socket would keep it open.
  EXPECT_EQ(ReadFile(terminal.record + ".fds"), "0\n1\n2\n");
}

TEST(TerminalConsoleEnding, ClosingTheWindowDuringACommandStopsTheRunAndTheCommandsOwnChildren) {
  FakeTerminal terminal({"a.txt", "b.txt"});
  terminal.Do("wait started-a\nclose\n");
  TerminalConsole console(Through(terminal));
  // The command leaves a child of its own behind, named by the folder (unique to this test),
  // that would write a minute later.
  const std::string marker = "grandchild-" + terminal.dir.Path();
  EXPECT_EQ(RunOn(console, terminal.dir.Path(),
                  "background 60000 " + marker + " text started-%n sleep 30000 text finished-%n"),
            JobOutcome::kConsoleEnded);
  EXPECT_EQ(console.Service(), ConsoleState::kClosed);
  EXPECT_EQ(console.Write("x", 1), 0);
  ASSERT_TRUE(terminal.Ended());
  // Neither "finished-a" nor "started-b".
  EXPECT_EQ(ReadFile(terminal.record), kConsoleTitle + std::string("started-a"));
  EXPECT_FALSE(testing::LiveProcessHolding(marker, "cmdline")) << "the child outlived the run";
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
// foreground of that terminal or in the background (another process group in the foreground).
// The program runs in a child of the test; it writes what it found to a file.
TEST(TerminalConsoleOwnTerminal, IsUsedOnlyInTheForegroundAndLeavesItsFlagsAlone) {
  for (const bool foreground : {true, false}) {
    SCOPED_TRACE(foreground ? "foreground" : "background");
    FakeTerminal terminal({"a.txt"});
    const std::string result = terminal.dir / "result";
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    const pid_t program = fork();
    if (program == 0) {
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
      const JobOutcome outcome = RunOn(console, terminal.dir.Path(), "line text %n");
      std::ofstream(result) << static_cast<int>(console.mode()) << " "
                            << (outcome == JobOutcome::kFinished) << " "
                            << (fcntl(slave, F_GETFL) & O_NONBLOCK);
      if (other > 0) kill(other, SIGKILL);
      _exit(0);
    }
    close(slave);
    // The line the command waits for, typed in whichever terminal is the console.
    terminal.Do("type \\x0a\n");
    if (foreground) (void)!write(master, "\n", 1);
    const bool done = testing::WaitUntil([&] {
      char buffer[256];
      while (read(master, buffer, sizeof buffer) > 0) {
      }
      return !ReadFile(result).empty();
    });
    if (!done) kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    const TerminalConsole::Mode expected =
        foreground ? TerminalConsole::Mode::kOwnTerminal : TerminalConsole::Mode::kRelay;
    EXPECT_EQ(ReadFile(result), std::to_string(static_cast<int>(expected)) + " 1 0")
        << "mode, finished, non-blocking mode leaked";
    close(master);
  }
}

// The whole program on a terminal it was started from: the driver runs one job with the test
// terminal as its controlling terminal.
TEST(TerminalConsoleOwnTerminal, CtrlCInterruptsTheCommandAndEndsTheRun) {
  FakeTerminal terminal({"a.txt", "b.txt"});
  const std::string root = terminal.dir.Path(), result = terminal.dir / "result";
  const std::string line = std::string(WENDRIX_TEST_TERMINAL) + " " + terminal.record + " " +
                           terminal.control + " " WENDRIX_TEST_CONSOLE_DRIVER " " + result + " " +
                           root + " " + testing::TestChild() +
                           " 'pgrp text started-%n sleep 30000 text finished-%n' &";
  ASSERT_EQ(std::system(line.c_str()), 0);
  terminal.Do("wait started-a\ntype \\x03\n");
  ASSERT_TRUE(terminal.Ended());
  EXPECT_EQ(ReadFile(result), "console-ended");
  // Children stay in our group: in a group of their own, reading the terminal would stop them.
  // Nothing after "started-a": neither "finished-a" nor "started-b".
  const std::string screen = ReadFile(terminal.record);  // "^C" may be echoed after the last
  EXPECT_EQ(screen.substr(0, screen.rfind('-') + 2), "same\r\nstarted-a");
}

}  // namespace
}  // namespace wendrix
