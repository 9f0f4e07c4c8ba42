// The seven values of the Main window that a job run uses and a settings file stores.
#pragma once

#include <string>

namespace wendrix {

struct Settings {
  std::string path;                   // StringPath: the Root ("" = the program's own folder)
  std::string search_text;            // StringSearchText
  int process_files = 1;              // CheckboxProcessFiles: 1 ticked, 0 clear
  int process_folders = 0;            // CheckboxProcessFolders
  std::string destination;            // StringDestination ("" = nothing mirrored)
  std::string command;                // StringCommand
  std::string parameters = "\"%f\"";  // StringParameters

  bool operator==(const Settings&) const = default;
};

// What a settings file that lacks a key gives for it: the initial value, but an empty template.
inline Settings MissingKeyDefaults() {
  Settings settings;
  settings.parameters.clear();
  return settings;
}

}  // namespace wendrix
