// The desktop program as a whole: loading at start, ending in order with the Settings saved (close
// box, SIGTERM, the console closed or interrupted), and input made during a run handled after it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <tuple>

#include "test_support.h"

namespace wendrix {
namespace {

using namespace wendrix::testing;

const std::string kProgram = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix";
const std::string kCloseWindow = std::string(WENDRIX_BINARY_DIR) + "/tests/x-close-window";

std::string SettingsText(const std::string& path, const std::string& search,
                         const std::string& command, const std::string& parameters) {
  return "StringPath = " + path + "\r\nStringSearchText = " + search +
         "\r\nCheckboxProcessFiles = 1\r\nCheckboxProcessFolders = 0\r\nStringDestination = "
         "\r\nStringCommand = " +
         command + "\r\nStringParameters = " + parameters + "\r\n";
}

void Sleep(int ms) { usleep(ms * 1000); }

// The program with its home in a temporary folder and its standard output in a file. terminal is
// the console's terminal launcher; "false" means none, so the program's own output serves.
struct Program {
  Program(const TempDir& dir, bool offscreen, const std::string& terminal = "false") {
    pid_ = fork();
    if (pid_ != 0) return;
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "home/.config").c_str(), 1);
    setenv("WENDRIX_TERMINAL", terminal.c_str(), 1);
    offscreen ? setenv("QT_QPA_PLATFORM", "offscreen", 1) : unsetenv("QT_QPA_PLATFORM");
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open((dir / "program-output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    execl(kProgram.c_str(), kProgram.c_str(), nullptr);
    _exit(127);
  }
  ~Program() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }

  // Sends SIGTERM once it is caught, so that it ends the program in order.
  bool Terminate() const {
    for (int i = 0; i < 1000; ++i, Sleep(10)) {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0 &&
            (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0)
          return kill(pid_, SIGTERM) == 0;
    }
    return false;
  }

  // The exit status, or -1 when the program is still there after 30 s.
  int WaitForExit() {
    for (int i = 0, status = 0; i < 3000; ++i, Sleep(10)) {
      if (waitpid(pid_, &status, WNOHANG) != pid_) continue;
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return -1;
  }

  pid_t pid_ = -1;
};

std::string SettingsPath(const TempDir& dir) { return dir / "home/.config/Wendrix/default.ini"; }

void WriteDefaultSettings(const TempDir& dir, const std::string& text) {
  std::filesystem::create_directories(dir / "home/.config/Wendrix");
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
    std::filesystem::create_directories(content && *content == '/' ? SettingsPath(dir)
                                                                   : dir / "home");
    if (content != nullptr && *content != '/') WriteDefaultSettings(dir, content);
    Program program(dir, true);
    ASSERT_TRUE(program.Terminate());
    ASSERT_EQ(program.WaitForExit(), 0);
    EXPECT_EQ(
        std::filesystem::is_directory(SettingsPath(dir)) ? "folder" : ReadFile(SettingsPath(dir)),
        expected);
  }
}

// Under a real X server: the window driven by clicks hit-tested by the server, and close requests
// sent as a window manager's close box sends them.
class DesktopProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WENDRIX_SKIP_UNLESS(std::getenv("DISPLAY") != nullptr, "an X server (scripts/test.sh runs one)");
    std::filesystem::create_directories(dir_ / "tree");
    for (const char* name : {"a.txt", "b.txt"}) WriteFile(dir_ / "tree/" + name, "");
  }

  static std::string Command(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    for (int c; (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
    pclose(pipe);
    return output.substr(0, output.find('\n'));
  }
  // The first visible window whose name matches, once it is mapped.
  static std::string FindWindow(const std::string& name = "^Wendrix$") {
    return Command("timeout 20 xdotool search --sync --onlyvisible --name '" + name + "'");
  }
  static void Click(const std::string& window, int x, int y) {
    Command("xdotool mousemove --window " + window + " " + std::to_string(x) + " " +
            std::to_string(y) + " click 1");
  }
  // Starts the program with default settings that run the test child on the tree's files.
  void Start(const std::string& parameters, const std::string& terminal,
             const std::string& search = "") {
    settings_ = SettingsText(Tree(), search, TestChild(), parameters);
    WriteDefaultSettings(dir_, settings_);
    program_ = std::make_unique<Program>(dir_, false, terminal);
    window_ = FindWindow();
    ASSERT_FALSE(window_.empty());
    // Whatever is saved at the end is written anew.
    std::filesystem::remove(SettingsPath(dir_));
  }

  std::string Tree() const { return dir_ / "tree/"; }

  TempDir dir_;
  std::string settings_, window_;
  std::unique_ptr<Program> program_;
};

// Where "Start !" and "%f : Path+Filename" are.
constexpr int kStartX = 445, kStartY = 380, kPathX = 225, kPathY = 310;

TEST_F(DesktopProgramTest, APressAndTheCloseBoxEndWithTheSettingsSaved) {
  ASSERT_NO_FATAL_FAILURE(Start("args %f", "false"));
  Click(window_, kPathX, kPathY);
  Sleep(300);
  Command(kCloseWindow + " " + window_);
  ASSERT_EQ(program_->WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath(dir_)), SettingsText(Tree(), "", TestChild(), "args %f %f "));
}

