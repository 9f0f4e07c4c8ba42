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

#include "settings/settings_flows.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kProgram = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";
const std::string kWendrixRun = "'" + kProgram + "'";
const std::string kParameters = "args %n \"%d\" -- %f";

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

// root holds names a shell would take apart, tree names whose extension is an exit status.
class WendrixRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root / "sub");
    for (const char* name : {"plain.txt", "it's \"odd\"\n\xff.txt", "sub/$(touch pwned).txt"})
      WriteFile(root / name, "");
    for (const char* name : {"a.0", "b.3", "c.0"}) WriteFile(tree / name, "");
    ASSERT_TRUE(SaveSettingsFile(
        file, Settings{root.Path(), "*.txt", 1, 0, out.Path(), TestChild(), kParameters}));
  }
  TempDir root, out, work, tree;
  std::string file = work / "job.ini";
};

TEST_F(WendrixRun, DryRunLinesPastedIntoAShellDoWhatTheRunDoes) {
  WriteFile(root / "sub/plain.txt", "");
  // What kParameters prints for the entry stem.txt in folder.
  const auto lines = [&](const std::string& stem, const std::string& folder = "") {
    return stem + "\n" + out.Path() + folder + "\n--\n" + root.Path() + folder + stem + ".txt\n";
  };
  // A search text holding a folder runs, and shows, the entry in that folder.
  const std::pair<const char*, std::string> cases[] = {
      {"*.txt", lines("it's \"odd\"\n\xff") + lines("plain") + lines("$(touch pwned)", "sub/") +
                    lines("plain", "sub/")},
      {"sub/plain.txt", lines("plain", "sub/")}};
  for (const auto& [search, expected] : cases) {
    SCOPED_TRACE(search);
    ASSERT_TRUE(SaveSettingsFile(
        file, Settings{root.Path(), search, 1, 0, out.Path(), TestChild(), kParameters}));
    WriteFile(work / "lines.sh", RunProgram(kWendrixRun + " --dry-run " + file).second);
    EXPECT_FALSE(fs::exists(out / "sub"));  // a dry run creates nothing
    const std::string pasted = RunProgram("/bin/sh " + work / "lines.sh").second;
    EXPECT_EQ(pasted, expected);
    EXPECT_EQ(RunProgram(kWendrixRun + " " + file), std::pair(0, pasted));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
    fs::remove_all(out / "sub");
  }
}

TEST_F(WendrixRun, BadArgumentsAndSettingsThatCannotBeUsedAreRefusedWithTwoAndOneLine) {
  WriteFile(work / "empty.ini", "");
  WriteFile(work / "other.ini", "[Desktop Entry]\nName=x\n");
  for (const std::string& args :
       {" " + work / "missing.ini", " " + work.Path(), std::string(), " --bogus " + file,
        " " + file + " " + file, " " + work / "empty.ini", " " + work / "other.ini",
        " " + std::string(TestChild()), " --search x --save " + work / "no/such/folder.ini",
        " --search 'a\nb' --save " + file, " --jobs=x " + file, std::string(" --path"),
        " - " + file}) {
    const auto [status, message] = RunProgram(kWendrixRun + args);
    EXPECT_EQ(status, 2) << args;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  // Held errors are output too.
  EXPECT_EQ(RunProgram(kWendrixRun + Options(tree, "stderr %n", "-j 4") + " 2>/dev/full").first, 3);
    EXPECT_EQ(message.rfind("wendrix-run: ", 0), 0u) << message;
    // The message names a missing file.
    EXPECT_EQ(args.find("missing") != args.npos, message.find("missing.ini") != args.npos);
  }
}

