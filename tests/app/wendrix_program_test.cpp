// The desktop program as a whole: loading at start, ending in order with the Settings saved (close
// box, SIGTERM, the console closed or interrupted, the display gone), input made during a run
// handled after it, and the displays it opens on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.h"

namespace wendrix {
namespace {

using namespace wendrix::testing;
namespace fs = std::filesystem;

const std::string kProgram = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix";
const std::string kCloseWindow = std::string(WENDRIX_BINARY_DIR) + "/tests/x-close-window";

std::string SettingsText(const std::string& path, const std::string& search,
                         const std::string& command, const std::string& parameters) {
  return "StringPath = " + path + "\r\nStringSearchText = " + search +
         "\r\nCheckboxProcessFiles = 1\r\nCheckboxProcessFolders = 0\r\nStringDestination = "
         "\r\nStringCommand = " +
         command + "\r\nStringParameters = " + parameters + "\r\n";
}

// Variables a process is started with (a value) or without (nullopt), over the test's own.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The user the program runs as where root would read any file: nobody.
constexpr uid_t kNobody = 65534;

// Starts argv, looked up in PATH, with environment, its standard input /dev/null and its standard
// output (unless output is empty) and error in files; as nobody when asked.
pid_t Spawn(const std::vector<std::string>& argv, const Environment& environment,
            const std::string& output, const std::string& errors, bool as_nobody = false) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const auto& [name, value] : environment)
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  dup2(open("/dev/null", O_RDONLY), 0);
  if (!output.empty()) dup2(open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  if (as_nobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// A process the test started, killed at the test's end unless it ended before.
struct Process {
  ~Process() { End(SIGKILL); }

  // Sends signal and waits for the end.
  void End(int signal) {
    if (pid_ > 0 && kill(pid_, signal) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Sends SIGTERM once it is caught, so that it ends the program in order.
  bool Terminate() const {
    const auto caught = [&] {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0)
          return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
      return false;
    };
    return WaitUntil(caught, 10000) && kill(pid_, SIGTERM) == 0;
  }

  // The exit status, or -1 when the process is still there after 30 s.
  int WaitForExit() {
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 30000)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid_ = -1;
};

// The program with its home in a temporary folder and its standard output and error in files.
// terminal is the console's terminal launcher; "false" means none, so the program's own output
// serves.
struct Program : Process {
  Program(const TempDir& dir, bool offscreen, const std::string& terminal = "false",
          Environment environment = {}, bool as_nobody = false) {
    environment.insert(
        environment.begin(),
        {{"HOME", dir / "home"},
         {"XDG_CONFIG_HOME", dir / "home/.config"},
         {"WENDRIX_TERMINAL", terminal},
         {"QT_QPA_PLATFORM", offscreen ? std::optional<std::string>("offscreen") : std::nullopt}});
    // Nobody cannot reach the built program where the checkout sits in a folder only root
    // enters: a copy among the test's files runs instead.
    const std::string program = as_nobody ? dir / "wendrix" : kProgram;
    if (as_nobody) fs::copy_file(kProgram, program);
    pid_ = Spawn({program}, environment, dir / "program-output", dir / "program-errors", as_nobody);
  }
};

std::string SettingsPath(const TempDir& dir) { return dir / "home/.config/Wendrix/default.ini"; }

void WriteDefaultSettings(const TempDir& dir, const std::string& text) {
  fs::create_directories(dir / "home/.config/Wendrix");
  WriteFile(SettingsPath(dir), text);
}

TEST(ProgramTest, LoadsOnlyADefaultFileWithContentAndSavesAtTheEnd) {
  const std::string initial = SettingsText("", "", "", "\"%f\"");
  const std::string values = SettingsText("/data/", "*.jpg", "%APPDIR%convert", "-o %d %f");
  // nullptr: no file, not even its folders; "/": a folder in the file's place, left alone.
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, initial}, {"", initial}, {values.c_str(), values}, {"/", "folder"}};
  for (const auto& [content, expected] : cases) {
    SCOPED_TRACE(content == nullptr ? "no file" : content);
    TempDir dir;
    fs::create_directories(content && *content == '/' ? SettingsPath(dir) : dir / "home");
    if (content != nullptr && *content != '/') WriteDefaultSettings(dir, content);
    Program program(dir, true);
    ASSERT_TRUE(program.Terminate());
    ASSERT_EQ(program.WaitForExit(), 0);
    EXPECT_EQ(fs::is_directory(SettingsPath(dir)) ? "folder" : ReadFile(SettingsPath(dir)),
              expected);
  }
}

// The start-up message box runs a loop of its own; a SIGTERM while it waits for its OK closes it
// and ends the program in order. A settings file that can be written but not read shows it; root
// could read any, so the program runs as nobody then.
TEST(ProgramTest, SigtermWhileTheStartUpMessageBoxIsShownClosesItSavesAndEnds) {
  TempDir dir;
  WriteDefaultSettings(dir, SettingsText("/data/", "", "", ""));
  fs::permissions(SettingsPath(dir), fs::perms::owner_write);
  const bool as_nobody = geteuid() == 0;
  if (as_nobody) {
    fs::permissions(dir.Path(), fs::perms::all);
    for (const std::string& path :
         {dir / "home", dir / "home/.config", dir / "home/.config/Wendrix", SettingsPath(dir)})
      ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  }
  Program program(dir, true, "false", {}, as_nobody);
  // Caught from the start, the signal is taken while the box waits, whenever it came.
  ASSERT_TRUE(program.Terminate());
  ASSERT_EQ(program.WaitForExit(), 0) << "the box held the signal back";
  EXPECT_EQ(ReadFile(SettingsPath(dir)), SettingsText("", "", "", "\"%f\""));
}

// Natively on a Wayland compositor, a headless one, with no X server named at all: the window
// opens, and the Settings are saved when the program ends on SIGTERM (with 0) and when the
// compositor goes away under it.
TEST(WaylandProgramTest, OpensOnAHeadlessCompositorAndSavesOnSigtermAndWhenItGoesAway) {
  WENDRIX_SKIP_UNLESS(system("command -v weston >/dev/null") == 0, "weston");
  for (const bool compositor_ends : {false, true}) {
    SCOPED_TRACE(compositor_ends ? "the compositor ends" : "SIGTERM");
    TempDir dir, runtime;
    fs::permissions(runtime.Path(), fs::perms::owner_all);
    const std::string socket = "wendrix-test-" + std::to_string(getpid());
    const Environment wayland = {{"DISPLAY", std::nullopt},
                                 {"WAYLAND_DISPLAY", socket},
                                 {"XDG_RUNTIME_DIR", runtime.Path()}};
    Process compositor;
    compositor.pid_ =
        Spawn({"weston", "--backend=headless-backend.so", "--socket=" + socket, "--idle-time=0"},
              wayland, "", dir / "compositor-log");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(runtime / socket); }, 30000))
        << ReadFile(dir / "compositor-log");
    // Loaded, the one value given sets every field; saved, all seven are written out.
    WriteDefaultSettings(dir, "StringCommand = convert\n");
    Program program(dir, false, "false", wayland);
    // Shown: the window's first picture lies in memory shared with the compositor.
    const std::string maps = "/proc/" + std::to_string(program.pid_) + "/maps";
    ASSERT_TRUE(
        WaitUntil([&] { return ReadFile(maps).find("wayland-shm") != std::string::npos; }, 30000))
        << ReadFile(dir / "program-errors");
    fs::remove(SettingsPath(dir));  // whatever is there at the end was saved
    if (compositor_ends) {
      compositor.End(SIGTERM);
      EXPECT_NE(program.WaitForExit(), -1);
    } else {
      ASSERT_TRUE(program.Terminate());
      EXPECT_EQ(program.WaitForExit(), 0) << ReadFile(dir / "program-errors");
      EXPECT_EQ(ReadFile(dir / "program-errors"), "");
    }
    EXPECT_EQ(ReadFile(SettingsPath(dir)), SettingsText("", "", "convert", ""));
  }
}

