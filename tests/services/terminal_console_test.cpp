// The console on a terminal, played by wendrix-test-terminal on a pseudo-terminal: what reaches
// the screen, what the commands share, and every way the console ends a run.
#include "services/terminal_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/job_run.h"
#include "services/program_runner.h"
#include "test_support.h"

namespace wendrix {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

extern "C" char** environ;

// Generous: the machine is small and busy; nothing here measures time.
bool WaitUntil(const std::function<bool()>& done, int seconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// What a terminal shows for bytes written to it: its output processing turns LF into CR LF.
std::string OnScreen(const std::string& bytes) {
  std::string screen;
  for (char c : bytes) {
    if (c == '\n') screen += '\r';
    screen += c;
  }
  return screen;
}

std::string Pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i & 0xFF);
  return bytes;
}

// One terminal window, scripted through its control FIFO.
class FakeTerminal {
 public:
  FakeTerminal() {
    mkfifo(control_.c_str(), 0600);
    control_fd_ = open(control_.c_str(), O_RDWR | O_CLOEXEC);
  }
  ~FakeTerminal() { close(control_fd_); }

  TerminalLauncher Launcher() const { return {WENDRIX_TEST_TERMINAL, {record_, control_}}; }
  void Do(const std::string& commands) const {
    ASSERT_EQ(write(control_fd_, commands.data(), commands.size()),
              static_cast<ssize_t>(commands.size()));
  }
  std::string Screen() const { return ReadFile(record_); }
  // True once the terminal has ended; its record is then complete.
  bool Ended() const {
    return WaitUntil([&] { return !ReadFile(record_ + ".done").empty(); });
  }
  std::string Inherited() const { return ReadFile(record_ + ".fds"); }
  const TempDir& Dir() const { return dir_; }
  const std::string& Record() const { return record_; }
  const std::string& Control() const { return control_; }

 private:
  TempDir dir_;
  std::string record_ = dir_ / "screen";
  std::string control_ = dir_ / "control";
  int control_fd_ = -1;
};

TerminalConsoleOptions Through(const FakeTerminal& terminal) {
  TerminalConsoleOptions options;
  options.launchers = {terminal.Launcher()};
  options.relay_path = WENDRIX_CONSOLE_RELAY;
  options.own_output = -1;  // never the test's own terminal
  options.relay_wait_ms = 60000;
  return options;
}

// Gives the console time to deliver what it kept, as the window does while idle.
void Drain(TerminalConsole& console) {
  WaitUntil([&] {
    pollfd pfd{console.IdleWriteDescriptor(), POLLOUT, 0};
    if (pfd.fd >= 0) poll(&pfd, 1, 100);
    return console.CheckIdle() != ConsoleState::kOpen || console.Pending() == 0;
  });
}