TEST_F(WendrixRun, ExitStatusAndTheLinesOnStandardErrorTellWhatHappened) {
  const std::string missing = " --command " + work / "nothing";
  // Several at once write what one at a time writes, whatever order they end in.
  TempDir sleeps;
  std::string in_order;
  for (const char* name : {"1.300", "2.0", "3.150", "4.20", "5.0", "6.100"}) {
    WriteFile(sleeps / name, "");
    for (const char* part : {"-a\n", "-b\n", "-c\n"}) in_order += name[0] + std::string(part);
  }
  struct Case {
    std::string args;
    int status;
    std::string output;
  };
  const Case cases[] = {
      {Options(tree, "echo %n exit 0"), 0, "a\nb\nc\n"},
      {Options(tree, "echo %n exit %e"), 1, "a\nb\nc\nwendrix-run: 1 of 3 commands failed\n"},
      // Told once, not for every entry; the dry run finds that out as the run does.
      {Options(tree, "%f") + missing, 1,
       "wendrix-run: cannot start " + work / "nothing" +
           ": No such file or directory\nwendrix-run: 3 of 3 commands could not be started\n"},
      {Options(tree, "%n") + missing + " --dry-run", 1,
       "'" + work / "nothing" + "' 'a'\nwendrix-run: cannot start " + work / "nothing" +
           ": No such file or directory\n'" + work / "nothing" + "' 'b'\n'" + work / "nothing" +
           "' 'c'\nwendrix-run: 3 of 3 commands could not be started\n"},
      {Options(tree, "echo %n") + " --path " + work / "gone", 1,
       "wendrix-run: cannot list " + work / "gone/" +
           ": No such file or directory\nwendrix-run: 1 folder could not be listed\n"},
      // The first failure starts no more.
      {Options(tree, "echo %n exit %e", "--fail-fast"), 1,
       "a\nb\nwendrix-run: 1 of 2 commands failed\n"},
      {Options(sleeps, "echo %n-a sleep %e echo %n-b sleep %e echo %n-c", "-j 4"), 0, in_order},
      // No progress line off a terminal.
      {Options(tree, "exit 0 %n", "--progress"), 0, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunProgram(kWendrixRun + c.args), std::pair(c.status, c.output)) << c.args;

  // Mirrored folders: a destination that is not there runs nothing; a folder that cannot be
  // made is told, and the entries below it still run.
  EXPECT_EQ(RunProgram(kWendrixRun + " " + file + " --destination " + work / "gone"),
            std::pair(2, "wendrix-run: the destination " + work / "gone" + " is not a folder\n"));
  WriteFile(out / "sub", "");
  const auto [mirrored, lines] = RunProgram(kWendrixRun + " " + file + " --parameters 'args %n'");
  EXPECT_EQ(mirrored, 1);
  EXPECT_EQ(lines, "wendrix-run: cannot create folder " + out / "sub" +
                       ": File exists\nit's \"odd\"\n\xff\nplain\n$(touch pwned)\nwendrix-run: 1 folder "
                       "could not "
                       "be created\n");

  // Output that cannot be written; the command writing then may be hung up on and fail.
  const auto [status, message] = RunProgram(kWendrixRun + Options(tree, "echo %n") + " >/dev/full");
  EXPECT_EQ(status, 3);
  EXPECT_EQ(
      message.rfind("wendrix-run: the output could not be written (No space left on device)", 0),
      0u)
      << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;

  // A reader that goes away: the command writing then is hung up on, no later one starts.
  const std::string status_file = work / "status";
  RunProgram("{ " + kWendrixRun + Options(tree, "bytes 1000000 sleep 600000 echo %n") +
             "; echo $? >" + status_file + "; } | head -c 1 >/dev/null");
  EXPECT_EQ(ReadFile(status_file), "3\n");
}

TEST_F(WendrixRun, SettingsAreReadFromAFifoStandardInputAndDevStdinLikeAFile) {
  const std::string expected = RunProgram(kWendrixRun + " " + file).second;
  ASSERT_FALSE(expected.empty());
  const std::string fifo = work / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The FIFO's writer comes after the reader opened it.
  for (const std::string& line :
       {"(sleep 0.1; cat " + file + " >" + fifo + ") & exec " + kWendrixRun + " " + fifo,
        kWendrixRun + " - <" + file, kWendrixRun + " /dev/stdin <" + file})
    EXPECT_EQ(RunProgram(line), std::pair(0, expected)) << line;
}

TEST_F(WendrixRun, SavedOptionsLoadBackAndRunAsTheyDid) {
  const std::string saved = work / "saved.ini";
  const std::string options = " --path " + root.Path() + " --search '*.txt' --folders --no-files" +
                              " --command " + TestChild() + " --destination " + out.Path() +
                              " --parameters 'args %n'";
  EXPECT_EQ(RunProgram(kWendrixRun + options + " --save " + saved), std::pair(0, std::string()));
  EXPECT_EQ(LoadSettingsFile(saved),
            (Settings{root.Path(), "*.txt", 0, 1, out.Path(), TestChild(), "args %n"}));
  // Without a file the values not given are a new window's; a file's are taken over.
  EXPECT_EQ(RunProgram(kWendrixRun + " --search x --save " + saved).first, 0);
  EXPECT_EQ(LoadSettingsFile(saved), (Settings{"", "x", 1, 0, "", "", "\"%f\""}));
  EXPECT_EQ(RunProgram(kWendrixRun + " --no-files --save " + saved + " " + file).first, 0);
  EXPECT_EQ(LoadSettingsFile(saved),
            (Settings{root.Path(), "*.txt", 0, 0, out.Path(), TestChild(), kParameters}));
}

// Processes whose environment holds mark, from /proc (an ended one shows none).
int Carrying(const std::string& mark) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream environ(entry.path() / "environ");
    const std::string text((std::istreambuf_iterator<char>(environ)), {});
    if (text.find("WENDRIX_TEST_MARK=" + mark + '\0') != std::string::npos) ++count;
  }
  return count;
}

