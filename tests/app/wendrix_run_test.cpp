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
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "settings/settings_flows.h"
#include "test_support.h"

namespace wendrix {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using namespace std::string_literals;

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
    const std::string pasted = RunProgram("/bin/bash " + work / "lines.sh").second;
    EXPECT_EQ(pasted, expected);
    EXPECT_TRUE(fs::is_directory(out / "sub"));  // made by the job file's first line
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
      {Options(tree, "echo %n", "--exclude b.* --exclude '?.9'"), 0, "a\nc\n"},
      // A header before each output, on a line of its own; none for a command silent.
      {Options(tree, "bytes %e", "--tag"), 0, "==> " + tree / "b.3 <==\n\0\1\2"s},
      {Options(tree, "text %n", "--tag -j 2"), 0,
       "==> " + tree / "a.0 <==\na\n==> " + tree / "b.3 <==\nb\n==> " + tree / "c.0 <==\nc"},
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

TEST_F(WendrixRun, CreatesPassesOverWhatIsUpToDateAndRemovesWhatAFailedCommandMade) {
  // Each command makes its file, then ends with the status its extension names.
  const std::string parameters = "touch %d%n.out echo %n exit %e";
  const std::string run = kWendrixRun + Options(tree, parameters, "--creates %d%n.out") +
                          " --destination " + out.Path();
  EXPECT_EQ(RunProgram(run), std::pair(1, "a\nb\nc\nwendrix-run: 1 of 3 commands failed\n"s));
  EXPECT_TRUE(fs::exists(out / "a.out") && !fs::exists(out / "b.out"));
  // An entry newer than its file runs again; the dry run marks the others.
  fs::last_write_time(tree / "a.0", fs::last_write_time(out / "a.out") + std::chrono::seconds(1));
  const auto line = [&](const std::string& name, const std::string& status) {
    return "'" + std::string(TestChild()) + "' 'touch' '" + out / name + ".out' 'echo' '" + name +
           "' 'exit' '" + status + "'\n";
  };
  EXPECT_EQ(RunProgram(run + " --dry-run"),
            std::pair(0, line("a", "0") + line("b", "3") + "# up to date: " + line("c", "0")));
  EXPECT_EQ(RunProgram(run), std::pair(1, "a\nb\nwendrix-run: 1 of 2 commands failed\n"s));
}

// The job log's lines, each split at its tabs.
std::vector<std::vector<std::string>> LogLines(const std::string& log) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(ReadFile(log));
  for (std::string line; std::getline(text, line);) {
    std::istringstream fields(line);
    lines.emplace_back();
    for (std::string field; std::getline(fields, field, '\t');) lines.back().push_back(field);
  }
  return lines;
}

TEST_F(WendrixRun, JobLogTellsEachCommandAndALaterRunGoesOnByPathInATreeThatChanged) {
  const std::string log = work / "log";
  const std::string run = kWendrixRun + Options(tree, "echo %n exit %e", "--joblog " + log);
  EXPECT_EQ(RunProgram(run), std::pair(1, "a\nb\nc\nwendrix-run: 1 of 3 commands failed\n"s));
  const auto lines = LogLines(log);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], (std::vector<std::string>{"Path", "Exitval", "Signal", "Starttime",
                                                 "JobRuntime", "Command"}));
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string name = "abc"s.substr(i - 1, 1), status = i == 2 ? "3" : "0";
    ASSERT_EQ(lines[i].size(), 6u);
    EXPECT_EQ(lines[i][0], tree / name + "." + status);
    EXPECT_EQ(lines[i][1] + lines[i][2], status + "0");
    EXPECT_EQ(lines[i][5], "'"s + TestChild() + "' 'echo' '" + name + "' 'exit' '" + status + "'");
  }
  // An entry that comes before b, and c gone: counted by position, b's line would be aa's.
  WriteFile(tree / "aa.0", "");
  fs::remove(tree / "c.0");
  EXPECT_EQ(RunProgram(run + " --resume"),
            std::pair(1, "aa\nb\nwendrix-run: 1 of 2 commands failed\n"s));
  EXPECT_EQ(RunProgram(run + " --retry-failed"),
            std::pair(1, "b\nwendrix-run: 1 of 1 command failed\n"s));
  // Another command line is not what was done.
  EXPECT_EQ(RunProgram(kWendrixRun + Options(tree, "echo %n-x exit 0", "--resume --joblog " + log)),
            std::pair(0, "a-x\naa-x\nb-x\n"s));
  // Names holding a line break, a tab or a backslash read back: nothing is left to do.
  for (const char* name : {"t\tb\\n.txt", "n\n.txt"}) WriteFile(root / name, "");
  EXPECT_EQ(RunProgram(kWendrixRun + " --joblog " + log + " " + file).first, 0);
  EXPECT_EQ(LogLines(log).size(), 4u + 2 + 1 + 3 + 5);
  EXPECT_EQ(RunProgram(kWendrixRun + " --resume --joblog " + log + " " + file), std::pair(0, ""s));
  WriteFile(work / "other", "Path\tExit\n");  // not a job log: never appended to
  EXPECT_EQ(RunProgram(kWendrixRun + " --resume --joblog " + work / "other " + file),
            std::pair(2, "wendrix-run: " + work / "other is not a job log of wendrix-run\n"));
}

TEST_F(WendrixRun, JobLogLinesAreWholeWhenTheRunIsKilledAndResumeDoesTheRestOnce) {
  TempDir many;
  for (int i = 0; i < 1000; ++i) WriteFile(many / (std::to_string(i) + ".txt"), "");
  const std::string log = work / "log";
  const std::string run = Options(many, "exit 0 %n", "-j 4 --joblog " + log);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = StartRun(run, null);
  close(null);
  ASSERT_TRUE(WaitUntil([&] { return LogLines(log).size() > 100; }));
  kill(pid, SIGKILL);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  const std::string text = ReadFile(log);
  EXPECT_EQ(text.back(), '\n');
  for (const auto& line : LogLines(log)) EXPECT_EQ(line.size(), 6u) << line[0];
  EXPECT_EQ(RunProgram(kWendrixRun + run + " --resume"), std::pair(0, ""s));
  std::set<std::string> paths;
  for (const auto& line : LogLines(log)) paths.insert(line[0]);
  EXPECT_EQ(paths.size(), 1001u);
  EXPECT_EQ(LogLines(log).size(), 1001u);
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
