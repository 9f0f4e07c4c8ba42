#include "services/program_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using testing::TestChild;

constexpr std::uint32_t kSystemFlags = ChildKeep | ChildPipeOutput;

ChildHandle Start(const std::vector<std::string>& args, const ChildSetup& setup = {}) {
  return ChildStart(TestChild(), args, "", kSystemFlags, nullptr, setup);
}

// Everything the child writes, until it has ended and the pipe is drained.
std::string Drain(ChildHandle child) {
  ChildRecord* record = child.get();
  std::string out;
  while (ChildRunning(record)) {
    std::string piece(static_cast<std::size_t>(ChildOutputAvailable(record)), '\0');
    pollfd end{ChildEndDescriptor(record), POLLIN, 0};
    if (piece.empty()) poll(&end, end.fd >= 0 ? 1 : 0, 10);
    out.append(
        piece, 0,
        ChildReadOutput(record, piece.data(), piece.size()));  // a failed read (-1) shows as zeros
  }
  return out;
}

// True while an ended child of ours waits to be reaped (peeked at, not reaped).
bool HasZombie() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

TEST(ProgramRunner, ProgramsThatCannotStartGiveNothingSayWhyAndWriteNothing) {
  testing::TempDir dir;
  testing::WriteFile(dir / "plain", "#!/bin/sh\necho no\n");  // not executable
  fs::create_directory(dir / "folder");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const struct {
    std::string program;
    std::string folder;
    int why;
  } cases[] = {
      {dir / "plain", "", EACCES},
      {dir / "folder", "", EACCES},
      {dir / "missing", "", ENOENT},
      {"no-such-program", "", ENOENT},
      {"", "", ENOENT},
      {TestChild(), dir / "missing", ENOENT},
  };
  for (const auto& c : cases) {
    errno = 0;
    bool started = true;
    EXPECT_FALSE(ChildStart(c.program, {"text", "x"}, c.folder, kSystemFlags, &started))
        << c.program;
    EXPECT_EQ(errno, c.why) << c.program << " in " << c.folder;
    EXPECT_FALSE(started) << c.program;
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out + ::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(HasZombie());
}

TEST(ProgramRunner, OutputLeftByAnEndedChildCountsAsRunning) {
  const ChildHandle child = Start({"text", std::string(300, 'x')});
  ChildRecord* record = child.get();
  ASSERT_TRUE(testing::WaitUntil([&] { return ChildHasEnded(record); }));
  char buffer[300];
  EXPECT_EQ(ChildReadOutput(record, buffer, 299), 299);
  EXPECT_EQ(ChildRunning(record), 1);
  EXPECT_EQ(ChildReadOutput(record, buffer, 50), 1);  // the pipe is closed: what there was
  EXPECT_EQ(ChildRunning(record), 0);
  EXPECT_EQ(ChildExitStatus(record), std::optional<int>(0));
  const ChildHandle failing = ChildStart("sh", {"-c", "exit 3"}, "", ChildKeep | ChildWait);
  ASSERT_TRUE(failing);
  EXPECT_EQ(ChildExitStatus(failing.get()), std::optional<int>(W_EXITCODE(3, 0)));
  // A background grandchild holding the pipe does not keep the child running.
  EXPECT_EQ(Drain(Start({"text", "early", "background", "1000", "late"})), "early");
}

// Sharing the console's input and error stream: the terminal console's tests.
TEST(ProgramRunner, ChildGetsNoOtherDescriptorsNorBlockedSignalsAndIsReaped) {
  ChildHandle child = Start({"sleep", "300"});
  const int pid = ChildProcessId(child.get());
  EXPECT_EQ(ChildExitStatus(child.get()), std::nullopt);
  child.reset();  // still running: it goes on, and is reaped once it ends
  EXPECT_EQ(kill(pid, 0), 0);
  const int leaky = open("/dev/null", O_RDONLY);  // not close-on-exec, as a library might leave
  // The program ignores SIGPIPE and may block signals; its children must not inherit that.
  signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, nullptr);
  EXPECT_EQ(Drain(Start({"pgrp", "signals", "fds"}, {.stdio = {leaky, -1, true}})),
            "own\npipe default\nmask empty\n0\n1\n2\n");
  close(leaky);
  EXPECT_TRUE(testing::WaitUntil([&] { return kill(pid, 0) != 0 && !HasZombie(); }));
}

}  // namespace
}  // namespace wendrix
