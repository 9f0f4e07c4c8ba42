#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kProgram = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";
const std::string kWendrixRun = "'" + kProgram + "'";

// Starts wendrix-run with options (shell words), its standard output on out_fd and its input
// /dev/null. With own_terminal, out_fd is a pseudo-terminal that becomes the terminal of the
// session it leads, and its standard input too.
pid_t StartRun(const std::string& options, int out_fd, bool own_terminal) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (own_terminal) {
      setsid();
      ioctl(out_fd, TIOCSCTTY, 0);
    }
    dup2(own_terminal ? out_fd : open("/dev/null", O_RDONLY), 0);
    dup2(out_fd, 1);
    execl("/bin/sh", "sh", "-c", ("exec " + kWendrixRun + options).c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

// What fd gives up to its end, or up to where it has given text.
std::string ReadUntil(int fd, const std::string& text = "") {
  std::string bytes;
  char buffer[4096];
  while (text.empty() || bytes.find(text) == std::string::npos) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
      bytes.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
      break;
  }
  return bytes;
}

// The transcript wendrix_run.t: commands as a user types them, each with its output and exit
// status. Each runs in a bash of its own in one work folder; the paths of that folder, of the
// test child and of wendrix-run show as $WORK, $CHILD and $RUN.
TEST(WendrixRunTranscript, EveryCommandGivesTheOutputAndStatusWritten) {
  const TempDir work;
  const std::string folder = work.Path().substr(0, work.Path().size() - 1);
  setenv("RUN", kProgram.c_str(), 1);
  setenv("CHILD", TestChild(), 1);
  setenv("WORK", folder.c_str(), 1);
  std::ifstream transcript(WENDRIX_TRANSCRIPT);
  std::vector<std::string> lines;
  for (std::string line; std::getline(transcript, line);) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  const auto starts = [&](std::size_t i, const char* prefix) {
    return i < lines.size() && lines[i].rfind(prefix, 0) == 0;
  };
  for (std::size_t i = 0; i < lines.size();) {
    if (!starts(i, "  $ ")) {
      ++i;
      continue;
    }
    const std::size_t line_number = i + 1;
    std::string command = "cd \"$WORK\" || exit 99\n" + lines[i++].substr(4);
    while (starts(i, "  > ")) command += "\n" + lines[i++].substr(4);
    std::string expected;
    int status = 0;
    for (; starts(i, "  ") && !starts(i, "  $ "); ++i) {
      const std::string line = lines[i].substr(2);
      if (line.starts_with('[') && line.ends_with(']'))
        status = std::stoi(line.substr(1));
      else if (line.ends_with(" (no-eol)"))
        expected += line.substr(0, line.size() - 9);
      else
        expected += line + "\n";
    }
    std::string quoted;
    for (char c : command) quoted += c == '\'' ? "'\\''" : std::string(1, c);
    auto [got_status, got] = RunShell("exec 2>&1; exec bash -o pipefail -c '" + quoted + "'");
    for (const auto& [path, name] :
         {std::pair{folder, "$WORK"}, {TestChild(), "$CHILD"}, {kProgram, "$RUN"}}) {
      for (std::size_t at; (at = got.find(path)) != std::string::npos;)
        got.replace(at, path.size(), name);
    }
    EXPECT_EQ(got, expected) << "wendrix_run.t:" << line_number;
    EXPECT_EQ(got_status, status) << "wendrix_run.t:" << line_number;
  }
}

