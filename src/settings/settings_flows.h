// Moving the Settings between the Main window and settings files.
#pragma once

#include <optional>
#include <string>

#include "engine/settings.h"

namespace wendrix {

// UserWendrixFolder() + "default.ini".
std::string DefaultSettingsPath();

// Writes the seven lines; false when the file could not be written completely.
bool SaveSettingsFile(const std::string& file_name, const Settings& settings);

// The Settings read from the file (missing keys take the read defaults), or nullopt when the
// file could not be opened.
std::optional<Settings> LoadSettingsFile(const std::string& file_name);

// The Settings held in a settings file's bytes however they were read (missing keys take the
// read defaults), or nullopt when they hold none of the seven keys: no settings file at all.
std::optional<Settings> SettingsFromContent(std::string content);

// What the flows need of the Main window.
class SettingsWindow {
 public:
  virtual ~SettingsWindow() = default;
  virtual Settings ReadSettings() const = 0;
  virtual void WriteSettings(const Settings& settings) = 0;
  virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
  // The save-form file requester; "" when cancelled.
  virtual std::string ChooseSaveFile(const std::string& title, const std::string& initial_file,
                                     const std::string& filter_list, int filter_position) = 0;
};

bool SaveSettings(SettingsWindow& window, const std::string& file_name);
void LoadSettings(SettingsWindow& window, const std::string& file_name);
void LoadSettingsAtStart(SettingsWindow& window, const std::string& path);
void SaveSettingsAtExit(SettingsWindow& window, const std::string& path);
void LoadConfigAction(SettingsWindow& window);
void SaveConfigAction(SettingsWindow& window);

}  // namespace wendrix
