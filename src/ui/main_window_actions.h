// What the Main window's buttons do, and the Settings as the window's fields hold them.
#pragma once

#include <string>

#include "engine/entry_processing.h"
#include "settings/settings_flows.h"

namespace wendrix {

// The seven fields and check boxes read and written as one value.
Settings ReadWindowSettings();
void WriteWindowSettings(const Settings& settings);

// The settings flows' view of the Main window: its fields, message boxes and file requester.
class MainWindowSettings final : public SettingsWindow {
 public:
  Settings ReadSettings() const override;
  void WriteSettings(const Settings& settings) override;
  void ShowMessage(const std::string& title, const std::string& text) override;
  std::string ChooseSaveFile(const std::string& title, const std::string& initial_file,
                             const std::string& filter_list, int filter_position) override;
};

// Appends text at the end of StringParameters, wherever the caret stands; the focus stays.
void AppendPlaceholder(const std::string& text);

enum class HandlerOutcome {
  kContinue,
  kEndProgram,  // the console ended during a job run: save and end
};

// Acts on gadget events of the thirteen buttons; every other event and control passes.
HandlerOutcome HandleMainWindowEvent(int event, JobHooks& hooks);

}  // namespace wendrix
