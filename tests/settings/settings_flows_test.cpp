#include "settings/settings_flows.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>

#include "services/path_helpers.h"
#include "test_support.h"

namespace wendrix {
namespace {

using namespace testing;
using Texts = std::vector<std::string>;

class FakeWindow : public SettingsWindow {
 public:
  Settings ReadSettings() const override { return settings; }
  void WriteSettings(const Settings& value) override { settings = value; }
  void ShowMessage(const std::string& title, const std::string& text) override {
    messages.push_back(title + ": " + text);
  }
  std::string ChooseSaveFile(const std::string& title, const std::string& initial,
                             const std::string& filters, int position) override {
    request = title + "|" + initial + "|" + filters + "|" + std::to_string(position);
    return answer;
  }
  Settings settings;
  Texts messages;
  std::string request, answer;  // the last request, and what the requester returns
};

const Settings kSample{"/home/u/Pictures/", "*.jpg", 1, 0, "", "%APPDIR%tool", "-q \"%f\""};
const char kSampleText[] =
    "StringPath = /home/u/Pictures/\r\nStringSearchText = *.jpg\r\nCheckboxProcessFiles = 1\r\n"
    "CheckboxProcessFolders = 0\r\nStringDestination = \r\nStringCommand = %APPDIR%tool\r\n"
    "StringParameters = -q \"%f\"\r\n";

// The file's seven lines, how they read back and what the config requester proposes are
// checked where a user sees them (wendrix-run's transcript, the window); here what only the
// flows do.
TEST(SettingsFlows, AtExitTheSettingsFolderIsMadeWithTheFoldersAboveIt) {
  TempDir dir;
  FakeWindow window;
  window.settings = kSample;
  // Two folders missing: the file is written all the same.
  const std::string path = dir / "config/Wendrix/default.ini";
  SaveSettingsAtExit(window, path);
  EXPECT_EQ(ReadFile(path), kSampleText);
  // What saves killed before their rename left goes at the next start and the next save; the
  // file of a save still being written, which holds its lock, stays.
  const std::string left = dir / "config/Wendrix/.default.ini.Ab12Cd";
  const std::string live = dir / "config/Wendrix/.default.ini.Live12";
  WriteFile(live, "");
  const int writer = open(live.c_str(), O_RDONLY);
  ASSERT_EQ(flock(writer, LOCK_EX), 0);
  for (const bool at_start : {true, false}) {
    WriteFile(left, "");
    at_start ? LoadSettingsAtStart(window, path) : SaveSettingsAtExit(window, path);
    EXPECT_FALSE(std::filesystem::exists(left)) << at_start;
    EXPECT_TRUE(std::filesystem::exists(live)) << at_start;
  }
  // A file where a folder should be: nothing is written, and the file stays as it was.
  WriteFile(dir / "plain", "keep");
  SaveSettingsAtExit(window, dir / "plain/Wendrix/default.ini");
  EXPECT_EQ(ReadFile(dir / "plain"), "keep");
  EXPECT_TRUE(window.messages.empty());
}

}  // namespace
}  // namespace wendrix