// On an X server of the test's own: the window driven by clicks hit-tested by the server, close
// requests sent as a window manager's close box sends them, and the server killed under the
// running program as a session's end does.
class DesktopProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WENDRIX_SKIP_UNLESS(system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") == 0,
                        "Xvfb and xdotool");
    // The display's number comes in more than one write, the last once the server is ready.
    const std::string number = dir_ / "display";
    server_.pid_ =
        Spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {},
              number, "/dev/null");
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(number).find('\n') != std::string::npos; }))
        << "Xvfb did not start";
    display_ = ":" + ReadFile(number).substr(0, ReadFile(number).find('\n'));
    // Listening is not yet answering: the program and xdotool start once a client gets in.
    ASSERT_TRUE(WaitUntil([&] { return !X("xdotool getdisplaygeometry").empty(); }));
    fs::create_directories(dir_ / "tree");
    for (const char* name : {"a.txt", "b.txt"}) WriteFile(dir_ / "tree/" + name, "");
  }

  // Runs a shell command on the test's display: the first line of its output.
  std::string X(const std::string& command) const {
    const std::string output = RunShell("DISPLAY=" + display_ + " " + command).second;
    return output.substr(0, output.find('\n'));
  }
  // The first visible window whose name matches, waited for (up to 20 s) unless wait is false.
  // xdotool gives up when a window goes away while it looks, so it looks again.
  std::string FindWindow(const std::string& name = "^Wendrix$", bool wait = true) const {
    const std::string search =
        std::string(wait ? "timeout 20 xdotool search --sync" : "xdotool search") +
        " --onlyvisible --name '" + name + "'";
    std::string found;
    WaitUntil([&] { return !(found = X(search)).empty() || !wait; }, 20000);
    return found;
  }
  void Click(int x, int y) const {
    X("xdotool mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y) +
      " click 1");
  }
  // Starts the program with default settings that run the test child on the tree's files.
  void Start(const std::string& parameters, const std::string& terminal,
             const std::string& search = "") {
    settings_ = SettingsText(Tree(), search, TestChild(), parameters);
    WriteDefaultSettings(dir_, settings_);
    program_ = std::make_unique<Program>(
        dir_, false, terminal,
        Environment{{"DISPLAY", display_}, {"WAYLAND_DISPLAY", std::nullopt}});
    window_ = FindWindow();
    ASSERT_FALSE(window_.empty());
    // Whatever is saved at the end is written anew.
    fs::remove(SettingsPath(dir_));
  }

  std::string Tree() const { return dir_ / "tree/"; }

  TempDir dir_;
  Process server_;
  std::string display_, settings_, window_;
  std::unique_ptr<Program> program_;
};