// Waits as the window does while idle until the console reports its end.
ConsoleState AwaitEnd(TerminalConsole& console) {
  ConsoleState state = ConsoleState::kOpen;
  WaitUntil([&] {
    std::vector<pollfd> fds;
    for (int fd : console.IdleWatchDescriptors()) fds.push_back({fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 250);
    state = console.CheckIdle();
    return state != ConsoleState::kOpen;
  });
  return state;
}

// A folder with the named empty files, and Settings that run the test child on each.
struct Job {
  explicit Job(std::initializer_list<const char*> names) {
    for (const char* name : names) WriteFile(root / name, "");
    settings.path = root.Path();
    settings.search_text = "*.txt";
    settings.command = testing::TestChild();
  }
  JobOutcome Run(Console& console, const std::string& parameters) {
    settings.parameters = parameters;
    JobHooks hooks;
    hooks.console = &console;
    hooks.idle = idle;
    return RunJob(settings, hooks);
  }
  TempDir root;
  Settings settings;
  std::function<void()> idle = [] {};
};

TEST(TerminalConsoleOutput, BytesArriveUnchangedButForTheTerminalsLineEnds) {
  FakeTerminal terminal;
  const std::string bytes =
      "CR\rLF\nCRLF\r\nUTF-8 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 " + Pattern(1 << 20) + "end";
  {
    TerminalConsole console(Through(terminal));
    ASSERT_EQ(console.Open(), 1);
    ASSERT_EQ(console.mode(), TerminalConsole::Mode::kRelay);
    for (std::size_t at = 0; at < bytes.size(); at += 4096) {
      const std::size_t n = std::min<std::size_t>(4096, bytes.size() - at);
      ASSERT_EQ(console.Write(bytes.data() + at, n), static_cast<std::int64_t>(n));
    }
    Drain(console);
    EXPECT_EQ(console.Pending(), 0u);
  }
  ASSERT_TRUE(terminal.Ended()) << "the window stays after the console was released";
  const std::string screen = terminal.Screen();
  EXPECT_EQ(screen.size(), OnScreen(bytes).size());
  EXPECT_TRUE(screen == OnScreen(bytes));
}

TEST(TerminalConsoleOutput, LaterRunsWriteIntoTheSameWindowWithNothingBetween) {
  FakeTerminal terminal;
  const std::string starts = terminal.Dir() / "starts";
  TerminalConsoleOptions options = Through(terminal);
  // Counts the emulator's starts, then becomes it.
  options.launchers = {{"/bin/sh",
                        {"-c", "echo started >> \"$0\"; exec \"$@\"", starts, WENDRIX_TEST_TERMINAL,
                         terminal.Record(), terminal.Control()}}};
  {
    TerminalConsole console(options);
    Job job({"a.txt"});
    EXPECT_EQ(job.Run(console, "text first-%n"), JobOutcome::kFinished);
    EXPECT_EQ(job.Run(console, "text second-%n"), JobOutcome::kFinished);
    Drain(console);
  }
  ASSERT_TRUE(terminal.Ended());
  EXPECT_EQ(terminal.Screen(), "first-asecond-a");
  EXPECT_EQ(ReadFile(starts), "started\n");
}

TEST(TerminalConsoleOutput, AFrozenTerminalKeepsTheRunAliveAndLosesNothing) {
  FakeTerminal terminal;
  // Ctrl+S, then the line the command waits for before it writes 1 MiB; a second later Ctrl+Q.
  terminal.Do("noecho\nwait started\ntype \\x13\ntype \\n\nsleep 1000\ntype \\x11\n");
  std::size_t held_back = 0;
  {
    TerminalConsole console(Through(terminal));
    Job job({"a.txt"});
    EXPECT_EQ(job.Run(console, "text started line bytes 1048576 text end-%n"),
              JobOutcome::kFinished);
    held_back = console.Pending();  // the run ended while the terminal was still frozen
    Drain(console);
    EXPECT_EQ(console.CheckIdle(), ConsoleState::kOpen);
  }
  EXPECT_GT(held_back, 0u);
  ASSERT_TRUE(terminal.Ended());
  EXPECT_TRUE(terminal.Screen() == OnScreen("started\n" + Pattern(1 << 20) + "end-a"));
}

TEST(TerminalConsoleCommands, ShareTheTerminalAndGetNothingElseOfTheProgram) {
  FakeTerminal terminal;
  terminal.Do("wait name? \ntype Ann\\n\n");
  {
    TerminalConsole console(Through(terminal));
    Job job({"a.txt"});
    EXPECT_EQ(job.Run(console, "stderr \"name? \" line fds pgrp text %n"), JobOutcome::kFinished);
    Drain(console);
  }
  ASSERT_TRUE(terminal.Ended());
  // The prompt on stderr, the echo of the typed line, the line copied from the pipe; only the
  // three standard descriptors; a process group of its own for the interrupt to reach.
  EXPECT_EQ(terminal.Screen(), "name? Ann\r\nAnn\r\n0\r\n1\r\n2\r\nown\r\na");
  // The emulator, and so the relay, inherits nothing: a leaked socket would keep it open.
  EXPECT_EQ(terminal.Inherited(), "0\n1\n2\n");
}

TEST(TerminalConsoleEnding, CtrlCOrClosingTheWindowDuringARunStopsIt) {
  for (auto [action, state] : {std::pair{"type \\x03", ConsoleState::kInterrupted},
                               std::pair{"close", ConsoleState::kClosed}}) {
    FakeTerminal terminal;
    terminal.Do(std::string("wait started-a\n") + action + "\n");
    TerminalConsole console(Through(terminal));
    Job job({"a.txt", "b.txt"});
    EXPECT_EQ(job.Run(console, "text started-%n sleep 30000 text finished-%n"),
              JobOutcome::kConsoleEnded);
    EXPECT_EQ(console.Service(), state);
    const std::string screen = terminal.Screen();
    EXPECT_EQ(screen.find("finished-a"), std::string::npos) << action << ": " << screen;
    EXPECT_EQ(screen.find("started-b"), std::string::npos) << action << ": " << screen;
  }
}

TEST(TerminalConsoleEnding, ClosingOrInterruptingWhileIdleIsSeen) {
  {
    FakeTerminal terminal;
    TerminalConsole console(Through(terminal));
    console.Open();
    ASSERT_EQ(console.CheckIdle(), ConsoleState::kOpen);
    terminal.Do("close\n");
    EXPECT_EQ(AwaitEnd(console), ConsoleState::kClosed);
    EXPECT_EQ(console.Write("x", 1), 0) << "a write into a closed console reported success";
  }
  {
    FakeTerminal terminal;
    TerminalConsole console(Through(terminal));
    console.Open();
    terminal.Do("type \\x1c\n");  // Ctrl+backslash
    EXPECT_EQ(AwaitEnd(console), ConsoleState::kInterrupted);
  }
}

TEST(TerminalConsoleOpening, ALauncherThatFailsPassesToTheNext) {
  FakeTerminal terminal;
  TerminalConsoleOptions options = Through(terminal);
  options.launchers = {{"wendrix-no-such-terminal", {}}, {"false", {}}, terminal.Launcher()};
  TerminalConsole console(options);
  console.Open();
  EXPECT_EQ(console.mode(), TerminalConsole::Mode::kRelay);
}

TEST(TerminalConsoleOpening, WithoutARelayTheProgramsOwnStreamsServe) {
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  for (bool server_like : {true, false}) {
    TerminalConsoleOptions options;
    options.relay_path = WENDRIX_CONSOLE_RELAY;
    options.own_output = out[1];
    // One that exits 0 as a server's launcher does, yet no relay ever calls: a bounded wait.
    options.launchers =
        server_like ? std::vector<TerminalLauncher>{{"true", {}}} : std::vector<TerminalLauncher>{};
    options.relay_wait_ms = 1500;
    TerminalConsole console(options);
    console.Open();
    EXPECT_EQ(console.mode(), TerminalConsole::Mode::kStandardStreams);
    EXPECT_EQ(CurrentChildStdio().input, -1);
    EXPECT_FALSE(CurrentChildStdio().own_process_group);
    ASSERT_EQ(console.Write("plain\n", 6), 6);
    Drain(console);
    char buffer[16] = {};
    EXPECT_EQ(read(out[0], buffer, sizeof buffer), 6);
    EXPECT_STREQ(buffer, "plain\n");
  }
  close(out[0]);
  close(out[1]);
}

TEST(TerminalConsoleOwnTerminal, IsUsedWhenOutputIsATerminalAndLeavesItsFlagsAlone) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  TerminalConsoleOptions options;
  options.launchers = {};
  options.own_output = slave;
  TerminalConsole console(options);
  Job job({"a.txt"});
  EXPECT_EQ(job.Run(console, "pgrp text %n"), JobOutcome::kFinished);
  EXPECT_EQ(console.mode(), TerminalConsole::Mode::kOwnTerminal);
  Drain(console);
  std::string screen;
  WaitUntil([&] {
    char buffer[256];
    pollfd pfd{master, POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0) {
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) screen.append(buffer, static_cast<std::size_t>(n));
    }
    return screen.size() >= 7;
  });
  // Children stay in our group: in a group of their own, reading the terminal would stop them.
  EXPECT_EQ(screen, "same\r\na");
  EXPECT_EQ(fcntl(slave, F_GETFL) & O_NONBLOCK, 0) << "non-blocking mode leaked to the shell";

  close(master);
  EXPECT_EQ(AwaitEnd(console), ConsoleState::kClosed);
  close(slave);
}