// tree holds names whose extension is an exit status.
class WendrixRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.0", "b.3", "c.0"}) WriteFile(tree / name, "");
  }
  TempDir work, tree;
};
// Whatever ends a run, at any -j, on a terminal or not, nothing a command started outlives it:
// each command leaves a shell in a shell with a sleep below, one that ignores every ending
// signal, one in a session of its own and one whose parent has ended, all marked through their
// environment. An interrupt reaches a command once, from the terminal's key or from
// wendrix-run, and a command can read the terminal it shares. The runs overlap.
TEST_F(WendrixRun, NothingACommandStartedOutlivesTheRunWhateverEndsIt) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // what wendrix-run leaves would come here
  const std::string script = work / "tree.sh";
  WriteFile(script,
            "export WENDRIX_TEST_MARK=$2\n"
            "(trap '' INT TERM HUP QUIT; exec sleep 600) &\n"
            "setsid sleep 600 &\n"
            "(sleep 600 &)\n"
            "sh -c 'sleep 600 & wait' &\n"
            "if [ $1 = read ]; then echo ready; read line; echo \"read $line\"; fi\n"
            "case $1 in count | read) exec $3 interrupts 1500 ;; esac\n"
            "echo started\n"
            "case $1 in fail) exit 1 ;; done) exit 0 ;; flood) head -c 9000000 /dev/zero ;; esac\n"
            "exec sleep 600\n");
  enum End { kSignal, kKey, kCloseReader, kNone };
  const struct {
    bool terminal;
    std::string mode;  // what each command does once its tree stands
    End end;
    int signal;
    int status;
  } cases[] = {
      {false, "sleep", kSignal, SIGTERM, 128 + SIGTERM},
      {false, "count", kSignal, SIGINT, 128 + SIGINT},
      {false, "sleep", kSignal, SIGHUP, 128 + SIGHUP},
      {false, "sleep", kSignal, SIGQUIT, 128 + SIGQUIT},
      {false, "flood", kSignal, SIGTERM, 128 + SIGTERM},  // while its output is stuck
      {false, "flood", kCloseReader, 0, 3},
      {false, "fail", kNone, 0, 1},  // with --fail-fast
      {false, "done", kNone, 0, 0},
      {true, "read", kKey, SIGINT, 128 + SIGINT},
      {true, "count", kSignal, SIGINT, 128 + SIGINT},
      {true, "sleep", kSignal, SIGTERM, 128 + SIGTERM},
  };
  std::vector<std::pair<pid_t, int>> runs;  // and the test's end of its output
  for (const char* jobs : {"1", "4"}) {
    for (const auto& c : cases) {
      const std::string mark = std::to_string(getpid()) + "-" + std::to_string(runs.size());
      // Close-on-exec, or the runs started later would hold this run's reader.
      int fds[2];
      if (c.terminal) {
        ASSERT_EQ(openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
        for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
      } else {
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
      }
      runs.emplace_back(StartRun(" --path " + tree.Path() + " --command /bin/sh --parameters '" +
                                     script + " " + c.mode + " " + mark + " " + TestChild() +
                                     " %f' --fail-fast -j " + jobs + " 2>/dev/null",
                                 fds[1], c.terminal),
                        fds[0]);
      close(fds[1]);
      // With several at once there is no terminal to read.
      const bool reads = c.mode == "read" && std::string(jobs) == "1";
      std::string seen = reads ? ReadUntil(fds[0], "ready") : "";
      ASSERT_TRUE(!reads || write(fds[0], "typed\n", 6) == 6);
      if (c.end != kNone) seen += ReadUntil(fds[0], "started");
      EXPECT_TRUE(!reads || seen.find("read typed\r\n") != std::string::npos) << seen;
      if (c.end == kSignal) kill(runs.back().first, c.signal);
      ASSERT_TRUE(c.end != kKey || write(fds[0], "\x03", 1) == 1);
      if (c.end == kCloseReader) close(fds[0]);
    }
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto& c = cases[i % std::size(cases)];
    const auto [pid, fd] = runs[i];
    SCOPED_TRACE(c.mode + " " + std::to_string(c.signal) + " -j " +
                 (i < std::size(cases) ? "1" : "4") + (c.terminal ? " terminal" : ""));
    // A stuck output is never read: the run must end all the same.
    const std::string output = c.mode == "flood" ? "" : ReadUntil(fd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, W_EXITCODE(c.status, 0));
    const std::string mark = std::to_string(getpid()) + "-" + std::to_string(i) + '\0';
    EXPECT_FALSE(LiveProcessHolding("WENDRIX_TEST_MARK=" + mark, "environ"));
    EXPECT_TRUE(c.signal != SIGINT || output.find("interrupts 1") != std::string::npos) << output;
    if (c.end != kCloseReader) close(fd);
  }
}

}  // namespace
}  // namespace wendrix
