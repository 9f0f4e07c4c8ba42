#include "settings/settings_flows.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "services/path_helpers.h"
#include "test_support.h"

namespace wendrix {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class FakeWindow : public SettingsWindow {
 public:
  Settings ReadSettings() const override { return settings; }
  void WriteSettings(const Settings& value) override {
    settings = value;
    ++writes;
  }
  void ShowMessage(const std::string& title, const std::string& text) override {
    messages.push_back(title + ": " + text);
  }
  std::string ChooseSaveFile(const std::string& title, const std::string& initial,
                             const std::string& filters, int position) override {
    requests.push_back(title + "|" + initial + "|" + filters + "|" + std::to_string(position));
    return answer;
  }
  Settings settings;
  int writes = 0;
  std::vector<std::string> messages, requests;
  std::string answer;  // what the requester returns
};

const Settings kSample{"/home/u/Pictures/", "*.jpg", 1, 0, "", "%APPDIR%tool", "-q \"%f\""};
const char kSampleText[] =
    "StringPath = /home/u/Pictures/\r\nStringSearchText = *.jpg\r\nCheckboxProcessFiles = 1\r\n"
    "CheckboxProcessFolders = 0\r\nStringDestination = \r\nStringCommand = %APPDIR%tool\r\n"
    "StringParameters = -q \"%f\"\r\n";

TEST(SettingsFile, SevenLinesRoundTripAndReadDefaults) {
  TempDir dir;
  ASSERT_TRUE(SaveSettingsFile(dir / "s.ini", kSample));
  EXPECT_EQ(ReadFile(dir / "s.ini"), kSampleText);
  const Settings odd{"/d\xFF\xFE/\xC3\xA9", "#a;b=c", 0, 7, "\"q\"", "  cmd\t ", " \"%f\" "};
  ASSERT_TRUE(SaveSettingsFile(dir / "s.ini", odd));
  // Outer blanks do not survive; a check state other than 0 is ticked.
  EXPECT_EQ(LoadSettingsFile(dir / "s.ini"),
            (Settings{"/d\xFF\xFE/\xC3\xA9", "#a;b=c", 0, 1, "\"q\"", "cmd", "\"%f\""}));
  WriteFile(dir / "s.ini", "CheckboxProcessFolders = 5\nCheckboxProcessFolders = 0");
  EXPECT_EQ(LoadSettingsFile(dir / "s.ini"), (Settings{"", "", 1, 1, "", "", ""}));
  WriteFile(dir / "s.ini", "CheckboxProcessFiles = yes");
  EXPECT_EQ(LoadSettingsFile(dir / "s.ini"), (Settings{"", "", 0, 0, "", "", ""}));
  EXPECT_FALSE(LoadSettingsFile(dir / "missing.ini"));
  EXPECT_FALSE(SaveSettingsFile(dir / "missing/s.ini", kSample));
}

TEST(SettingsFile, DefaultPathFromConfigHomeElseHome) {
  // Runs in a child so that the environment of the other tests stays as it was.
  EXPECT_EXIT(
      {
        setenv("XDG_CONFIG_HOME", "/cfg/here//", 1);
        if (DefaultSettingsPath() != "/cfg/here/Wendrix/default.ini") std::exit(1);
        setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // ignored
        setenv("HOME", "/home/someone/", 1);
        if (SpecialFolderPath(CSIDL_APPDATA) != "/home/someone/.config") std::exit(2);
        unsetenv("HOME");
        const std::string pw_dir = getpwuid(getuid())->pw_dir;
        std::exit(
            SpecialFolderPath(CSIDL_APPDATA) == (pw_dir == "/" ? "" : pw_dir) + "/.config" ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

// The default settings file lives below a config folder that does not exist yet.
class SettingsFlows : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "new/config/Wendrix/default.ini"; }
  TempDir dir_;
  std::string path_;
  FakeWindow window_;
};

TEST_F(SettingsFlows, FirstStartSavesAtExitIntoNewFolders) {
  LoadSettingsAtStart(window_, path_);
  SaveSettingsAtExit(window_, path_);
  EXPECT_EQ(window_.writes, 0);
  EXPECT_EQ(ReadFile(path_),
            "StringPath = \r\nStringSearchText = \r\nCheckboxProcessFiles = "
            "1\r\nCheckboxProcessFolders = 0\r\nStringDestination = \r\n"
            "StringCommand = \r\nStringParameters = \"%f\"\r\n");
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(SettingsFlows, OnlyAFileWithBytesIsLoadedAtStart) {
  std::filesystem::create_directories(dir_ / "new/config/Wendrix");
  WriteFile(path_, "");
  window_.settings = kSample;
  LoadSettingsAtStart(window_, path_);
  EXPECT_EQ(window_.writes, 0);
  SaveSettingsAtExit(window_, path_);  // replaces the empty file
  window_.settings = Settings();
  LoadSettingsAtStart(window_, path_);
  EXPECT_EQ(window_.settings, kSample);

  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);  // a folder is neither loaded nor replaced
  LoadSettingsAtStart(window_, path_);
  SaveSettingsAtExit(window_, path_);
  EXPECT_EQ(window_.writes, 1);
  EXPECT_TRUE(std::filesystem::is_empty(path_));
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(SettingsFlows, LoadConfigFillsEveryFieldOrAlerts) {
  WriteFile(dir_ / "one.ini", "CheckboxProcessFolders = 1\r\n");
  window_.settings = kSample;
  window_.answer = dir_ / "one.ini";
  LoadConfigAction(window_);
  EXPECT_EQ(window_.settings, (Settings{"", "", 1, 1, "", "", ""}));
  EXPECT_EQ(window_.requests[0],
            "Please choose some config file|" + ProgramFolder() +
                "Config/default.ini|Config files (*.ini)|*.ini|All files|*.*|0");
  window_.answer = dir_ / "missing.ini";
  LoadConfigAction(window_);
  window_.answer = "";  // cancelled
  LoadConfigAction(window_);
  EXPECT_EQ(window_.writes, 1);
  EXPECT_EQ(window_.messages, std::vector<std::string>{"Alert: Could not open config file"});
}

TEST_F(SettingsFlows, SaveConfigTellsSuccessAndFailureButNotCancel) {
  window_.settings = kSample;
  for (const std::string& answer : {dir_ / "saved", dir_ / "missing/s.ini", std::string()}) {
    window_.answer = answer;
    SaveConfigAction(window_);
  }
  EXPECT_EQ(ReadFile(dir_ / "saved"), kSampleText);  // no extension added
  EXPECT_EQ(window_.messages, (std::vector<std::string>{"Info: Config file successfully saved.",
                                                        "Alert: Could not create config file"}));
}

}  // namespace
}  // namespace wendrix
