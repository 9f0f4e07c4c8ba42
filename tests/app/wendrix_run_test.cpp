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

const std::string kWendrixRun = "'" + std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run'";

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

// Starts wendrix-run with args, its standard output on out_fd and its standard error on
// err_fd (-1: the test's own), its input /dev/null.
pid_t StartRun(const std::vector<std::string>& args, int out_fd, int err_fd = -1) {
  const std::string program = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
  return bytes;
}

// The processes whose parent is this one, from /proc.
std::vector<std::string> OwnChildren() {
  std::ifstream in("/proc/self/task/" + std::to_string(getpid()) + "/children");
  std::vector<std::string> pids;
  for (std::string pid; in >> pid;) pids.push_back(pid);
  return pids;
}

class WendrixRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root / "sub");
    for (const char* name : {"plain.txt", "it's \"odd\"\n\xff.txt", "sub/$(touch pwned).txt"})
      WriteFile(root / name, "");
    ASSERT_TRUE(SaveSettingsFile(file, Settings{root.Path(), "*.txt", 1, 0, out.Path(), TestChild(),
                                                "args %n \"%d\" -- %f"}));
  }
  TempDir root, out, work;
  std::string file = work / "job.ini";
};

TEST_F(WendrixRun, DryRunLinesPastedIntoAShellDoWhatTheRunDoes) {
  WriteFile(work / "lines.sh", RunProgram(kWendrixRun + " --dry-run " + file).second);
  EXPECT_FALSE(fs::exists(out / "sub"));  // a dry run creates nothing
  const std::string pasted = RunProgram("/bin/sh " + work / "lines.sh").second;
  EXPECT_EQ(RunProgram(kWendrixRun + " " + file), std::pair(0, pasted));
  EXPECT_EQ(pasted, "it's \"odd\"\n\xff\n" + out.Path() + "\n--\n" + root.Path() +
                        "it's \"odd\"\n\xff.txt\nplain\n" + out.Path() + "\n--\n" + root.Path() +
                        "plain.txt\n$(touch pwned)\n" + out.Path() + "sub/\n--\n" + root.Path() +
                        "sub/$(touch pwned).txt\n");
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
}

TEST_F(WendrixRun, SearchTextHoldingAFolderRunsAndShowsTheEntryInThatFolder) {
  WriteFile(root / "sub/plain.txt", "");
  ASSERT_TRUE(SaveSettingsFile(
      file, Settings{root.Path(), "sub/plain.txt", 1, 0, out.Path(), TestChild(), "args %d %f"}));
  const std::string expected = out.Path() + "sub/\n" + root.Path() + "sub/plain.txt\n";
  WriteFile(work / "lines.sh", RunProgram(kWendrixRun + " --dry-run " + file).second);
  EXPECT_EQ(RunProgram("/bin/sh " + work / "lines.sh").second, expected);
  EXPECT_EQ(RunProgram(kWendrixRun + " " + file), std::pair(0, expected));
}

TEST_F(WendrixRun, UnreadableSettingsOrBadArgumentsExitWithTwoAndOneLine) {
  for (const std::string& args : {" " + work / "missing.ini", " " + work.Path(), std::string(),
                                  " --bogus " + file, " " + file + " " + file}) {
    const auto [status, message] = RunProgram(kWendrixRun + args);
    EXPECT_EQ(status, 2) << args;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    // The message names a missing file.
    EXPECT_TRUE(args.find("missing") == args.npos || message.find("missing.ini") != args.npos);
  }
}

// Options that run the test child over the files of root.
std::string Options(const TempDir& root, const std::string& parameters,
                    const std::string& more = "") {
  return " --path " + root.Path() + " --command " + TestChild() + " --parameters '" + parameters +
         "' " + more;
}

TEST_F(WendrixRun, ExitStatusAndTheLinesOnStandardErrorTellWhatHappened) {
  TempDir tree;
  for (const char* name : {"a.0", "b.3", "c.0"}) WriteFile(tree / name, "");
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
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunProgram(kWendrixRun + c.args), std::pair(c.status, c.output)) << c.args;

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

TEST_F(WendrixRun, SettingsThatAreNotUsableAreRefusedWithTwo) {
  WriteFile(work / "empty.ini", "");
  WriteFile(work / "other.ini", "[Desktop Entry]\nName=x\n");
  for (const std::string& args :
       {" " + work / "empty.ini", " " + work / "other.ini", " " + std::string(TestChild()),
        " --search x --save " + work / "no/such/folder.ini", " --search 'a\nb' --save " + file,
        " --jobs=x " + file, std::string(" --path"), " - " + file}) {
    const auto [status, message] = RunProgram(kWendrixRun + args);
    EXPECT_EQ(status, 2) << args;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(message.rfind("wendrix-run: ", 0), 0u) << message;
  }
}

TEST_F(WendrixRun, SettingsAreReadFromAFifoStandardInputAndDevStdinLikeAFile) {
  const std::string expected = RunProgram(kWendrixRun + " " + file).second;
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0);
  // The writer comes after the reader opened the FIFO.
  const pid_t writer = fork();
  if (writer == 0) {
    usleep(100'000);
    std::ofstream(work / "fifo", std::ios::binary) << ReadFile(file);
    _exit(0);
  }
  EXPECT_EQ(RunProgram(kWendrixRun + " " + work / "fifo"), std::pair(0, expected));
  waitpid(writer, nullptr, 0);
  for (const char* name : {"-", "/dev/stdin"}) {
    EXPECT_EQ(RunProgram(kWendrixRun + " " + name + " <" + file + " #"), std::pair(0, expected))
        << name;
  }
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
  EXPECT_EQ(LoadSettingsFile(saved), (Settings{root.Path(), "*.txt", 0, 0, out.Path(), TestChild(),
                                               "args %n \"%d\" -- %f"}));
}

