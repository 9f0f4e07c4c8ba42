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
        " - " + file, " " + file + " --destination " + work / "gone", std::string(" --command x"),
        " --path '' --search nopath " + file}) {
    const auto [status, message] = RunProgram(kWendrixRun + args);
    EXPECT_EQ(status, 2) << args;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(message.rfind("wendrix-run: ", 0), 0u) << message;
    // The message names a missing file, or the option for the folder that no default stands for.
    EXPECT_EQ(args.find("missing") != args.npos, message.find("missing.ini") != args.npos);
    EXPECT_EQ(args.find("--command x") != args.npos || args.find("nopath") != args.npos,
              message.find("with --path") != args.npos);
  }
}

TEST_F(WendrixRun, ExitStatusAndTheLinesOnStandardErrorTellWhatHappened) {
  const std::string missing = " --command " + work / "nothing";
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
      // No progress line off a terminal.
      {Options(tree, "exit 0 %n", "--progress"), 0, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunProgram(kWendrixRun + c.args), std::pair(c.status, c.output)) << c.args;

  // A Mirrored folder that cannot be made is told, and the entries below it still run.
  WriteFile(out / "sub", "");
  const auto [mirrored, lines] = RunProgram(kWendrixRun + " " + file + " --parameters 'args %n'");
  EXPECT_EQ(mirrored, 1);
  EXPECT_EQ(lines,
            "wendrix-run: cannot create folder " + out / "sub" +
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
  // Held errors are output too.
  EXPECT_EQ(RunProgram(kWendrixRun + Options(tree, "stderr %n", "-j 4") + " 2>/dev/full").first, 3);
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
                                 fds[1], -1, c.terminal),
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