// Whatever ends a run, at any -j, on a terminal or not, nothing a command started outlives it:
// each command leaves a shell in a shell with a sleep below, one that ignores every ending
// signal, one in a session of its own and one whose parent has ended. The runs go side by
// side, each marking its processes through their environment.
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
            "echo started\n"
            "case $1 in fail) exit 1 ;; done) exit 0 ;; flood) head -c 9000000 /dev/zero ;; esac\n"
            "exec sleep 600\n");
  enum End { kSignal, kKey, kCloseReader, kNone };
  const struct {
    bool terminal;
    const char* mode;  // what each command does once its tree stands
    End end;
    int signal;
    std::string more;
    int status;
  } cases[] = {
      {false, "sleep", kSignal, SIGTERM, "", 128 + SIGTERM},
      {false, "sleep", kSignal, SIGINT, "", 128 + SIGINT},
      {false, "sleep", kSignal, SIGHUP, "", 128 + SIGHUP},
      {false, "sleep", kSignal, SIGQUIT, "", 128 + SIGQUIT},
      {false, "flood", kSignal, SIGTERM, "", 128 + SIGTERM},  // while its output is stuck
      {false, "flood", kCloseReader, 0, "", 3},
      {false, "fail", kNone, 0, "--fail-fast", 1},
      {false, "done", kNone, 0, "", 0},
      {true, "read", kKey, 0, "", 128 + SIGINT},
      {true, "sleep", kSignal, SIGTERM, "", 128 + SIGTERM},
      {true, "done", kNone, 0, "", 0},
  };
  struct Running {
    pid_t pid;
    int fd;
    std::string mark;
  };
  std::vector<Running> runs;
  for (const char* jobs : {"1", "4"}) {
    for (const auto& c : cases) {
      const std::string mark = std::to_string(getpid()) + "-" + std::to_string(runs.size());
      const std::string options = " --path " + tree.Path() + " --command /bin/sh --parameters '" +
                                  script + " " + c.mode + " " + mark + " %f' -j " + jobs + " " +
                                  c.more + " 2>/dev/null";
      // Close-on-exec, or the runs started later would hold this run's reader.
      int fds[2];
      if (c.terminal) {
        ASSERT_EQ(openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
        for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
      } else {
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
      }
      runs.push_back({StartRun(options, fds[1], -1, c.terminal), fds[0], mark});
      close(fds[1]);
      // A command reads the terminal it shares; with several at once it reads nothing.
      const bool reads = std::string(c.mode) == "read" && std::string(jobs) == "1";
      std::string seen;
      if (reads) {
        seen = ReadUntil(fds[0], "ready");
        ASSERT_EQ(write(fds[0], "typed\n", 6), 6);
      }
      if (c.end != kNone) seen += ReadUntil(fds[0], "started");
      EXPECT_TRUE(!reads || seen.find("read typed\r\nstarted") != std::string::npos) << seen;
    }
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto& c = cases[i % std::size(cases)];
    if (c.end == kSignal) kill(runs[i].pid, c.signal);
    if (c.end == kKey) ASSERT_EQ(write(runs[i].fd, "\x03", 1), 1);
    if (c.end == kCloseReader) close(runs[i].fd);
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto& c = cases[i % std::size(cases)];
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.signal) + " -j " +
                 (i < std::size(cases) ? "1" : "4") + (c.terminal ? " terminal" : ""));
    // A stuck output is never read: the run must end all the same.
    if (std::string(c.mode) != "flood") ReadUntil(runs[i].fd);
    int status = 0;
    ASSERT_EQ(waitpid(runs[i].pid, &status, 0), runs[i].pid);
    EXPECT_EQ(status, W_EXITCODE(c.status, 0));
    EXPECT_EQ(Carrying(runs[i].mark), 0);
    if (c.end != kCloseReader) close(runs[i].fd);
  }
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
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
