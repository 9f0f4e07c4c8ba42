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
using namespace std::string_literals;

const std::string kProgram = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";
const std::string kWendrixRun = "'" + kProgram + "'";

// Runs a shell command line without standard input: its exit status, and its output and errors
// together (unless the line sends its output elsewhere). The temporary paths hold no blank or
// quote.
std::pair<int, std::string> RunProgram(const std::string& line) {
  FILE* pipe = popen(("exec 2>&1 </dev/null; " + line).c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Starts wendrix-run with options (shell words), its standard output on out_fd and its standard
// error on err_fd (-1: the test's own), its input /dev/null. With own_terminal, out_fd is a
// pseudo-terminal that becomes the terminal of the session it leads, and its standard input too.
pid_t StartRun(const std::string& options, int out_fd, int err_fd = -1, bool own_terminal = false) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (own_terminal) {
      setsid();
      ioctl(out_fd, TIOCSCTTY, 0);
    }
    dup2(own_terminal ? out_fd : open("/dev/null", O_RDONLY), 0);
    dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
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

// Whether the first child of pid has a handler for signal, from /proc.
bool ChildCatches(pid_t pid, int signal) {
  const std::string self = std::to_string(pid);
  std::ifstream children("/proc/" + self + "/task/" + self + "/children");
  std::string child;
  if (!(children >> child)) return false;
  std::ifstream status("/proc/" + child + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
  return false;
}

// Options that run the test child over the files of tree.
std::string Options(const TempDir& tree, const std::string& parameters,
                    const std::string& more = "") {
  return " --path " + tree.Path() + " --command " + TestChild() + " --parameters '" + parameters +
         "' " + more;
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
    auto [got_status, got] = RunProgram("exec bash -o pipefail -c '" + quoted + "'");
    for (const auto& [path, name] : {std::pair{folder, "$WORK"}, {TestChild(), "$CHILD"},
                                     {kProgram, "$RUN"}}) {
      for (std::size_t at; (at = got.find(path)) != std::string::npos;) got.replace(at, path.size(), name);
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
  TempDir out, tree;
};

TEST_F(WendrixRun, EndingSignalReachesTheCommandsAndNoneOutlivesTheRun) {
  // Orphans of wendrix-run would become this process's children, and outlive it.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  // One that ignores it is killed after its grace time: the parallel jobs' tests pass that on
  // the virtual clock.
  const std::pair<int, const char*> cases[] = {
      {SIGTERM, "1"}, {SIGINT, "1"}, {SIGHUP, "3"}, {SIGTERM, "3"}};
  for (const auto& [signal, jobs] : cases) {
    SCOPED_TRACE(std::string("-j ") + jobs + " signal " + std::to_string(signal));
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    // Each command makes its file first; a file of an ended command is not taken for finished
    // by the next run, which redoes the entry.
    const pid_t run = StartRun(Options(tree, "touch %d%n.out echo %n sleep 600000",
                                       std::string("-j ") + jobs + " 2>/dev/null --destination " +
                                           this->out.Path() + " --creates %d%n.out"),
                               out[1]);
    close(out[1]);
    // Its first command has started once its line has come.
    char first = 0;
    ASSERT_EQ(read(out[0], &first, 1), 1);
    EXPECT_EQ(first, 'a');
    kill(run, signal);
    ReadUntil(out[0]);
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_EQ(status, W_EXITCODE(128 + signal, 0));
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a command outlived the run";
    EXPECT_TRUE(fs::is_empty(this->out.Path()));
  }
}

// Ctrl+C on wendrix-run's terminal reaches the command, which shares the terminal, once: from
// the terminal itself, not again from wendrix-run. A kill aimed at wendrix-run alone is passed on.
TEST_F(WendrixRun, InterruptReachesTheCommandOnceFromTheKeyOrFromKill) {
  for (const bool from_key : {true, false}) {
    SCOPED_TRACE(from_key ? "Ctrl+C" : "kill -INT");
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const pid_t run =
        StartRun(Options(tree, "echo started-%n interrupts 1000"), slave, slave, true);
    close(slave);
    std::string terminal = ReadUntil(master, "started");
    ASSERT_NE(terminal.find("started"), std::string::npos) << terminal;
    // The command counts the interrupts once its handler is in.
    ASSERT_TRUE(WaitUntil([&] { return ChildCatches(run, SIGINT); }));
    if (from_key) {
      ASSERT_EQ(write(master, "\x03", 1), 1);
    } else {
      kill(run, SIGINT);
    }
    terminal += ReadUntil(master);
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_EQ(status, W_EXITCODE(128 + SIGINT, 0));
    EXPECT_NE(terminal.find("interrupts 1\r\n"), std::string::npos) << terminal;
  }
}

TEST_F(WendrixRun, ProgressLineOnlyOnATerminalAndOffItWhileACommandRuns) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t run = StartRun(Options(tree, "stderr %n exit 0", "--progress"), out[1], slave);
  close(out[1]);
  close(slave);
  EXPECT_EQ(ReadUntil(out[0]), "");
  int status = 0;
  waitpid(run, &status, 0);
  EXPECT_EQ(status, 0);
  const std::string terminal = ReadUntil(master);
  close(master);
  // Each command's own error comes on a line cleared of the progress, which is drawn again after.
  const std::string erase = "\r\033[K";
  std::string expected = erase + "wendrix-run: 0/3 done, 0 failed, 0:00 elapsed" + erase;
  EXPECT_EQ(terminal.substr(0, expected.size()), expected) << terminal;
  for (const char* name : {"a", "b", "c"})
    EXPECT_NE(terminal.find(erase + name + erase + "wendrix-run: "), std::string::npos) << terminal;
  EXPECT_EQ(terminal.substr(terminal.size() - erase.size()), erase);
}

}  // namespace
}  // namespace wendrix
