#include "settings/settings_flows.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "services/path_helpers.h"
#include "test_support.h"

namespace wendrix {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Sets an environment variable (nullptr: unsets it) for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

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
  std::string ChooseSaveFile(const std::string& title, const std::string& initial_file,
                             const std::string& filter_list, int filter_position) override {
    requests.push_back(title + "|" + initial_file + "|" + filter_list + "|" +
                       std::to_string(filter_position));
    return answer;
  }

  Settings settings;
  int writes = 0;
  std::vector<std::string> messages;
  std::vector<std::string> requests;
  std::string answer;  // what the requester returns
};

Settings Sample() {
  Settings s;
  s.path = "/home/u/Pictures/";
  s.search_text = "*.jpg";
  s.process_files = 1;
  s.process_folders = 0;
  s.destination = "";
  s.command = "%APPDIR%tool";
  s.parameters = "-q \"%f\"";
  return s;
}

const char kSampleText[] =
    "StringPath = /home/u/Pictures/\r\n"
    "StringSearchText = *.jpg\r\n"
    "CheckboxProcessFiles = 1\r\n"
    "CheckboxProcessFolders = 0\r\n"
    "StringDestination = \r\n"
    "StringCommand = %APPDIR%tool\r\n"
    "StringParameters = -q \"%f\"\r\n";

const char kInitialText[] =
    "StringPath = \r\n"
    "StringSearchText = \r\n"
    "CheckboxProcessFiles = 1\r\n"
    "CheckboxProcessFolders = 0\r\n"
    "StringDestination = \r\n"
    "StringCommand = \r\n"
    "StringParameters = \"%f\"\r\n";

// --- the seven Settings in a file ------------------------------------------------------------

TEST(SettingsFile, WrittenAsExactlySevenLinesInOrder) {
  TempDir dir;
  ASSERT_TRUE(SaveSettingsFile(dir / "s.ini", Sample()));
  EXPECT_EQ(ReadFile(dir / "s.ini"), kSampleText);
  // A check state other than 0 is written as ticked.
  Settings odd = Settings();
  odd.process_folders = 7;
  ASSERT_TRUE(SaveSettingsFile(dir / "s.ini", odd));
  EXPECT_NE(ReadFile(dir / "s.ini").find("CheckboxProcessFolders = 1\r\n"), std::string::npos);
}

TEST(SettingsFile, RoundTripKeepsEveryByteButOuterBlanks) {
  TempDir dir;
  Settings s;
  s.path = "/d\xFF\xFE/\xE9t\xC3\xA9/";  // not UTF-8 mixed with UTF-8
  s.search_text = "#a;b=c";
  s.process_files = 0;
  s.process_folders = 1;
  s.destination = "\"quoted\"";
  s.command = "  padded cmd\t ";
  s.parameters = " \"%f\" ";
  ASSERT_TRUE(SaveSettingsFile(dir / "s.ini", s));
  const std::optional<Settings> back = LoadSettingsFile(dir / "s.ini");
  ASSERT_TRUE(back);
  Settings expected = s;
  expected.command = "padded cmd";
  expected.parameters = "\"%f\"";
  EXPECT_EQ(*back, expected);
}

TEST(SettingsFile, MissingKeysTakeReadDefaultsAndCheckStatesAreNonZero) {
  TempDir dir;
  WriteFile(dir / "s.ini", "CheckboxProcessFolders = 5\n");
  Settings expected;
  expected.parameters = "";  // the read default differs from the window's initial text
  expected.process_folders = 1;
  EXPECT_EQ(LoadSettingsFile(dir / "s.ini"), expected);

  WriteFile(dir / "s.ini", "CheckboxProcessFiles = yes\nCheckboxProcessFolders = 0\n");
  std::optional<Settings> read = LoadSettingsFile(dir / "s.ini");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->process_files, 0);
  EXPECT_EQ(read->process_folders, 0);
}

TEST(SettingsFile, FailuresAreResults) {
  TempDir dir;
  EXPECT_FALSE(LoadSettingsFile(dir / "missing.ini"));
  EXPECT_FALSE(LoadSettingsFile(""));
  EXPECT_FALSE(LoadSettingsFile(dir.Path()));
  EXPECT_FALSE(SaveSettingsFile("", Sample()));
  EXPECT_FALSE(SaveSettingsFile(dir / "missing/s.ini", Sample()));
  // A value that cannot be one line fails the save and leaves the file as it was.
  WriteFile(dir / "s.ini", "old");
  Settings bad = Sample();
  bad.command = "a\nStringPath = /";
  EXPECT_FALSE(SaveSettingsFile(dir / "s.ini", bad));
  EXPECT_EQ(ReadFile(dir / "s.ini"), "old");
}

// --- where the default settings file lives ---------------------------------------------------

