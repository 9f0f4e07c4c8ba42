#include "services/program_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

using testing::TempDir;
using testing::TestChild;

constexpr std::uint32_t kSystemFlags = ChildKeep | ChildPipeOutput;

ChildRecord* Start(const std::vector<std::string>& args, std::uint32_t flags = kSystemFlags,
                   const std::string& folder = "") {
  return AsChildRecord(ChildStart(TestChild(), args, folder, flags));
}

// Everything the child writes, until it has ended and the pipe is drained; closes the record.
std::string Drain(ChildRecord* record) {
  std::string out;
  while (ChildRunning(record)) {
    const std::int32_t n = ChildOutputAvailable(record);
    if (n > 0) {
      std::string piece(static_cast<std::size_t>(n), '\0');
      EXPECT_EQ(ChildReadOutput(record, piece.data(), n), n);
      out += piece;
    } else {
      ChildWaitActivity(record, 1000);
    }
  }
  ChildClose(record);
  return out;
}

// Our children that are zombies right now.
int ZombieChildren() {
  int zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;
    const std::size_t close = stat.rfind(')');
    char state = 0;
    int ppid = 0;
    if (close == std::string::npos ||
        std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) {
      continue;
    }
    if (ppid == getpid() && state == 'Z') ++zombies;
  }
  return zombies;
}

bool ProcessGone(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  return !in;
}

// Waits up to 5 s for cond.
template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 100; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cond();
}

// Redirects one of our own descriptors into a file for a scope, to see what was written there.
class CapturedFd {
 public:
  CapturedFd(int fd, const std::string& path) : fd_(fd), saved_(dup(fd)) {
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, fd);
    close(file);
  }
  ~CapturedFd() {
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

class ProgramRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { SetChildStdio(ChildStdio{}); }
  void TearDown() override { SetChildStdio(ChildStdio{}); }
};

TEST_F(ProgramRunnerTest, ProgramsThatCannotStartGiveZeroAndWriteNothing) {
  TempDir dir;
  testing::WriteFile(dir / "plain", "#!/bin/sh\necho no\n");
  chmod((dir / "plain").c_str(), 0644);
  const std::string out_file = dir / "out", err_file = dir / "err";
  {
    CapturedFd out(STDOUT_FILENO, out_file);
    CapturedFd err(STDERR_FILENO, err_file);
    for (const std::string& program : {dir / "missing", dir.Path(), dir / "plain",
                                       std::string("no-such-program-here"), std::string()}) {
      EXPECT_EQ(ChildStart(program, {"text", "x"}, "", kSystemFlags), kChildNotStarted);
    }
    // Without a pipe bit a missing file is not handed to the desktop either.
    EXPECT_EQ(ChildStart(dir / "missing", {}, "", ChildKeep), kChildNotStarted);
    // A folder that cannot be entered stops the start as well.
    EXPECT_EQ(ChildStart(TestChild(), {"text", "x"}, dir / "missing", kSystemFlags),
              kChildNotStarted);
  }
  EXPECT_EQ(testing::ReadFile(out_file), "");
  EXPECT_EQ(testing::ReadFile(err_file), "");
  EXPECT_EQ(ZombieChildren(), 0);
}

TEST_F(ProgramRunnerTest, BareNamesAreLookedUpInPath) {
  TempDir dir;
  std::filesystem::create_directory(dir / "empty");
  std::filesystem::create_directory(dir / "bin");
  std::filesystem::create_directory(dir / "bin/wendrix-child");  // a folder does not count
  std::filesystem::create_directory(dir / "bin2");
  std::filesystem::create_symlink(TestChild(), dir / "bin2/wendrix-child");
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir / "empty:" + dir / "bin:" + dir / "bin2").c_str(), 1);
  ChildHandle handle = ChildStart("wendrix-child", {"args", "a b"}, "", kSystemFlags);
  setenv("PATH", old_path.c_str(), 1);
  ASSERT_NE(AsChildRecord(handle), nullptr);
  EXPECT_EQ(Drain(AsChildRecord(handle)), "a b\n");
}

TEST_F(ProgramRunnerTest, ArgumentsAndWorkingFolder) {
  TempDir dir;
  EXPECT_EQ(Drain(Start({"args", "", "two words", "-x", "\"q\""})), "\ntwo words\n-x\n\"q\"\n");
  std::filesystem::create_directory(dir / "sub");
  testing::WriteFile(dir / "sub/marker", "");
  EXPECT_EQ(Drain(Start({"isdir", "sub", "isdir", "marker"}, kSystemFlags, dir.Path())),
            "yes\nno\n");
}