// Where "Start !" and "%f : Path+Filename" are.
constexpr int kStartX = 445, kStartY = 380, kPathX = 225, kPathY = 310;

// A press made, then the program ended by its close box, by SIGTERM while a requester is open (the
// requester runs a loop of its own), or by the X server going away under it, as a session's end
// does: the Settings are saved with the press.
TEST_F(DesktopProgramTest, APressIsSavedWhenTheCloseBoxSigtermOrTheServerGoingAwayEndsIt) {
  for (const std::string end : {"close box", "SIGTERM with a requester open", "server gone"}) {
    SCOPED_TRACE(end);
    ASSERT_NO_FATAL_FAILURE(Start("args %f", "false"));
    Click(kPathX, kPathY);
    // Then "Load Config": the program takes clicks in order, so its requester showing tells
    // that the press was handled.
    Click(60, 380);
    const std::string requester = FindWindow("^Please choose some config file$");
    ASSERT_FALSE(requester.empty());
    if (end != "SIGTERM with a requester open") {
      X(kCloseWindow + " " + requester);
      ASSERT_TRUE(WaitUntil([&] { return FindWindow("^Please choose", false).empty(); }));
    }
    if (end == "close box") {
      X(kCloseWindow + " " + window_);
      ASSERT_EQ(program_->WaitForExit(), 0);
    } else if (end == "SIGTERM with a requester open") {
      ASSERT_TRUE(program_->Terminate());
      ASSERT_EQ(program_->WaitForExit(), 0);
    } else {
      server_.End(SIGTERM);
      EXPECT_NE(program_->WaitForExit(), -1);
    }
    EXPECT_EQ(ReadFile(SettingsPath(dir_)), SettingsText(Tree(), "", TestChild(), "args %f %f "))
        << ReadFile(dir_ / "program-errors");
  }
}

