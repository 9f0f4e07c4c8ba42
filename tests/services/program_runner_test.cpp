#include "services/program_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace wendrix {
namespace {

using testing::TempDir;
using testing::TestChild;

constexpr std::uint32_t kSystemFlags = ChildKeep | ChildPipeOutput;

ChildRecord* Start(const std::vector<std::string>& args) {
  return AsChildRecord(ChildStart(TestChild(), args, "", kSystemFlags));
}

// Everything the child writes, until it has ended and the pipe is drained; closes the record.
std::string Drain(ChildRecord* record) {
  std::string out;
  while (ChildRunning(record)) {
    const std::int32_t n = ChildOutputAvailable(record);
    if (n == 0) ChildWaitActivity(record, 1000);
    std::string piece(static_cast<std::size_t>(n), '\0');
    EXPECT_EQ(ChildReadOutput(record, piece.data(), n), n);
    out += piece;
  }
  ChildClose(record);
  return out;
}

// True while an ended child of ours waits to be reaped (peeked at, not reaped).
bool HasZombie() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

template <typename Cond>
bool Eventually(Cond cond) {  // up to 5 s
  for (int i = 0; i < 100 && !cond(); ++i) usleep(50000);
  return cond();
}

TEST(ProgramRunner, ProgramsThatCannotStartGiveZeroAndWriteNothing) {
  TempDir dir;
  testing::WriteFile(dir / "plain", "#!/bin/sh\necho no\n");
  chmod((dir / "plain").c_str(), 0644);
  const int saved_out = dup(1), saved_err = dup(2);
  const int capture = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  dup2(capture, 1);
  dup2(capture, 2);
  for (const std::string& program : {dir / "missing", dir.Path(), dir / "plain",
                                     std::string("no-such-program"), std::string()}) {
    EXPECT_EQ(ChildStart(program, {"text", "x"}, "", kSystemFlags), kChildNotStarted) << program;
  }
  EXPECT_EQ(ChildStart(TestChild(), {"text", "x"}, dir / "missing", kSystemFlags),
            kChildNotStarted);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  for (int fd : {capture, saved_out, saved_err}) close(fd);
  EXPECT_EQ(testing::ReadFile(dir / "out"), "");
  EXPECT_FALSE(HasZombie());
}

TEST(ProgramRunner, OutputLeftByAnEndedChildCountsAsRunning) {
  ChildRecord* record = Start({"text", std::string(300, 'x')});
  ASSERT_TRUE(Eventually([&] { return ChildHasEnded(record); }));
  char buffer[300];
  EXPECT_EQ(ChildReadOutput(record, buffer, 299), 299);
  EXPECT_EQ(ChildRunning(record), 1);
  EXPECT_EQ(ChildReadOutput(record, buffer, 50), 1);  // the pipe is closed: what there was
  EXPECT_EQ(ChildRunning(record), 0);
  ChildClose(record);
  // A background grandchild holding the pipe does not keep the child running.
  EXPECT_EQ(Drain(Start({"text", "early", "background", "1000", "late"})), "early");
}

TEST(ProgramRunner, ChildGetsOnlyItsStreamsTheConsoleAndDefaultSignals) {
  TempDir dir;
  const int leaky = open("/dev/null", O_RDONLY);  // not close-on-exec, as a library might leave
  int in_pipe[2];
  ASSERT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
  ASSERT_EQ(write(in_pipe[1], "typed\n", 6), 6);
  const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  SetChildStdio(ChildStdio{in_pipe[0], err, true});
  // The program ignores SIGPIPE and may block signals; its children must not inherit that.
  signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, nullptr);
  EXPECT_EQ(Drain(Start({"line", "stderr", "oops", "pgrp", "signals", "fds"})),
            "typed\nown\npipe default\nmask empty\n0\n1\n2\n");
  EXPECT_EQ(testing::ReadFile(dir / "err"), "oops");
  SetChildStdio(ChildStdio{});
  for (int fd : {leaky, in_pipe[0], in_pipe[1], err}) close(fd);
}

TEST(ProgramRunner, EveryChildIsReaped) {
  ChildRecord* record = Start({"sleep", "300"});
  const int pid = ChildProcessId(record);
  ChildClose(record);  // still running: it goes on, and is reaped once it ends
  EXPECT_EQ(kill(pid, 0), 0);
  EXPECT_EQ(ChildStart(TestChild(), {"sleep", "100"}, "", 0), kChildStartedUnkept);
  EXPECT_EQ(ChildStart(TestChild(), {}, "", ChildWait), kChildStartedUnkept);
  Drain(Start({}));
  EXPECT_TRUE(Eventually([&] { return kill(pid, 0) != 0 && !HasZombie(); }));
}

}  // namespace
}  // namespace wendrix
