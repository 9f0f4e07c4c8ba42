#include "services/program_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "test_support.h"

namespace wendrix {
namespace {

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
    out.append(piece, 0, ChildReadOutput(record, piece.data(), piece.size()));
  }
  return out;
}

TEST(ProgramRunner, ProgramsThatCannotStartGiveNothingSayWhyAndWriteNothing) {
  testing::TempDir dir;
  // On PATH: a file that is not executable, and programs that only a name without "/" may find.
  std::filesystem::create_directory(dir / "bin");
  for (const char* name : {"plain", "tool.sh", "bin/tool"}) {
    testing::WriteFile(dir / name, "#!/bin/sh\necho found\n");
    if (name != std::string("plain")) chmod((dir / name).c_str(), 0755);
  }
  const std::string path = std::getenv("PATH");
  setenv("PATH", (path + ":" + dir.Path()).c_str(), 1);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  // The program, the folder to start in, and why it cannot start; "./tool.sh" and "bin/tool"
  // name files of the current folder, not of PATH.
  const std::tuple<std::string, std::string, int> cases[] = {
      {dir / "plain", "", EACCES},
      {dir / "bin", "", EACCES},
      {"plain", "", EACCES},
      {dir / "missing", "", ENOENT},
      {"no-such-program", "", ENOENT},
      {"", "", ENOENT},
      {"./tool.sh", "", ENOENT},
      {"bin/tool", "", ENOENT},
      {TestChild(), dir / "missing", ENOENT},
  };
  for (const auto& [program, folder, why] : cases) {
    errno = 0;
    bool started = true;
    EXPECT_FALSE(ChildStart(program, {"x"}, folder, kSystemFlags, &started)) << program;
    EXPECT_EQ(errno, why) << program << " in " << folder;
    EXPECT_FALSE(started) << program;
  }
  setenv("PATH", path.c_str(), 1);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out + ::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(testing::HasZombieChild());
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
  ChildHandle child = Start({"sleep", "60000"});
  const int pid = ChildProcessId(child.get());
  ASSERT_GT(pid, 0);  // never kill(-1)
  EXPECT_EQ(ChildExitStatus(child.get()), std::nullopt);
  child.reset();  // still running: it goes on, and is reaped once it ends
  EXPECT_EQ(kill(pid, SIGKILL), 0);
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
  EXPECT_TRUE(testing::WaitUntil([&] { return kill(pid, 0) != 0 && !testing::HasZombieChild(); }));
}

}  // namespace
}  // namespace wendrix
