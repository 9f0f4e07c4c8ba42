// The ends of the process that come as signals. The state they leave is process-wide and
// sticky, so these cases live in a program of their own, in order.
#include "services/shutdown_signals.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include "engine/job_run.h"
#include "services/terminal_console.h"
#include "test_support.h"

namespace wendrix {
namespace {

TEST(ShutdownSignals, EndARunAndAreReportedGravestFirst) {
  ASSERT_TRUE(InstallShutdownSignals());
  // SIGPIPE is ignored: a write into a pipe without reader fails instead of ending us.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  EXPECT_EQ(write(fds[1], "x", 1), -1);
  close(fds[1]);

  // A SIGTERM (logout) while a command runs, on the program's own streams: the run stops.
  testing::TempDir root;
  for (const char* name : {"a.txt", "b.txt"}) testing::WriteFile(root / name, "");
  const Settings settings{root.Path(),          "*.txt", 1, 0, "", testing::TestChild(),
                          "sleep 30000 args %n"};
  TerminalConsoleOptions options;
  options.launchers.clear();
  options.own_output = -1;
  TerminalConsole console(options);
  int idle_calls = 0;
  JobHooks hooks{&console, [&] {
                   if (++idle_calls == 3) kill(getpid(), SIGTERM);
                 }};
  EXPECT_EQ(RunJob(settings, hooks), JobOutcome::kConsoleEnded);
  EXPECT_EQ(console.CheckIdle(), ConsoleState::kClosed);
  pollfd self_pipe{ShutdownSignalDescriptor(), POLLIN, 0};
  EXPECT_EQ(poll(&self_pipe, 1, 0), 0) << "the self-pipe was not drained";

  // An interrupt after a close does not make it milder; the first signal is remembered.
  raise(SIGINT);
  EXPECT_EQ(ShutdownSignalState(), ConsoleState::kClosed);
  EXPECT_EQ(ShutdownSignalNumber(), SIGTERM);
}

}  // namespace
}  // namespace wendrix