TEST(SettingsLocation, ConfigHomeWhenAbsoluteElseHomeDotConfig) {
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg/here//");
    EXPECT_EQ(SpecialFolderPath(CSIDL_APPDATA), "/cfg/here");
    EXPECT_EQ(DefaultSettingsPath(), "/cfg/here/Wendrix/default.ini");
    EXPECT_EQ(SpecialFolderPath(5), "");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg");
    ScopedEnv home("HOME", "/home/someone/");
    EXPECT_EQ(SpecialFolderPath(CSIDL_APPDATA), "/home/someone/.config");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    const struct passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    std::string expected = entry->pw_dir;
    while (!expected.empty() && expected.back() == '/') expected.pop_back();
    EXPECT_EQ(SpecialFolderPath(CSIDL_APPDATA), expected + "/.config");
  }
}

// --- the flows on the window -----------------------------------------------------------------

class SettingsFlows : public ::testing::Test {
 protected:
  SettingsFlows() : xdg_("XDG_CONFIG_HOME", (dir_ / "new/config").c_str()) {}

  std::string Default() const { return DefaultSettingsPath(); }
  void MakeSettingsFolder() { std::filesystem::create_directories(dir_ / "new/config/Wendrix"); }

  TempDir dir_;
  ScopedEnv xdg_;
  FakeWindow window_;
};

TEST_F(SettingsFlows, FirstStartCreatesTheFolderWithItsParentsAtExit) {
  ASSERT_EQ(Default(), dir_ / "new/config/Wendrix/default.ini");
  LoadSettingsAtStart(window_, Default());
  EXPECT_EQ(window_.writes, 0);
  SaveSettingsAtExit(window_, Default());
  EXPECT_EQ(ReadFile(Default()), kInitialText);
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(SettingsFlows, EmptyDefaultFileIsNotLoadedAndIsReplacedAtExit) {
  MakeSettingsFolder();
  WriteFile(Default(), "");
  window_.settings = Sample();
  LoadSettingsAtStart(window_, Default());
  EXPECT_EQ(window_.writes, 0);
  SaveSettingsAtExit(window_, Default());
  EXPECT_EQ(ReadFile(Default()), kSampleText);
}

TEST_F(SettingsFlows, DefaultFileWithValuesIsLoadedAtStart) {
  MakeSettingsFolder();
  WriteFile(Default(), kSampleText);
  LoadSettingsAtStart(window_, Default());
  EXPECT_EQ(window_.settings, Sample());
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(SettingsFlows, FolderAtTheDefaultPathIsLeftAloneSilently) {
  std::filesystem::create_directories(Default());
  LoadSettingsAtStart(window_, Default());
  SaveSettingsAtExit(window_, Default());
  EXPECT_EQ(window_.writes, 0);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_TRUE(std::filesystem::is_directory(Default()));
  EXPECT_TRUE(std::filesystem::is_empty(Default()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "new/config/Wendrix"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(SettingsFlows, LoadConfigOfOneKeyEmptiesTheTextsAndTicksBothBoxes) {
  WriteFile(dir_ / "one.ini", "CheckboxProcessFolders = 1\r\n");
  window_.settings = Sample();
  window_.settings.process_files = 0;
  window_.answer = dir_ / "one.ini";
  LoadConfigAction(window_);
  Settings expected;
  expected.parameters = "";
  expected.process_files = 1;
  expected.process_folders = 1;
  EXPECT_EQ(window_.settings, expected);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(window_.requests, std::vector<std::string>{
                                  "Please choose some config file|" + ProgramFolder() +
                                  "Config/default.ini|Config files (*.ini)|*.ini|All files|*.*|0"});
}

TEST_F(SettingsFlows, LoadConfigOfMissingFileAlertsAndKeepsTheWindow) {
  window_.settings = Sample();
  window_.answer = dir_ / "missing.ini";
  LoadConfigAction(window_);
  EXPECT_EQ(window_.messages, std::vector<std::string>{"Alert: Could not open config file"});
  EXPECT_EQ(window_.settings, Sample());
  EXPECT_EQ(window_.writes, 0);

  window_.messages.clear();
  window_.answer = "";  // cancelled
  LoadConfigAction(window_);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(window_.writes, 0);
}

TEST_F(SettingsFlows, SaveConfigTellsSuccessAndFailureAndNothingOnCancel) {
  window_.settings = Sample();
  window_.answer = dir_ / "saved";  // no extension is added
  SaveConfigAction(window_);
  EXPECT_EQ(ReadFile(dir_ / "saved"), kSampleText);

  window_.answer = dir_ / "missing/saved.ini";
  SaveConfigAction(window_);

  window_.answer = "";
  SaveConfigAction(window_);
  EXPECT_EQ(window_.messages, (std::vector<std::string>{"Info: Config file successfully saved.",
                                                        "Alert: Could not create config file"}));
  EXPECT_EQ(window_.requests.size(), 3u);
}

}  // namespace
}  // namespace wendrix