TEST_F(ProgramRunnerTest, OutputOfAChildThatEndedBeforeThePollIsKept) {
  ChildRecord* record = Start({"text", std::string(300, 'x')});
  ASSERT_NE(record, nullptr);
  // Wait for the end without reading.
  ASSERT_TRUE(Eventually([&] { return ChildHasEnded(record); }));
  EXPECT_EQ(ChildRunning(record), 1);
  EXPECT_EQ(ChildOutputAvailable(record), 300);
  char buffer[300];
  EXPECT_EQ(ChildReadOutput(record, buffer, 100), 100);
  EXPECT_EQ(ChildRunning(record), 1);
  EXPECT_EQ(ChildOutputAvailable(record), 200);
  EXPECT_EQ(ChildReadOutput(record, buffer, 200), 200);
  EXPECT_EQ(ChildRunning(record), 0);
  // Asking for more than there is returns what there was once the pipe is closed.
  EXPECT_EQ(ChildReadOutput(record, buffer, 50), 0);
  ChildClose(record);
}

TEST_F(ProgramRunnerTest, SilentChildIsNotRunningOnceEnded) {
  ChildRecord* record = Start({"sleep", "100"});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ChildRunning(record), 1);
  EXPECT_EQ(ChildOutputAvailable(record), 0);
  ASSERT_TRUE(Eventually([&] { return ChildRunning(record) == 0; }));
  ChildClose(record);
}

TEST_F(ProgramRunnerTest, BackgroundGrandchildHoldingThePipeDoesNotKeepItRunning) {
  ChildRecord* record = Start({"text", "early", "background", "1000", "late"});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Drain(record), "early");
}

TEST_F(ProgramRunnerTest, WaitReportsOutputEndTimeoutAndExtraDescriptors) {
  ChildRecord* record = Start({"sleep", "200", "text", "x", "sleep", "200"});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ChildWaitActivity(record, 20), ChildActivity::kTimeout);

  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(write(fds[1], "!", 1), 1);
  pollfd extra[1] = {{fds[0], POLLIN, 0}};
  EXPECT_EQ(ChildWaitActivity(record, 5000, extra), ChildActivity::kExtra);
  EXPECT_TRUE(extra[0].revents & POLLIN);
  close(fds[0]);
  close(fds[1]);

  EXPECT_EQ(ChildWaitActivity(record, 5000), ChildActivity::kOutput);
  // Not watching the output: the next thing is the end.
  EXPECT_EQ(ChildWaitActivity(record, 5000, {}, false), ChildActivity::kEnded);
  EXPECT_EQ(ChildRunning(record), 1);  // "x" still waits
  // An end already seen is not reported again.
  EXPECT_EQ(ChildWaitActivity(record, 20, {}, false), ChildActivity::kTimeout);
  char c;
  EXPECT_EQ(ChildReadOutput(record, &c, 1), 1);
  EXPECT_EQ(ChildRunning(record), 0);
  ChildClose(record);
}

TEST_F(ProgramRunnerTest, WaitDoesNotSpinWhenTheChildClosedItsOutput) {
  // The child closes its standard output at once and runs on.
  ChildRecord* record =
      AsChildRecord(ChildStart("/bin/sh", {"-c", "exec >&-; sleep 0.3"}, "", kSystemFlags));
  ASSERT_NE(record, nullptr);
  int wakes = 0;
  while (ChildRunning(record)) {
    ChildWaitActivity(record, 5000);
    ++wakes;
  }
  ChildClose(record);
  EXPECT_LE(wakes, 3);
}

TEST_F(ProgramRunnerTest, OnlyTheStandardDescriptorsReachAChild) {
  // One descriptor of ours without close-on-exec, as a careless library might leave.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 0);
  EXPECT_EQ(Drain(Start({"fds"})), "0\n1\n2\n");
  close(leaky);
}

TEST_F(ProgramRunnerTest, ChildrenGetTheConsoleStreamsDefaultSignalsAndTheGroupAsked) {
  TempDir dir;
  int in_pipe[2];
  ASSERT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
  ASSERT_EQ(write(in_pipe[1], "typed\n", 6), 6);
  const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  SetChildStdio(ChildStdio{in_pipe[0], err, true});
  EXPECT_EQ(Drain(Start({"line", "stderr", "oops", "pgrp"})), "typed\nown\n");
  EXPECT_EQ(testing::ReadFile(dir / "err"), "oops");
  SetChildStdio(ChildStdio{});
  close(in_pipe[0]);
  close(in_pipe[1]);
  close(err);

  // The program ignores SIGPIPE and may block signals; its children must not inherit that.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, &old_mask);
  EXPECT_EQ(Drain(Start({"signals", "pgrp"})), "pipe default\nmask empty\nsame\n");
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(ProgramRunnerTest, EveryChildIsReaped) {
  // Closed while still running: it goes on, and is reaped once it ends.
  ChildRecord* record = Start({"sleep", "300", "text", "done"});
  ASSERT_NE(record, nullptr);
  const int pid = ChildProcessId(record);
  ASSERT_GT(pid, 0);
  ChildClose(record);
  EXPECT_FALSE(ProcessGone(pid));
  // Started without keeping a record, with and without waiting.
  EXPECT_EQ(ChildStart(TestChild(), {"sleep", "100"}, "", 0), kChildStartedUnkept);
  EXPECT_EQ(ChildStart(TestChild(), {}, "", ChildWait), kChildStartedUnkept);
  // Run to the end normally.
  Drain(Start({}));
  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid) && ZombieChildren() == 0; }));
}

}  // namespace
}  // namespace wendrix
