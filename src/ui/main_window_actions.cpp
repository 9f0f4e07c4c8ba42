#include "ui/main_window_actions.h"

#include "engine/job_run.h"
#include "engine/placeholders.h"
#include "services/path_helpers.h"
#include "ui/main_window.h"
#include "ui/requesters.h"

namespace wendrix {

namespace {

static_assert(std::size(kPlaceholderButtons) == std::size(kPlaceholders));

// The folder requesters open at the program's folder, or installed at the user's home; a cancel
// leaves the field as it was.
void BrowseFolder(Gadget target, const std::string& title) {
  const std::string chosen = ChooseFolder(title, BrowseStartFolder());
  if (!chosen.empty()) SetGadgetText(target, chosen);
}

// Programs stand beside this one, installed or not.
void BrowseCommand() {
  const std::string chosen = ChooseOpenFile("Please choose some exe file", ProgramFolder(),
                                            "Exe files|*.exe|All files|*.*", 0);
  if (!chosen.empty()) SetGadgetText(StringCommand, chosen);
}

}  // namespace

Settings ReadWindowSettings() {
  Settings settings;
  settings.path = GetGadgetText(StringPath);
  settings.search_text = GetGadgetText(StringSearchText);
  settings.process_files = GetGadgetState(CheckboxProcessFiles);
  settings.process_folders = GetGadgetState(CheckboxProcessFolders);
  settings.destination = GetGadgetText(StringDestination);
  settings.command = GetGadgetText(StringCommand);
  settings.parameters = GetGadgetText(StringParameters);
  return settings;
}

void WriteWindowSettings(const Settings& settings) {
  SetGadgetText(StringPath, settings.path);
  SetGadgetText(StringSearchText, settings.search_text);
  SetGadgetState(CheckboxProcessFiles, settings.process_files);
  SetGadgetState(CheckboxProcessFolders, settings.process_folders);
  SetGadgetText(StringDestination, settings.destination);
  SetGadgetText(StringCommand, settings.command);
  SetGadgetText(StringParameters, settings.parameters);
}

Settings MainWindowSettings::ReadSettings() const { return ReadWindowSettings(); }

void MainWindowSettings::WriteSettings(const Settings& settings) { WriteWindowSettings(settings); }

void MainWindowSettings::ShowMessage(const std::string& title, const std::string& text) {
  ShowMessageBox(title, text, kMbOk);
}

std::string MainWindowSettings::ChooseSaveFile(const std::string& title,
                                               const std::string& initial_file,
                                               const std::string& filter_list,
                                               int filter_position) {
  return wendrix::ChooseSaveFile(title, initial_file, filter_list, filter_position);
}

void AppendPlaceholder(const std::string& text) {
  SetGadgetText(StringParameters, GetGadgetText(StringParameters) + text);
}

HandlerOutcome HandleMainWindowEvent(int event, JobHooks& hooks) {
  if (event != kEventGadget) return HandlerOutcome::kContinue;
  const int gadget = EventGadget();
  for (std::size_t i = 0; i < std::size(kPlaceholderButtons); ++i) {
    if (gadget == kPlaceholderButtons[i]) {
      AppendPlaceholder({' ', '%', kPlaceholders[i].letter, ' '});
      return HandlerOutcome::kContinue;
    }
  }
  MainWindowSettings window;
  switch (gadget) {
    case ButtonSelectPath:
      BrowseFolder(StringPath, "Please select a path");
      break;
    case ButtonSelectDestination:
      BrowseFolder(StringDestination, "Please select a path where duplicating tree");
      break;
    case ButtonSelectCommand:
      BrowseCommand();
      break;
    case ButtonStart:
      if (RunJob(ReadWindowSettings(), hooks) == JobOutcome::kConsoleEnded)
        return HandlerOutcome::kEndProgram;
      break;
    case ButtonLoadConfig:
      LoadConfigAction(window);
      break;
    case ButtonSaveConfig:
      SaveConfigAction(window);
      break;
    default:
      break;
  }
  return HandlerOutcome::kContinue;
}

}  // namespace wendrix
