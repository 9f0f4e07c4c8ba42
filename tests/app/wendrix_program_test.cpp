// The desktop program as a whole: start-up loading, ending in order with the Settings saved, and
// (under an X server) clicks and the close box, also while a job run is in progress.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace wendrix {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const std::string kProgram = std::string(WENDRIX_BINARY_DIR) + "/src/app/wendrix";
const std::string kCloseWindow = std::string(WENDRIX_BINARY_DIR) + "/tests/x-close-window";

std::string SettingsText(const std::string& path, const std::string& search, int files, int folders,
                         const std::string& destination, const std::string& command,
                         const std::string& parameters) {
  return "StringPath = " + path + "\r\nStringSearchText = " + search +
         "\r\nCheckboxProcessFiles = " + std::to_string(files) +
         "\r\nCheckboxProcessFolders = " + std::to_string(folders) +
         "\r\nStringDestination = " + destination + "\r\nStringCommand = " + command +
         "\r\nStringParameters = " + parameters + "\r\n";
}

const std::string kInitialSettings = SettingsText("", "", 1, 0, "", "", "\"%f\"");

// The program started with its home in a temporary folder; standard output into a file.
class Program {
 public:
  // terminal: the launcher command the console uses ("false": no terminal, the program's own
  // standard output serves).
  Program(const TempDir& dir, bool offscreen, const std::string& terminal = "false")
      : output_(dir / "program-output") {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      for (const char* name : {"HOME=", "XDG_CONFIG_HOME=", "QT_QPA_PLATFORM=", "WENDRIX_TERMINAL="})
        if (entry.rfind(name, 0) == 0) goto skip;
      env.push_back(entry);
    skip:;
    }
    env.push_back("HOME=" + dir / "home");
    env.push_back("XDG_CONFIG_HOME=" + dir / "home/.config");
    env.push_back("WENDRIX_TERMINAL=" + terminal);
    if (offscreen) env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    char* argv[] = {const_cast<char*>(kProgram.c_str()), nullptr};
    EXPECT_EQ(posix_spawn(&pid_, kProgram.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Waits until the program has put its signal handlers in place, so that a signal sent now
  // ends it in order instead of killing it.
  bool WaitForHandlers() {
    for (int i = 0; i < 1000; ++i) {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0 &&
            (std::strtoull(line.c_str() + 7, nullptr, 16) & (1ull << (SIGTERM - 1))) != 0)
          return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The exit status, or -1 when the program did not end within the time.
  int WaitForExit(int seconds = 30) {
    for (int i = 0; i < seconds * 100; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void Signal(int signal_number) { kill(pid_, signal_number); }
  std::string Output() const { return ReadFile(output_); }

 private:
  std::string output_;
  pid_t pid_ = -1;
};

class ProgramTest : public ::testing::Test {
 protected:
  std::string SettingsPath() const { return dir_ / "home/.config/Wendrix/default.ini"; }

  void WriteDefaultSettings(const std::string& text) {
    std::filesystem::create_directories(dir_ / "home/.config/Wendrix");
    WriteFile(SettingsPath(), text);
  }

  // Starts the program offscreen and ends it with SIGTERM once it listens for it.
  int StartAndTerminate() {
    Program program(dir_, true);
    EXPECT_TRUE(program.WaitForHandlers());
    program.Signal(SIGTERM);
    return program.WaitForExit();
  }

  TempDir dir_;
};

TEST_F(ProgramTest, FirstStartWritesTheInitialValuesCreatingTheMissingFolders) {
  std::filesystem::create_directories(dir_ / "home");
  ASSERT_EQ(StartAndTerminate(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), kInitialSettings);
}

TEST_F(ProgramTest, AnEmptyDefaultFileIsNotLoadedAndIsOverwrittenAtTheEnd) {
  WriteDefaultSettings("");
  ASSERT_EQ(StartAndTerminate(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), kInitialSettings);
}

TEST_F(ProgramTest, DefaultFileValuesAreLoadedIntoTheWindowAndSavedBackUnchanged) {
  const std::string values =
      SettingsText("/data/photos/", "*.jpg", 0, 1, "/backup/", "%APPDIR%convert", "-o %d %f");
  WriteDefaultSettings(values);
  ASSERT_EQ(StartAndTerminate(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), values);
}

TEST_F(ProgramTest, AFolderAtTheDefaultPathIsNeitherLoadedNorReplaced) {
  std::filesystem::create_directories(SettingsPath());
  ASSERT_EQ(StartAndTerminate(), 0);
  EXPECT_TRUE(std::filesystem::is_directory(SettingsPath()));
}

// Under a real X server: the program's window driven with clicks and a close request.
class DesktopProgramTest : public ProgramTest {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs an X server (scripts/test.sh)";
  }

  static std::string Command(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
      pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    return output;
  }

  // The id of the program's visible window, once it is mapped.
  static std::string FindWindow() {
    return Command("timeout 20 xdotool search --sync --onlyvisible --name '^Wendrix$' | head -n 1");
  }

  // A click at a point of the window's client area, hit-tested by the X server.
  static void Click(const std::string& window, int x, int y) {
    Command("xdotool mousemove --window " + window + " " + std::to_string(x) + " " +
            std::to_string(y) + " click 1");
  }
};

TEST_F(DesktopProgramTest, APressAndTheCloseBoxEndWithTheSettingsSaved) {
  std::filesystem::create_directories(dir_ / "home");
  Program program(dir_, false);
  const std::string window = FindWindow();
  ASSERT_FALSE(window.empty());
  Click(window, 225, 310);  // "%f : Path+Filename"
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Command(kCloseWindow + " " + window);
  ASSERT_EQ(program.WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), SettingsText("", "", 1, 0, "", "", "\"%f\" %f "));
}

TEST_F(DesktopProgramTest, InputAndACloseRequestDuringARunAreHandledAfterIt) {
  std::filesystem::create_directories(dir_ / "tree");
  WriteFile(dir_ / "tree/a.txt", "a");
  WriteDefaultSettings(SettingsText(dir_ / "tree/", "", 1, 0, "", testing::TestChild(),
                                    "sleep 2000 args %f"));
  Program program(dir_, false);
  const std::string window = FindWindow();
  ASSERT_FALSE(window.empty());
  Click(window, 445, 380);  // "Start !"
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Click(window, 225, 310);  // "%f : Path+Filename", pressed while the command runs
  Command(kCloseWindow + " " + window);
  ASSERT_EQ(program.WaitForExit(), 0);
  EXPECT_EQ(program.Output(), dir_ / "tree/a.txt\n");
  EXPECT_EQ(ReadFile(SettingsPath()), SettingsText(dir_ / "tree/", "", 1, 0, "",
                                                   testing::TestChild(), "sleep 2000 args %f %f "));
}

// The console played by a pseudo-terminal that a script drives: Ctrl+C, closing the window.
class ConsoleProgramTest : public DesktopProgramTest {
 protected:
  void SetUp() override {
    DesktopProgramTest::SetUp();
    if (IsSkipped()) return;
    mkfifo(control_.c_str(), 0600);
    control_fd_ = open(control_.c_str(), O_RDWR | O_CLOEXEC);
    std::filesystem::create_directories(dir_ / "tree");
    for (const char* name : {"a.txt", "b.txt"}) WriteFile(dir_ / ("tree/" + std::string(name)), "");
    settings_ = SettingsText(dir_ / "tree/", "", 1, 0, "", testing::TestChild(),
                             "text started-%n sleep 30000 text finished-%n");
    WriteDefaultSettings(settings_);
  }
  void TearDown() override { close(control_fd_); }

  std::string Terminal() const {
    return std::string(WENDRIX_TEST_TERMINAL) + " " + screen_ + " " + control_;
  }
  void Script(const std::string& commands) {
    ASSERT_EQ(write(control_fd_, commands.data(), commands.size()),
              static_cast<ssize_t>(commands.size()));
  }
  std::string Screen() const { return ReadFile(screen_); }

  std::string screen_ = dir_ / "screen";
  std::string control_ = dir_ / "control";
  int control_fd_ = -1;
  std::string settings_;
};

TEST_F(ConsoleProgramTest, CtrlCDuringARunStopsItSavesTheSettingsAndEnds) {
  Script("wait started-a\ntype \\x03\n");
  Program program(dir_, false, Terminal());
  const std::string window = FindWindow();
  ASSERT_FALSE(window.empty());
  std::filesystem::remove(SettingsPath());
  Click(window, 445, 380);  // "Start !"
  ASSERT_EQ(program.WaitForExit(), 0);
  const std::string screen = Screen();
  EXPECT_NE(screen.find("started-a"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("finished-a"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("started-b"), std::string::npos) << screen;
  EXPECT_EQ(ReadFile(SettingsPath()), settings_);
}

TEST_F(ConsoleProgramTest, ClosingTheConsoleWhileIdleSavesTheSettingsAndEnds) {
  settings_ = SettingsText(dir_ / "tree/", "a.txt", 1, 0, "", testing::TestChild(),
                           "text done-%n");
  WriteDefaultSettings(settings_);
  Script("wait done-a\nsleep 300\nclose\n");
  Program program(dir_, false, Terminal());
  const std::string window = FindWindow();
  ASSERT_FALSE(window.empty());
  std::filesystem::remove(SettingsPath());
  Click(window, 445, 380);  // "Start !"
  ASSERT_EQ(program.WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), settings_);
}

// The real terminal emulator: output shows in its window (a screenshot is left in the build
// folder to look at), and killing that window ends the program in order.
TEST_F(ConsoleProgramTest, OutputShowsInARealTerminalWhoseEndEndsTheProgram) {
  settings_ = SettingsText(dir_ / "tree/", "*.txt", 1, 0, "", testing::TestChild(),
                           "args \"Wendrix console:\" %n.%e");
  WriteDefaultSettings(settings_);
  Program program(dir_, false, "xterm -geometry 80x24+0+0 -e");
  const std::string window = FindWindow();
  ASSERT_FALSE(window.empty());
  Click(window, 445, 380);  // "Start !"
  const std::string terminal = Command(
      "timeout 20 xdotool search --sync --onlyvisible --name wendrix-console | head -n 1");
  ASSERT_FALSE(terminal.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Command("import -window " + terminal + " " + WENDRIX_BINARY_DIR + "/console-screenshot.png");
  std::filesystem::remove(SettingsPath());
  Command("xdotool windowkill " + terminal);
  ASSERT_EQ(program.WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), settings_);
}

TEST_F(DesktopProgramTest, SigtermWhileARequesterIsOpenSavesTheSettingsAndEnds) {
  std::filesystem::create_directories(dir_ / "home");
  Program program(dir_, false);
  const std::string window = FindWindow();
  ASSERT_FALSE(window.empty());
  Click(window, 60, 380);  // "Load Config": its requester opens and waits
  ASSERT_FALSE(
      Command("timeout 20 xdotool search --sync --onlyvisible --name '^Please choose some config "
              "file$'")
          .empty());
  program.Signal(SIGTERM);
  ASSERT_EQ(program.WaitForExit(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), kInitialSettings);
}

}  // namespace
}  // namespace wendrix