TEST_F(DesktopProgramTest, InputAndACloseRequestDuringARunAreHandledAfterIt) {
  // The command waits until the test has clicked and asked to close.
  const std::string parameters = "waitfor " + dir_ / "go args %f";
  ASSERT_NO_FATAL_FAILURE(Start(parameters, "false", "a.txt"));
  Click(kStartX, kStartY);
  // No console window and the output in a file: the first run says so, then goes on.
  const std::string alert = FindWindow("^Alert$");
  ASSERT_FALSE(alert.empty());
  X(kCloseWindow + " " + alert);
  ASSERT_TRUE(WaitUntil([&] { return FindWindow("^Alert$", false).empty(); }));
  Click(kPathX, kPathY);  // pressed while the command runs, in this order
  Click(205, 340);        // "%h : Home"
  X(kCloseWindow + " " + window_);
  WriteFile(dir_ / "go", "");
  ASSERT_EQ(program_->WaitForExit(), 0);
  EXPECT_EQ(ReadFile(dir_ / "program-output"), Tree() + "a.txt\n");
  EXPECT_EQ(ReadFile(SettingsPath(dir_)),
            SettingsText(Tree(), "a.txt", TestChild(), parameters + " %f  %h "));
}

// The console played by a pseudo-terminal driven by a script: Ctrl+C during the first command,
// or the window closed once the run is over.
TEST_F(DesktopProgramTest, InterruptingOrClosingTheConsoleEndsInOrder) {
  // The script, the parameters, and whether the command for b.txt ever starts.
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"wait started-a\ntype \\x03\n", "text started-%n sleep 30000 text finished-%n", false},
      {"wait started-b\nwait 2 commands, 0 failed\nclose\n", "text started-%n", true}};
  for (const auto& [script, parameters, b_runs] : cases) {
    TempDir terminal_dir;
    const std::string screen = terminal_dir / "screen", control = terminal_dir / "control";
    mkfifo(control.c_str(), 0600);
    const int control_fd = open(control.c_str(), O_RDWR | O_CLOEXEC);
    WriteFile(control, script);  // kept in the pipe by control_fd
    ASSERT_NO_FATAL_FAILURE(
        Start(parameters, std::string(WENDRIX_TEST_TERMINAL) + " " + screen + " " + control));
    Click(kStartX, kStartY);
    EXPECT_EQ(program_->WaitForExit(), 0) << script;
    EXPECT_EQ(ReadFile(SettingsPath(dir_)), settings_) << script;
    const std::string shown = ReadFile(screen);
    EXPECT_EQ(shown.find("finished-a"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("started-b") != std::string::npos, b_runs) << shown;
    close(control_fd);
  }
}

// The real terminal emulator: the output shows in its window (a screenshot is left in the build
// folder to look at), whose title tells what the run did, and killing that window ends the
// program in order.
TEST_F(DesktopProgramTest, OutputShowsInARealTerminalWhoseEndEndsTheProgram) {
  ASSERT_NO_FATAL_FAILURE(
      Start("args \"Wendrix console:\" %n.%e", "xterm -geometry 80x24+0+0 -e", "*.txt"));
  Click(kStartX, kStartY);
  const std::string terminal = FindWindow("^Wendrix console - 2 commands, 0 failed$");
  ASSERT_FALSE(terminal.empty());
  X("import -window " + terminal + " " + WENDRIX_BINARY_DIR + "/console-screenshot.png");
  X("xdotool windowkill " + terminal);
  ASSERT_EQ(program_->WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath(dir_)), settings_);
}

}  // namespace
}  // namespace wendrix