// The whole program on a terminal it was started from: the driver runs one job and watches the
// console, as the window does, on the test terminal as its controlling terminal.
class OwnTerminalProgram {
 public:
  explicit OwnTerminalProgram(const std::string& parameters) {
    WriteFile(job_.root / "a.txt", "");
    WriteFile(job_.root / "b.txt", "");
    std::vector<std::string> words = {WENDRIX_TEST_TERMINAL,
                                      terminal_.Record(),
                                      terminal_.Control(),
                                      WENDRIX_TEST_CONSOLE_DRIVER,
                                      result_,
                                      job_.root.Path(),
                                      "*.txt",
                                      testing::TestChild(),
                                      parameters};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ);
  }
  ~OwnTerminalProgram() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  const FakeTerminal& terminal() const { return terminal_; }
  std::string Result() const { return ReadFile(result_); }
  bool ResultHas(const std::string& line) const {
    return WaitUntil([&] { return Result().find(line) != std::string::npos; });
  }

 private:
  FakeTerminal terminal_;
  Job job_{};
  std::string result_ = terminal_.Dir() / "result";
  pid_t pid_ = -1;
};

TEST(TerminalConsoleOwnTerminal, CtrlCInterruptsTheCommandAndEndsTheRun) {
  OwnTerminalProgram program("text started-%n sleep 30000 text finished-%n");
  program.terminal().Do("wait started-a\ntype \\x03\n");
  ASSERT_TRUE(program.terminal().Ended());
  EXPECT_EQ(program.Result(), "run: console-ended\n");
  EXPECT_EQ(program.terminal().Screen().find("finished-a"), std::string::npos);
  EXPECT_EQ(program.terminal().Screen().find("started-b"), std::string::npos);
}

TEST(TerminalConsoleOwnTerminal, ClosingTheTerminalWhileIdleEndsTheProgram) {
  OwnTerminalProgram program("text done-%n");
  ASSERT_TRUE(program.ResultHas("run: finished"));
  program.terminal().Do("close\n");
  ASSERT_TRUE(program.terminal().Ended());
  EXPECT_TRUE(program.ResultHas("idle: closed")) << program.Result();
  EXPECT_EQ(program.terminal().Screen(), "done-adone-b");
}

}  // namespace
}  // namespace wendrix