TEST_F(DesktopProgramTest, InputAndACloseRequestDuringARunAreHandledAfterIt) {
  ASSERT_NO_FATAL_FAILURE(Start("sleep 2000 args %f", "false", "a.txt"));
  Click(window_, kStartX, kStartY);
  Sleep(500);
  Click(window_, kPathX, kPathY);  // pressed while the command runs, in this order
  Click(window_, 205, 340);        // "%h : Home"
  Command(kCloseWindow + " " + window_);
  ASSERT_EQ(program_->WaitForExit(), 0);
  EXPECT_EQ(ReadFile(dir_ / "program-output"), Tree() + "a.txt\n");
  EXPECT_EQ(ReadFile(SettingsPath(dir_)),
            SettingsText(Tree(), "a.txt", TestChild(), "sleep 2000 args %f %f  %h "));
}

TEST_F(DesktopProgramTest, SigtermWhileARequesterIsOpenSavesTheSettingsAndEnds) {
  ASSERT_NO_FATAL_FAILURE(Start("args %f", "false"));
  Click(window_, 60, 380);  // "Load Config": its requester opens and waits
  ASSERT_FALSE(FindWindow("^Please choose some config file$").empty());
  ASSERT_TRUE(program_->Terminate());
  ASSERT_EQ(program_->WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath(dir_)), settings_);
}

// The console played by a pseudo-terminal driven by a script: Ctrl+C during the first command,
// or the window closed once the run is over.
TEST_F(DesktopProgramTest, InterruptingOrClosingTheConsoleEndsInOrder) {
  // The script, the parameters, and whether the command for b.txt ever starts.
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"wait started-a\ntype \\x03\n", "text started-%n sleep 30000 text finished-%n", false},
      {"wait started-b\nsleep 300\nclose\n", "text started-%n", true}};
  for (const auto& [script, parameters, b_runs] : cases) {
    TempDir terminal_dir;
    const std::string screen = terminal_dir / "screen", control = terminal_dir / "control";
    mkfifo(control.c_str(), 0600);
    const int control_fd = open(control.c_str(), O_RDWR | O_CLOEXEC);
    WriteFile(control, script);  // kept in the pipe by control_fd
    ASSERT_NO_FATAL_FAILURE(
        Start(parameters, std::string(WENDRIX_TEST_TERMINAL) + " " + screen + " " + control));
    Click(window_, kStartX, kStartY);
    EXPECT_EQ(program_->WaitForExit(), 0) << script;
    EXPECT_EQ(ReadFile(SettingsPath(dir_)), settings_) << script;
    const std::string shown = ReadFile(screen);
    EXPECT_EQ(shown.find("finished-a"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("started-b") != std::string::npos, b_runs) << shown;
    close(control_fd);
  }
}

// The real terminal emulator: the output shows in its window (a screenshot is left in the build
// folder to look at), and killing that window ends the program in order.
TEST_F(DesktopProgramTest, OutputShowsInARealTerminalWhoseEndEndsTheProgram) {
  ASSERT_NO_FATAL_FAILURE(
      Start("args \"Wendrix console:\" %n.%e", "xterm -geometry 80x24+0+0 -e", "*.txt"));
  Click(window_, kStartX, kStartY);
  const std::string terminal = FindWindow("wendrix-console");
  ASSERT_FALSE(terminal.empty());
  Sleep(500);
  Command("import -window " + terminal + " " + WENDRIX_BINARY_DIR + "/console-screenshot.png");
  Command("xdotool windowkill " + terminal);
  ASSERT_EQ(program_->WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath(dir_)), settings_);
}

}  // namespace
}  // namespace wendrix