TEST_F(WendrixRun, SeveralAtOnceWriteWhatOneAtATimeWrites) {
  TempDir tree;
  for (const char* name : {"1.300", "2.0", "3.150", "4.20", "5.0", "6.100"})
    WriteFile(tree / name, "");
  const std::string parameters = "echo %n-a sleep %e echo %n-b sleep %e echo %n-c";
  const auto one = RunProgram(kWendrixRun + Options(tree, parameters, "-j 1"));
  ASSERT_EQ(one.first, 0);
  EXPECT_EQ(std::count(one.second.begin(), one.second.end(), '\n'), 18);
  EXPECT_EQ(RunProgram(kWendrixRun + Options(tree, parameters, "-j 4")), one);
}

TEST_F(WendrixRun, EndingSignalReachesTheCommandsAndNoneOutlivesTheRun) {
  // Orphans of wendrix-run would become this process's children.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  TempDir tree;
  for (const char* name : {"a", "b", "c"}) WriteFile(tree / name, "");
  struct Case {
    int signal;
    const char* jobs;
    const char* parameters;
  };
  const Case cases[] = {
      {SIGTERM, "1", "echo %n sleep 600000"},
      {SIGINT, "1", "echo %n sleep 600000"},
      {SIGHUP, "3", "echo %n sleep 600000"},
      {SIGTERM, "3", "echo %n sleep 600000"},
      // One that ignores it is killed after its grace time: the parallel jobs' tests pass that
      // on the virtual clock.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.parameters) + " -j " + c.jobs + " signal " +
                 std::to_string(c.signal));
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t run = StartRun({"-j", c.jobs, "--path", tree.Path(), "--command", TestChild(),
                                "--parameters", c.parameters},
                               out[1], open("/dev/null", O_WRONLY | O_CLOEXEC));
    close(out[1]);
    // Its first command has started once its line has come.
    char first = 0;
    ASSERT_EQ(read(out[0], &first, 1), 1);
    kill(run, c.signal);
    ReadAll(out[0]);
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
    EXPECT_EQ(OwnChildren(), std::vector<std::string>{});
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
}

// Ctrl+C on wendrix-run's terminal reaches the command, which shares the terminal, once: from
// the terminal itself, not again from wendrix-run. A kill aimed at wendrix-run alone is passed on.
TEST_F(WendrixRun, InterruptReachesTheCommandOnceFromTheKeyOrFromKill) {
  TempDir tree;
  WriteFile(tree / "a", "");
  const std::string program = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix-run";
  const std::string child = TestChild();
  for (const bool from_key : {true, false}) {
    SCOPED_TRACE(from_key ? "Ctrl+C" : "kill -INT");
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const pid_t run = fork();
    if (run == 0) {
      // The leader of a session whose terminal is the pty, in its foreground.
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      for (int fd = 0; fd <= 2; ++fd) dup2(slave, fd);
      execl(program.c_str(), program.c_str(), "--path", tree.Path().c_str(), "--search", "*",
            "--command",
            child.c_str(), "--parameters", "echo started-%n interrupts 1000", nullptr);
      _exit(127);
    }
    close(slave);
    std::string terminal;
    char buffer[4096];
    ssize_t n = 0;
    while (terminal.find("started") == std::string::npos &&
           (n = read(master, buffer, sizeof buffer)) > 0)
      terminal.append(buffer, static_cast<std::size_t>(n));
    ASSERT_NE(terminal.find("started"), std::string::npos) << terminal;
    if (from_key) {
      ASSERT_EQ(write(master, "\x03", 1), 1);
    } else {
      kill(run, SIGINT);
    }
    while ((n = read(master, buffer, sizeof buffer)) > 0)
      terminal.append(buffer, static_cast<std::size_t>(n));
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_EQ(status, W_EXITCODE(128 + SIGINT, 0));
    EXPECT_NE(terminal.find("interrupts 1\r\n"), std::string::npos) << terminal;
  }
}

TEST_F(WendrixRun, ProgressLineOnlyOnATerminalAndOffItWhileACommandRuns) {
  TempDir tree;
  for (const char* name : {"a", "b", "c"}) WriteFile(tree / name, "");
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t run = StartRun({"--progress", "--path", tree.Path(), "--command", TestChild(),
                              "--parameters", "stderr %n exit 0"},
                             out[1], slave);
  close(out[1]);
  close(slave);
  EXPECT_EQ(ReadAll(out[0]), "");
  int status = 0;
  waitpid(run, &status, 0);
  EXPECT_EQ(status, 0);
  std::string terminal;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) terminal.append(buffer, n);
  close(master);
  // Each command's own error comes on a line cleared of the progress, which is drawn again after.
  const std::string erase = "\r\033[K";
  std::string expected = erase + "wendrix-run: 0/3 done, 0 failed, 0:00 elapsed" + erase;
  EXPECT_EQ(terminal.substr(0, expected.size()), expected) << terminal;
  for (const char* name : {"a", "b", "c"})
    EXPECT_NE(terminal.find(erase + name + erase + "wendrix-run: "), std::string::npos) << terminal;
  EXPECT_EQ(terminal.substr(terminal.size() - erase.size()), erase);

  // Not a terminal: nothing.
  EXPECT_EQ(RunProgram(kWendrixRun + Options(tree, "exit 0 %n", "--progress")),
            std::pair(0, std::string()));
}

}  // namespace
}  // namespace wendrix
